#include "lv2/ui/UiState.h"

#include "au/quorleIds.h"
#include "lv2/CabinetPorts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace quorleui {

using namespace quorlelv2;

UiState::UiState() {
    for (int c = 0; c < kControlCount; ++c)
        value[c] = defaultOf(static_cast<Control>(c));
}

uint32_t UiState::portOf(Control c) const {
    switch (c) {
    case kDrive: return ports.drive();
    case kPost: return ports.post();
    case kBass: return ports.bass();
    case kModel: return ports.model();
    case kCabinet: return ports.cabinet();
    default: return ports.oversampling();
    }
}

int UiState::controlOf(uint32_t port) const {
    for (int c = 0; c < kControlCount; ++c)
        if (portOf(static_cast<Control>(c)) == port)
            return c;
    return -1;
}

const std::vector<std::string>& UiState::models() const {
    return archivePath.empty() || playerModels.empty() ? shippedModels : playerModels;
}

int UiState::lastModel() const {
    const int n = static_cast<int>(models().size());
    return std::clamp(n - 1, 0, 63);
}

int UiState::lastCabinet() {
    return kCabinetValueFirstShipped + kCabinetPortCount - 1;
}

float UiState::defaultOf(Control c) {
    static const float defaults[kControlCount] = {0.5f, 0.5f,  0.5f,
                                                  0.0f, -1.0f, float(kQuorleDefaultOversampling)};
    return defaults[c];
}

float UiState::clamp(Control c, float v) const {
    if (std::isnan(v))
        return defaultOf(c);
    switch (c) {
    case kModel: return std::clamp(std::round(v), 0.0f, static_cast<float>(lastModel()));
    case kCabinet: return std::clamp(std::round(v), -1.0f, static_cast<float>(lastCabinet()));
    case kOversampling: {
        // The nearest of 1, 2, 4, 8.
        float best = 1.0f;
        for (float f : {2.0f, 4.0f, 8.0f})
            if (std::fabs(v - f) < std::fabs(v - best))
                best = f;
        return best;
    }
    default: return std::clamp(v, 0.0f, 1.0f);
    }
}

double postGainDb(double p) {
    const double gain = (std::pow(9.0, p) - 1.0) / 9.0;
    return gain > 0.0 ? 20.0 * std::log10(gain) : -INFINITY;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string UiState::words(Control c) const {
    char text[128];
    const float v = value[c];
    switch (c) {
    case kDrive:
        if (v <= 0.0f)
            return "mute";
        std::snprintf(text, sizeof text, "%.0f %%", v * 100.0f);
        return text;
    case kPost: {
        const double db = postGainDb(v);
        if (std::isinf(db))
            return "silent";
        std::snprintf(text, sizeof text, "%+.1f dB", db);
        return text;
    }
    case kBass: std::snprintf(text, sizeof text, "%.0f %%", v * 100.0f); return text;
    case kModel: {
        const auto& names = models();
        const size_t i = static_cast<size_t>(std::max(0.0f, v));
        if (i < names.size() && !names[i].empty())
            return names[i];
        std::snprintf(text, sizeof text, "model %zu", i);
        return text;
    }
    case kCabinet: {
        const int i = static_cast<int>(v);
        if (i == kCabinetValueModelsOwn)
            return "model's own";
        if (i == kCabinetValueOff)
            return "off";
        if (i == kCabinetValueFile)
            return cabinetPath.empty() ? "file (none chosen)" : baseName(cabinetPath);
        if (i - kCabinetValueFirstShipped < kCabinetPortCount)
            return kCabinetPortNames[i - kCabinetValueFirstShipped];
        return "?";
    }
    default: std::snprintf(text, sizeof text, "%.0fx", v); return text;
    }
}

void UiState::takeModelList(const std::string& lines) {
    playerModels.clear();
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        if (space == 0 || space == std::string::npos || space > 2)
            continue;
        const int n = std::atoi(line.substr(0, space).c_str());
        if (n < 0 || n > 63)
            continue;
        if (playerModels.size() <= static_cast<size_t>(n))
            playerModels.resize(static_cast<size_t>(n) + 1);
        playerModels[static_cast<size_t>(n)] = line.substr(space + 1);
    }
}

} // namespace quorleui
