// What the plug-in and its interface say to each other, and nothing else: they share
// no memory, only what the LV2 interface extension carries between them (port
// values and atom messages on the control and notify ports).
//
//   interface -> plug-in  a control port's new value (ui:floatProtocol); a
//                         patch:Set of quorle#archive or quorle#cabinetFile (an
//                         atom:Path) on the control port; a patch:Get with no
//                         subject, which asks the plug-in to tell all it tells
//   plug-in -> interface  the meter ports' values after each run(); on the notify
//                         port, patch:Set of quorle#models (the archive's model
//                         names, "N name" a line), quorle#archive and
//                         quorle#cabinetFile (the paths playing; "" for none) and
//                         quorle#status (one sentence: the last file refused, or
//                         "" once a file is taken)
//
// Ports keep the indices they have always had; the meters come after them.
#pragma once

#include <cstdint>

namespace quorlelv2 {

constexpr const char* kPluginUri = "http://pellark.invalid/plugins/quorle";
constexpr const char* kMonoUri = "http://pellark.invalid/plugins/quorle#mono";
constexpr const char* kStereoUri = "http://pellark.invalid/plugins/quorle#stereo";
constexpr const char* kUiUri = "http://pellark.invalid/plugins/quorle#ui";
constexpr const char* kStatusUri = "http://pellark.invalid/plugins/quorle#status";
constexpr const char* kArchiveUri = "http://pellark.invalid/plugins/quorle#archive";
constexpr const char* kModelsUri = "http://pellark.invalid/plugins/quorle#models";
constexpr const char* kCabinetFileUri = "http://pellark.invalid/plugins/quorle#cabinetFile";
// What the plug-in reports that no one may set (the models, the status line): an
// object of this type with a patch:property and a patch:value, as a patch:Set has
// them. A host keeps patch:Set for the properties it can write (Ardour logs one
// naming anything else).
constexpr const char* kReportUri = "http://pellark.invalid/plugins/quorle#Report";

// The ports of a variant with `channels` audio channels (1: mono, 2: stereo).
struct PortMap {
    uint32_t channels;
    constexpr uint32_t drive() const { return 0; }
    constexpr uint32_t post() const { return 1; }
    constexpr uint32_t bass() const { return 2; }
    constexpr uint32_t model() const { return 3; }
    constexpr uint32_t firstAudio() const { return 4; } // inputs, then outputs
    constexpr uint32_t oversampling() const { return 4 + 2 * channels; }
    constexpr uint32_t latency() const { return 5 + 2 * channels; }
    constexpr uint32_t control() const { return 6 + 2 * channels; }
    constexpr uint32_t notify() const { return 7 + 2 * channels; }
    constexpr uint32_t cabinet() const { return 8 + 2 * channels; }
    // Meters, dBFS (kMeterFloorDb when silent), over every channel: the peak with a
    // hold of kPeakHoldSeconds and a fall of kPeakFallDbPerSecond after it; the RMS
    // over the last kRmsSeconds.
    constexpr uint32_t inPeak() const { return 9 + 2 * channels; }
    constexpr uint32_t inRms() const { return 10 + 2 * channels; }
    constexpr uint32_t outPeak() const { return 11 + 2 * channels; }
    constexpr uint32_t outRms() const { return 12 + 2 * channels; }
    constexpr uint32_t count() const { return 13 + 2 * channels; }
};
constexpr PortMap kMonoPorts{1}, kStereoPorts{2};

constexpr float kMeterFloorDb = -90.0f;
constexpr double kPeakHoldSeconds = 1.0;
constexpr double kPeakFallDbPerSecond = 20.0;
constexpr double kRmsSeconds = 0.3;

// The Cabinet port's values (lv2/CabinetPorts.cmake lists the shipped ones from
// kCabinetFirstShipped on, in a fixed order).
constexpr int32_t kCabinetValueModelsOwn = -1, kCabinetValueOff = 0, kCabinetValueFile = 1,
                  kCabinetValueFirstShipped = 2;

} // namespace quorlelv2
