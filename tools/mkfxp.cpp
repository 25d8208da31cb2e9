// mkfxp: turns a preset written as text into an FXP program record.
//
//   mkfxp INPUT.txt OUTPUT.fxp
//
// The text names the building block and sets parameters by the names the block
// itself reports, one per line:
//
//   # comment
//   block eq              (eq, clip, delay, inv or sat, as in model files)
//   program Bass shelf    (optional program name, up to 27 characters)
//   Frequency = 0.25
//
// Parameters the text does not set keep the block's own defaults; the record
// holds every parameter up to the highest one set, in index order. A name the
// block does not have, a value that is not a finite number, or a name set twice
// is refused with the file and line.
#include "effect/AudioEffectX.h"
#include "graph/EffectFactory.h"
#include "graph/xmlreader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kMaxParams = 32;

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

void putBigEndian(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xff));
}

int fail(const std::string& where, const std::string& why) {
    std::fprintf(stderr, "mkfxp: %s: %s\n", where.c_str(), why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mkfxp INPUT.txt OUTPUT.fxp\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in)
        return fail(argv[1], "cannot read");

    std::unique_ptr<AudioEffectX> block;
    std::map<std::string, int> indexOf; // the block's parameter names
    std::map<int, float> values;
    std::string program = "Default";
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = std::string(argv[1]) + ":" + std::to_string(number);
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            std::istringstream words(line);
            std::string keyword, rest;
            words >> keyword;
            std::getline(words, rest);
            rest = trim(rest);
            if (keyword == "block") {
                if (block)
                    return fail(where, "a second \"block\" line");
                // Only asked for its parameters: no host to talk to.
                block.reset(createBlock(getFxType(rest.c_str()), nullptr));
                if (!block)
                    return fail(where,
                                "unknown block \"" + rest + "\" (eq, clip, delay, inv or sat)");
                for (int i = 0; i < kMaxParams; ++i) {
                    char name[kTextSize] = "";
                    block->getParameterName(i, name);
                    if (name[0])
                        indexOf[name] = i;
                }
            } else if (keyword == "program") {
                if (rest.size() > 27)
                    return fail(where, "program name longer than 27 characters");
                program = rest;
            } else {
                return fail(where, "expected \"block\", \"program\" or \"Name = value\"");
            }
            continue;
        }
        if (!block)
            return fail(where, "parameters come after the \"block\" line");
        const std::string name = trim(line.substr(0, equals));
        const std::string text = trim(line.substr(equals + 1));
        auto found = indexOf.find(name);
        if (found == indexOf.end()) {
            std::string known;
            for (auto& [n, i] : indexOf)
                known += (known.empty() ? "" : ", ") + n;
            return fail(where,
                        "the block has no parameter \"" + name + "\" (it has: " + known + ")");
        }
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != 0 || !std::isfinite(v))
            return fail(where, "\"" + text + "\" is not a number");
        if (!values.emplace(found->second, static_cast<float>(v)).second)
            return fail(where, "\"" + name + "\" is set twice");
    }
    if (!block)
        return fail(argv[1], "no \"block\" line");

    const int count = values.empty() ? 0 : values.rbegin()->first + 1;
    std::string record;
    putBigEndian(record, static_cast<uint32_t>(fourCC('C', 'c', 'n', 'K')));
    putBigEndian(record, static_cast<uint32_t>(48 + 4 * count)); // bytes after this field
    putBigEndian(record, static_cast<uint32_t>(fourCC('F', 'x', 'C', 'k')));
    putBigEndian(record, 1); // format version
    putBigEndian(record, static_cast<uint32_t>(block->getAeffect()->uniqueId));
    putBigEndian(record, static_cast<uint32_t>(block->getAeffect()->version));
    putBigEndian(record, static_cast<uint32_t>(count));
    std::string name = program;
    name.resize(28, '\0');
    record += name;
    for (int i = 0; i < count; ++i) {
        auto set = values.find(i);
        float v = set != values.end() ? set->second : block->getParameter(i);
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        putBigEndian(record, bits);
    }

    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(record.data(), static_cast<std::streamsize>(record.size()));
    if (!out)
        return fail(argv[2], "cannot write");
    return 0;
}
