// The nesting guard against the XML parser itself: whatever the guard lets
// through, the parser never nests deeper than the limit.
#include "main/ModelDocument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace {

int treeDepth(const TiXmlNode* node) {
    int deepest = 0;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling())
        deepest = std::max(deepest, treeDepth(child));
    return node->ToElement() ? deepest + 1 : deepest;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

bool within(const std::string& text, int limit = kMaxModelNesting) {
    return nestingWithin(text.data(), text.size(), limit);
}

TEST(ModelDocument, GuardRefusesWhatTheParserWouldNestTooDeeplyAndPassesOrdinaryModels) {
    // Each of these nests 300000 elements deep as the parser reads it.
    const std::string deep = repeat("<a>", 300000);
    const char* const hostile[] = {
        "<?xml>",                 // the declaration ends at the first '>'
        "<?XML version='1'>",     // in any letter case
        "<?other ",               // other "<?" sections also end at the first '>'
        "<!DOCTYPE x [ ",         // and so do "<!" sections
        "<?xml version=\"?>\"?>", // a quoted "?>" inside the declaration
        "<r a='-->'>",            // a comment marker inside a quoted value
        "<r>\xC3\xA9</r>",        // proper UTF-8 text before it
    };
    for (const char* prefix : hostile) {
        SCOPED_TRACE(prefix);
        EXPECT_FALSE(within(prefix + deep + "?>"));
        TiXmlDocument document;
        EXPECT_EQ(parseModelDocument(prefix + deep + "?>", document), nullptr);
    }
    // "<!-->" opens a comment that the next "-->" ends, so the closing tags in it
    // close nothing.
    EXPECT_FALSE(
        within(repeat("<a>", 60) + "<!-->" + repeat("</a>", 60) + "-->" + repeat("<a>", 60)));
    // Where the parser reads UTF-8 (after a byte-order mark, or a declaration naming
    // UTF-8, also through an entity, or no encoding), a lead byte that would swallow
    // the markup after it is not trusted, nor one cut short by the end of the text
    // (the parser would read past it).
    for (const char* unsure : {"<?xml version='1'?><r>\xF0</r><a></a></r>", "\xEF\xBB\xBF<r>\xC3",
                               "<!--\xE9--><?xml encoding='&#85;TF8'?><r>\xC3"})
        EXPECT_FALSE(within(unsure)) << unsure;

    const std::string ok[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quorle><fx id=\"a\" type=\"eq\"/>"
        "<mixer input2=\"in\"><param set=\"0\" value=\"0.5\"/></mixer></quorle>",
        "<!-- " + repeat("<a>", 100) + " --><quorle/>",
        "<quorle><![CDATA[" + repeat("<a>", 100) + "]]></quorle>",
        "<quorle a=\"" + repeat("<a>", 100) + "\"/>",
        "<quorle><!-- caf\xC3\xA9 --></quorle>",
        // Byte by byte: before any declaration, or after one naming another encoding.
        "<r>\xF0</r><a id='\xE9'></a></r><?xml encoding='ISO-8859-1'?><r>\xC3",
        repeat("<a>", kMaxModelNesting) + repeat("</a>", kMaxModelNesting),
    };
    for (const std::string& text : ok)
        EXPECT_TRUE(within(text)) << text.substr(0, 80);
    EXPECT_FALSE(within(repeat("<a>", kMaxModelNesting + 1)));
}

TEST(ModelDocument, ParserNeverNestsDeeperThanTheGuardAllows) {
    // Random markup soup: wherever the guard says "within 3", the parser's tree
    // (which links every element it started, even when it then fails) is no
    // deeper than 3.
    const char* const pieces[] = {"<a>",  "</a>",     "<b x='1'>", "</b>",      "<?xml",     "?>",
                                  ">",    "<!--",     "-->",       "<![CDATA[", "]]>",       "\"",
                                  "'",    "/>",       "<!",        "<?pi",      " version=", "=",
                                  " ",    "\xC3\xA9", "\xF0",      "<c/>",      "&#x41;",    "<_>",
                                  "</_>", "<\x7F>",   "</\x7F>"};
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
    int checked = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        std::string text;
        const int length = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i)
            text += pieces[pick(random)];
        if (!within(text, 3))
            continue;
        TiXmlDocument document;
        document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        ASSERT_LE(treeDepth(&document), 3) << text;
        ++checked;
    }
    EXPECT_GT(checked, 5000); // the guard is not simply refusing everything
}

} // namespace
