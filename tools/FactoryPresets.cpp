#include "tools/FactoryPresets.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The text between the first two quotes after `key` in `line`; false when absent.
bool quotedAfter(const std::string& line, const std::string& key, std::string& out) {
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return false;
    const size_t open = line.find('"', at + key.size());
    const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos)
        return false;
    out = line.substr(open + 1, close - open - 1);
    return true;
}

bool fail(std::string& error, int line, const std::string& message) {
    error = "line " + std::to_string(line) + ": " + message;
    return false;
}

// A finished preset holds a label and the four tone controls.
bool complete(const FactoryPreset& preset, int line, std::string& error) {
    if (preset.label.empty())
        return fail(error, line, "preset " + preset.fragment + " has no label");
    for (const char* symbol : {"model", "drive", "post", "bass"})
        if (!preset.values.count(symbol))
            return fail(error, line,
                        "preset " + preset.fragment + " does not set \"" + symbol + "\"");
    return true;
}

} // namespace

bool parseFactoryPresets(const std::string& text, std::vector<FactoryPreset>& presets,
                         std::string& error) {
    presets.clear();
    std::istringstream in(text);
    std::string line;
    int number = 0, started = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const size_t hash = line.find("/presets#");
        if (line[0] == '<' && line.back() == '>' && hash != std::string::npos) {
            if (!presets.empty() && !complete(presets.back(), started, error))
                return false;
            presets.push_back({line.substr(hash + 9, line.size() - hash - 10), "", {}});
            started = number;
            continue;
        }
        std::string label, symbol;
        const bool isLabel = quotedAfter(line, "rdfs:label", label);
        const bool isPort = quotedAfter(line, "lv2:symbol", symbol);
        if (!isLabel && !isPort)
            continue;
        if (presets.empty())
            return fail(error, number, "a label or port before the first preset");
        FactoryPreset& preset = presets.back();
        if (isLabel) {
            preset.label = label;
            continue;
        }
        const size_t value = line.find("pset:value");
        const char* from = value == std::string::npos ? "" : line.c_str() + value + 10;
        char* end = nullptr;
        const double v = std::strtod(from, &end);
        if (end == from || !std::isfinite(v))
            return fail(error, number, "port \"" + symbol + "\" has no value that is a number");
        if (!preset.values.emplace(symbol, v).second)
            return fail(error, number, "port \"" + symbol + "\" is set twice");
    }
    return presets.empty() || complete(presets.back(), started, error);
}

const FactoryPreset* findFactoryPreset(const std::vector<FactoryPreset>& presets,
                                       const std::string& name) {
    const std::string wanted = lower(name);
    for (const FactoryPreset& preset : presets)
        if (lower(preset.fragment) == wanted || lower(preset.label) == wanted)
            return &preset;
    return nullptr;
}
