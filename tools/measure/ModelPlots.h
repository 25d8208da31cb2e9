// Pictures of the models, written as PNG files into a directory. Of one model:
//   <model>-thd.png       THD of a 1 kHz sine at -12 dBFS against drive
//   <model>-alias.png     spectrum of the 9 kHz sine at -6 dBFS, drive 1: its harmonics
//                         ticked, the strongest non-harmonic components (aliases) marked,
//                         the -50 dB limit drawn
//   <model>-response.png  small-signal (-40 dBFS noise) frequency response at bass 0,
//                         0.5 and 1
//   <model>-transfer.png  the static curve: largest and smallest output sample of a
//                         settled 200 Hz sine against its peak, at drive 0.5 and 1
//   <model>-level.png     output RMS against input level of a 1 kHz sine, -60..0 dBFS
//   <model>-breakup.png   THD of 1 kHz against input level, -42..-3 dBFS, at drive
//                         0.25, 0.5, 0.75 and 1
//   <model>-sustain.png   50 ms envelope of a plucked E3 at -12 dBFS peak, dry and at
//                         drive 0.75, with each one's decay rate
// Of every model on one chart:
//   all-breakup.png   THD against input level at drive 0.5
//   all-thd.png       THD of 1 kHz at -12 dBFS against drive
//   all-response.png  small-signal response at bass 0.5
//   all-sustain.png   the plucked E3's envelope through each model at drive 0.75, and dry
// Controls not named are at 0.5. Runs on the calling thread.
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

// Writes the pictures of all the renderer's models together into `dir` (which must
// exist) and returns their paths; throws as plotModel does.
std::vector<std::string> plotAllModels(const Renderer& renderer, double rate,
                                       const std::string& dir);

// A model name as a file name: characters other than letters, digits, '.', '-'
// and '_' become '_'.
std::string fileSafe(const std::string& name);

} // namespace measure
