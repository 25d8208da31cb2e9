// The shipped cabinets behind the models: how loud each model sounds through each
// cabinet (targets::kCabinetSpreadMaxDb), and what a change of cabinet while
// playing does to the high band (targets::kSwitchMaxExcessDb), measured with the
// channel engine as the plug-in plays it. Runs on the calling thread.
#pragma once

#include "main/ImpulseResponse.h"
#include "tools/measure/Renderer.h"

#include <memory>
#include <string>
#include <vector>

class DataArchive;

namespace measure {

// The cabinets of a bundle's data archive, loaded and levelled at `rate` as the
// plug-in loads them (cabinet::load), in the archive's order.
struct ShippedCabinets {
    std::shared_ptr<const DataArchive> archive;
    std::vector<std::string> names;
    std::vector<ImpulseResponse> responses;
    double rate = 0.0;
};
// Throws RenderError, one sentence naming the archive or the cabinet, when the
// bundle has no archive, it holds no cabinet or one cannot be loaded.
ShippedCabinets loadCabinets(const std::string& bundleDir, double rate);

// `x` through `response`'s first channel by the convolver the cabinet stage plays.
Signal throughCabinet(const Signal& x, const ImpulseResponse& response);

// The plucked phrase (samePhrase) through one model at its default controls,
// rendered by the plug-in without a cabinet and with each shipped cabinet chosen.
struct CabinetLevels {
    std::string model;
    double plainDbfs = 0.0;   // RMS without a cabinet
    std::vector<double> dbfs; // RMS through each cabinet, in ShippedCabinets order
    double spreadDb() const;  // the loudest cabinet less the quietest
    Signal plain;             // the model's output
    std::vector<Signal> wet;  // through each cabinet
};
// Throws RenderError.
CabinetLevels measureCabinetLevels(const Renderer& renderer, size_t model, double rate,
                                   const ShippedCabinets& cabinets);

// A change of cabinet while a chord plays (targets::kSwitch*): the loudest 20 ms
// window of the output's high band across the change against the steady level of
// the louder of the two sounds, both mean squares in dBFS.
struct CabinetSwitch {
    std::string from, to; // cabinet names, or "off"
    std::string model;
    double worstDb = 0.0;
    double steadyDb = 0.0; // the louder sound's, before or after the change
    double excessDb() const { return worstDb - steadyDb; }
};
// Every ordered pair of `cabinets` and off (off to off aside), played by a channel
// engine running the archive's model `model` (by name) at oversampling `factor`,
// the controls at their defaults. Throws RenderError when the archive has no such
// model, the engine cannot build it or refuses a cabinet.
std::vector<CabinetSwitch> measureCabinetSwitches(const ShippedCabinets& cabinets,
                                                  const std::string& model, int factor);

// `x` through an 8th-order Butterworth high-pass at `hz` (double precision): the
// band the switching target looks at.
std::vector<double> highBand(const Signal& x, double rate, double hz);
// The mean square of every `window`-sample stretch of `x`, stretch i starting at
// sample i.
std::vector<double> slidingMeanSquare(const std::vector<double>& x, size_t window);

} // namespace measure
