// Reading a model file's text into a document, with the guard that keeps a hostile
// file from driving the XML parser's recursion deeper than the stack allows.
// Setup thread (or whichever thread builds a model); allocates.
#pragma once

#ifndef TIXML_USE_STL
#define TIXML_USE_STL
#endif
#include <tinyxml.h>

#include "graph/BuildReason.h"

#include <cstddef>
#include <string>

// Deepest element nesting a model may have; models use three levels.
constexpr int kMaxModelNesting = 64;

// Whether no element of `text` nests deeper than `limit`, as the XML parser would
// see the text: it lexes comments, CDATA sections, declarations, other "<!" and
// "<?" sections, tags with quoted values and closing tags the way the parser does.
// Text it cannot be sure about (where the parser reads UTF-8, a multi-byte lead
// byte followed by a plain ASCII byte or by the end of the text, which the parser
// may swallow with the lead byte, reading past the end) and markup the parser
// would refuse anyway count as too deep. The parser reads UTF-8 after a byte-order
// mark or a declaration naming UTF-8 or no encoding; before any declaration, or
// after one naming another encoding (such as ISO-8859-1), it reads byte by byte,
// and any byte is safe there. Reads `size` bytes or up to the first NUL. `stop`, when given,
// receives the offset where a refusal was decided.
bool nestingWithin(const char* text, size_t size, int limit, size_t* stop = nullptr);

// Parses `text` into `document` when its nesting is within kMaxModelNesting and
// returns its first top-level element named "quorle"; null when the guard refuses
// the text, it does not parse or it has no such element, with the reason and its
// line added to `reasons` when given.
TiXmlElement* parseModelDocument(const std::string& text, TiXmlDocument& document,
                                 BuildReasons* reasons = nullptr);
