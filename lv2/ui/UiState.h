// What the interface knows of the plug-in: the control values it last heard or set,
// the meters, the archive's model names, the chosen files and the last refusal.
// Filled from port events and notify messages only (the interface shares nothing
// else with the plug-in). UI thread only.
#pragma once

#include "lv2/UiProtocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quorleui {

// The controls the interface shows, in focus order.
enum Control { kDrive, kPost, kBass, kModel, kCabinet, kOversampling, kControlCount };

struct UiState {
    quorlelv2::PortMap ports = quorlelv2::kMonoPorts;
    UiState();
    float value[kControlCount]; // the ports' defaults until the host tells
    // Meters, dBFS: input peak, input RMS, output peak, output RMS.
    float meter[4] = {quorlelv2::kMeterFloorDb, quorlelv2::kMeterFloorDb, quorlelv2::kMeterFloorDb,
                      quorlelv2::kMeterFloorDb};
    bool clipped[2] = {false, false};       // input, output: a peak at or above 0 dBFS seen
    std::vector<std::string> shippedModels; // the bundle archive's, without ".xml"
    std::vector<std::string> playerModels;  // told by the plug-in for a player's archive
    std::string archivePath;                // "" while the shipped archive plays
    std::string cabinetPath;                // the player's cabinet file, "" for none
    std::string status;                     // the last file refused, "" once one is taken

    // The port a control is written to; the control a port carries (-1: none).
    uint32_t portOf(Control c) const;
    int controlOf(uint32_t port) const;
    // The model names the Model control steps through.
    const std::vector<std::string>& models() const;
    // Largest value the Model and Cabinet controls take.
    int lastModel() const;
    static int lastCabinet();
    static float defaultOf(Control c);
    // `v` held to what control `c` takes (steps for the integer controls; NaN to the
    // default).
    float clamp(Control c, float v) const;
    // The control's value in words: "mute", "62 %", "-13.1 dB", "2-edge", "4x".
    std::string words(Control c) const;
    // Takes "N name" lines (quorle#models): names by number, gaps left empty.
    void takeModelList(const std::string& lines);
};

// Post gain's control value as the level it sets, dB (-inf at 0): (9^p - 1) / 9.
double postGainDb(double p);
// A path's last component.
std::string baseName(const std::string& path);

} // namespace quorleui
