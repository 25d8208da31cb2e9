// Preset texts: a building block's preset written as readable text, compiled
// into the FXP program record the data archive holds.
//
//   # comment
//   block eq              (eq, clip, delay, inv or sat, as in model files)
//   program Bass shelf    (optional program name, up to 27 characters)
//   Frequency = 0.25
//
// Parameters are named as the block itself reports them. Parameters the text does
// not set keep the block's own defaults; the record holds every parameter up to
// the highest one set, in index order.
#pragma once

#include <string>

struct PresetRecord {
    std::string bytes; // the FXP record
    std::string block; // the block word of its "block" line
};

struct PresetError {
    int line = 0; // 1-based; 0 for the text as a whole
    std::string message;
};

// Compiles `text`. False, with the line and the reason, for a name the block does
// not have, a value that is not a finite number, a name set twice, a program name
// over 27 characters, an unknown or second "block" line, a parameter before it, or
// no "block" line at all.
bool compilePreset(const std::string& text, PresetRecord& record, PresetError& error);
