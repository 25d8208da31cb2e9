// Choosing a cabinet by what a player types or picks: "off", a shipped cabinet's
// name (the data archive's cabinets/NAME.wav) or the path of their own response
// file, made into one convolver per channel at the engine's rate.
// Any thread but the audio thread; everything here allocates and may read a file.
#pragma once

#include "blocks/Convolver.h"
#include "main/ImpulseResponse.h"

#include <cstdint>
#include <memory>
#include <string>

class DataArchive;

namespace cabinet {

// The choice that plays no cabinet ("" is taken as it too).
constexpr const char* kOff = "off";
// The choice that plays the cabinet the model playing was voiced for (modelsOwn()).
constexpr const char* kModelsOwn = "model";

// Whether `choice` asks for the model's own cabinet: "model" in any letter case.
bool isModelsOwn(const std::string& choice);
// The cabinet of `cabinets` (as its cabinetNames() lists it) that the model `entry`
// of `models` (as its modelNames() lists it) names as the one it was voiced for: the
// "cabinet" attribute of the model's root element. "" when the model names none that
// `cabinets` holds, or cannot be read. Allocates.
std::string modelsOwn(const DataArchive& models, const std::string& entry,
                      const DataArchive& cabinets);

// Whether `choice` asks for no cabinet: "" or "off" in any letter case.
bool isOff(const std::string& choice);
// The shipped cabinet `choice` names in `archive` (letter case ignored), as the
// archive lists it; "" when it names none (then it is a file's path).
std::string shippedName(const DataArchive& archive, const std::string& choice);

// The response `choice` asks for as it was read, at its own rate and not levelled:
// a shipped cabinet of `archive` by name, else a file read by impulse::readFile. No
// channels for "off". nullopt, with one sentence in `error`, when it cannot be had.
// For a caller that checks a choice now and prepares it once the rate is known.
// Throws std::bad_alloc.
std::optional<ImpulseResponse> read(const DataArchive& archive, const std::string& choice,
                                    std::string& error);

// The response `choice` asks for, at `rate` Hz and levelled (impulse::prepared):
// a shipped cabinet of `archive` by name, else a file read by impulse::readFile.
// No channels for "off". nullopt, with one sentence in `error`, when it cannot be
// had (lower case, no full stop, as impulse::readFile gives it); `error` emptied
// otherwise. Throws std::bad_alloc.
std::optional<ImpulseResponse> load(const DataArchive& archive, const std::string& choice,
                                    double rate, std::string& error);

// Channel `channel`'s convolver of a loaded response: a mono response feeds every
// channel, a stereo one gives channel 0 its left and every other channel its
// right. Null for a response without channels. Sized for process() calls of up to
// `maxFrames` frames. Throws std::bad_alloc.
std::unique_ptr<Convolver> convolverFor(const ImpulseResponse& response, uint32_t channel,
                                        uint32_t maxFrames);

} // namespace cabinet
