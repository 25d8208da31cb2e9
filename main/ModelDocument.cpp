#include "main/ModelDocument.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <strings.h>

namespace {

// A cursor over the text with the few lexing steps the parser uses.
struct Lexer {
    const char* text;
    size_t size;
    size_t at = 0;

    bool done() const { return at >= size; }
    char peek(size_t ahead = 0) const { return at + ahead < size ? text[at + ahead] : 0; }
    bool startsWith(const char* word, bool ignoreCase = false) const {
        const size_t n = std::strlen(word);
        if (size - at < n)
            return false;
        return ignoreCase ? strncasecmp(text + at, word, n) == 0
                          : std::memcmp(text + at, word, n) == 0;
    }
    static bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
    void skipSpace() {
        while (!done() && space(text[at]))
            ++at;
    }
    // Moves past the next `end`; false when the text ends first.
    bool skipPast(const char* end) {
        const size_t n = std::strlen(end);
        for (; at + n <= size; ++at)
            if (std::memcmp(text + at, end, n) == 0) {
                at += n;
                return true;
            }
        at = size;
        return false;
    }
    // Moves past a quoted value starting at the quote; false when it never closes.
    bool skipQuoted() {
        const char quote = text[at++];
        for (; !done(); ++at)
            if (text[at] == quote) {
                ++at;
                return true;
            }
        return false;
    }
};

// Every multi-byte lead byte is followed by its continuation bytes, as the
// parser's UTF-8 reading assumes; otherwise it could swallow markup the guard
// sees, or step over the end of the text when a sequence is cut short there.
// Only text the parser reads as UTF-8 needs this: see nestingWithin.
bool multiByteSound(const char* text, size_t size, size_t& stop) {
    for (size_t i = 0; i < size; ++i) {
        stop = i;
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t trail = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        for (size_t k = 1; k <= trail; ++k)
            if (i + k >= size || static_cast<unsigned char>(text[i + k]) < 0x80)
                return false; // cut short: the parser would read past the end
    }
    return true;
}

// "<?xml ... >": ends at the first '>' that is not inside the quoted value of a
// version, encoding or standalone attribute; other words are read over up to
// white space or '>'. False for markup the parser refuses.
bool skipDeclaration(Lexer& lx) {
    lx.at += 5;
    while (!lx.done()) {
        if (lx.peek() == '>') {
            ++lx.at;
            return true;
        }
        lx.skipSpace();
        if (lx.startsWith("version", true) || lx.startsWith("encoding", true) ||
            lx.startsWith("standalone", true)) {
            while (!lx.done() && !Lexer::space(lx.peek()) && lx.peek() != '=' && lx.peek() != '>' &&
                   lx.peek() != '/')
                ++lx.at;
            lx.skipSpace();
            if (lx.peek() != '=')
                return false;
            ++lx.at;
            lx.skipSpace();
            const char c = lx.peek();
            if (c == '"' || c == '\'') {
                if (!lx.skipQuoted())
                    return false;
            } else {
                while (!lx.done() && !Lexer::space(lx.peek()) && lx.peek() != '/' &&
                       lx.peek() != '>') {
                    if (lx.peek() == '"' || lx.peek() == '\'')
                        return false;
                    ++lx.at;
                }
            }
        } else {
            while (!lx.done() && lx.peek() != '>' && !Lexer::space(lx.peek()))
                ++lx.at;
        }
    }
    return false;
}

// An opening tag from '<' to its '>', quoted values read over. Sets `empty` for
// "<x/>". False when the text ends inside the tag.
bool skipTag(Lexer& lx, bool& empty) {
    ++lx.at;
    while (!lx.done()) {
        const char c = lx.peek();
        if (c == '"' || c == '\'') {
            if (!lx.skipQuoted())
                return false;
            continue;
        }
        ++lx.at;
        if (c == '>') {
            empty = lx.text[lx.at - 2] == '/';
            return true;
        }
    }
    return false;
}

// Whether the parser reads the text after the declaration `decl` ("<?xml" up to
// its '>') as UTF-8: when it names no encoding, or one starting with "UTF-8" or
// "UTF8" in any letter case; any other encoding is read byte by byte. The parser
// itself reads the declaration (flat text, read alone as it is in place), so that
// entities and repeated attributes count as they do there; anything it cannot
// read counts as UTF-8, the careful answer.
bool declaresUtf8(const char* decl, size_t size) {
    TiXmlDocument alone;
    alone.Parse(std::string(decl, size).c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    const TiXmlDeclaration* declaration =
        alone.FirstChild() ? alone.FirstChild()->ToDeclaration() : nullptr;
    if (alone.Error() || !declaration)
        return true;
    const char* name = declaration->Encoding();
    return !*name || strncasecmp(name, "UTF-8", 5) == 0 || strncasecmp(name, "UTF8", 4) == 0;
}

} // namespace

bool nestingWithin(const char* text, size_t size, int limit, size_t* stop) {
    size_t ignored = 0;
    size_t& at = stop ? *stop : ignored;
    const void* nul = std::memchr(text, 0, size);
    if (nul)
        size = static_cast<size_t>(static_cast<const char*>(nul) - text);
    // The parser reads UTF-8 from the start after a byte-order mark; otherwise byte
    // by byte until the first declaration outside any element decides. One inside
    // an element decides nothing for the parser, but one naming UTF-8 is taken as
    // deciding, to be careful.
    constexpr size_t kNever = static_cast<size_t>(-1);
    size_t utf8From = size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 0 : kNever;
    bool decided = utf8From == 0;
    Lexer lx{text, size};
    int depth = 0;
    while (!lx.done()) {
        if (lx.peek() != '<') {
            ++lx.at;
            continue;
        }
        const char next = lx.peek(1);
        if (lx.startsWith("<?xml", true)) {
            const size_t open = at = lx.at;
            if (!skipDeclaration(lx))
                return false;
            if (!decided && declaresUtf8(text + open, lx.at - open)) {
                utf8From = lx.at;
                decided = true;
            }
            decided = decided || depth == 0;
        } else if (lx.startsWith("<!--")) {
            lx.at += 4; // "<!-->" does not end the comment
            lx.skipPast("-->");
        } else if (lx.startsWith("<![CDATA[")) {
            lx.at += 9;
            lx.skipPast("]]>");
        } else if (std::isalpha(static_cast<unsigned char>(next)) || next == '_' ||
                   static_cast<unsigned char>(next) >= 0x7F) {
            bool empty = false;
            at = lx.at;
            if (!skipTag(lx, empty)) {
                if (depth >= limit)
                    return false;
                break; // the parser stops at the unfinished tag
            }
            if (depth + 1 > limit)
                return false; // even an empty element is one level down
            if (!empty)
                ++depth;
        } else if (next == '/' && depth > 0) {
            --depth;
            lx.skipPast(">");
        } else {
            // "<!DOCTYPE", "<?other", a stray "</" at the top or "<" before anything
            // else: the parser reads over it up to the first '>'.
            lx.skipPast(">");
        }
    }
    if (utf8From == kNever || multiByteSound(text + utf8From, size - utf8From, at))
        return true;
    at += utf8From;
    return false;
}

TiXmlElement* parseModelDocument(const std::string& text, TiXmlDocument& document,
                                 BuildReasons* reasons) {
    auto refuse = [&](int line, std::string message, BuildCode code) -> TiXmlElement* {
        if (reasons)
            reasons->push_back({code, "", line, std::move(message)});
        return nullptr;
    };
    size_t stop = 0;
    if (!nestingWithin(text.data(), text.size(), kMaxModelNesting, &stop)) {
        const auto end = text.begin() + static_cast<std::ptrdiff_t>(std::min(stop, text.size()));
        const int line = 1 + static_cast<int>(std::count(text.begin(), end, '\n'));
        return refuse(line,
                      "elements nest deeper than " + std::to_string(kMaxModelNesting) +
                          " levels, or the text cannot be read safely",
                      BuildCode::kNestingTooDeep);
    }
    document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error())
        return refuse(document.ErrorRow(), std::string("not readable XML: ") + document.ErrorDesc(),
                      BuildCode::kUnreadable);
    TiXmlElement* root = document.FirstChildElement("quorle");
    if (!root)
        return refuse(1, "no <quorle> element", BuildCode::kUnreadable);
    return root;
}
