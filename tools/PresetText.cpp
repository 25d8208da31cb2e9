#include "tools/PresetText.h"

#include "effect/AudioEffectX.h"
#include "graph/EffectFactory.h"
#include "graph/xmlreader.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

namespace {

constexpr int kMaxParams = 32;
constexpr size_t kMaxProgramName = 27;

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    const size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

void putBigEndian(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xff));
}

bool fail(PresetError& error, int line, std::string message) {
    error = {line, std::move(message)};
    return false;
}

} // namespace

bool compilePreset(const std::string& text, PresetRecord& record, PresetError& error) {
    std::unique_ptr<AudioEffectX> block;
    std::map<std::string, int> indexOf; // the block's parameter names
    std::map<int, float> values;
    std::string program = "Default";
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            std::istringstream words(line);
            std::string keyword, rest;
            words >> keyword;
            std::getline(words, rest);
            rest = trim(rest);
            if (keyword == "block") {
                if (block)
                    return fail(error, number, "a second \"block\" line");
                // Only asked for its parameters: no host to talk to.
                block.reset(createBlock(getFxType(rest.c_str()), nullptr));
                if (!block)
                    return fail(error, number,
                                "unknown block \"" + rest + "\" (eq, clip, delay, inv or sat)");
                record.block = rest;
                for (int i = 0; i < kMaxParams; ++i) {
                    char name[kTextSize] = "";
                    block->getParameterName(i, name);
                    if (name[0])
                        indexOf[name] = i;
                }
            } else if (keyword == "program") {
                if (rest.size() > kMaxProgramName)
                    return fail(error, number, "program name longer than 27 characters");
                program = rest;
            } else {
                return fail(error, number, "expected \"block\", \"program\" or \"Name = value\"");
            }
            continue;
        }
        if (!block)
            return fail(error, number, "parameters come after the \"block\" line");
        const std::string name = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        const auto found = indexOf.find(name);
        if (found == indexOf.end()) {
            std::string known;
            for (const auto& [n, i] : indexOf)
                known += (known.empty() ? "" : ", ") + n;
            return fail(error, number,
                        "the block has no parameter \"" + name + "\" (it has: " + known + ")");
        }
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != 0 || !std::isfinite(v))
            return fail(error, number, "\"" + value + "\" is not a number");
        if (!values.emplace(found->second, static_cast<float>(v)).second)
            return fail(error, number, "\"" + name + "\" is set twice");
    }
    if (!block)
        return fail(error, 0, "no \"block\" line");

    const int count = values.empty() ? 0 : values.rbegin()->first + 1;
    std::string& out = record.bytes;
    out.clear();
    putBigEndian(out, static_cast<uint32_t>(fourCC('C', 'c', 'n', 'K')));
    putBigEndian(out, static_cast<uint32_t>(48 + 4 * count)); // bytes after this field
    putBigEndian(out, static_cast<uint32_t>(fourCC('F', 'x', 'C', 'k')));
    putBigEndian(out, 1); // format version
    putBigEndian(out, static_cast<uint32_t>(block->getAeffect()->uniqueId));
    putBigEndian(out, static_cast<uint32_t>(block->getAeffect()->version));
    putBigEndian(out, static_cast<uint32_t>(count));
    std::string name = program;
    name.resize(kMaxProgramName + 1, '\0');
    out += name;
    for (int i = 0; i < count; ++i) {
        const auto set = values.find(i);
        const float v = set != values.end() ? set->second : block->getParameter(i);
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        putBigEndian(out, bits);
    }
    return true;
}
