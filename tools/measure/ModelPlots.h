// Pictures of one model, written as PNG files into a directory:
//   <model>-thd.png       THD of a 1 kHz sine at -12 dBFS against drive
//   <model>-alias.png     spectrum of the 9 kHz sine at drive 1, strongest non-harmonic
//                         components marked
//   <model>-response.png  small-signal (-40 dBFS noise) frequency response at bass 0,
//                         0.5 and 1
//   <model>-transfer.png  output against input over the last cycle of a 100 Hz sine
//                         at 0 dBFS, drive 0.5
//   <model>-level.png     output RMS against input level of a 1 kHz sine, -60..0 dBFS
#pragma once

#include "tools/measure/Renderer.h"

#include <string>
#include <vector>

namespace measure {

// Writes the pictures of model `model` rendered at `rate` into `dir` (which must
// exist) and returns their paths; throws RenderError when rendering fails and
// std::runtime_error when a picture cannot be written.
std::vector<std::string> plotModel(const Renderer& renderer, size_t model, double rate,
                                   const std::string& dir);

// A model name as a file name: characters other than letters, digits, '.', '-'
// and '_' become '_'.
std::string fileSafe(const std::string& name);

} // namespace measure
