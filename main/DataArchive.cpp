#include "main/DataArchive.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "blocks/QrSaturator.h"
#include "main/QrVorlixGeneric.h"

#include <unzip.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

std::string gFxDir;
void* gZipFile = nullptr;
std::recursive_mutex gArchiveLock;

namespace {
constexpr int kIgnoreCase = 2; // minizip: compare names without regard to ASCII case
constexpr int kHeaderBytes = 56;
constexpr int kCountOffset = 24;
// Values of one preset that are read and set; the rest of a longer entry is ignored.
constexpr int32_t kMaxPresetValues = 1024;

unzFile zip() {
    return static_cast<unzFile>(gZipFile);
}
} // namespace

bool openZip() {
    if (gZipFile)
        return true;
    gZipFile = unzOpen64((gFxDir + "a.zip").c_str());
    if (!gZipFile)
        gZipFile = unzOpen64((gFxDir + "quorle.data").c_str());
    return gZipFile != nullptr;
}

void closeZip() {
    if (gZipFile) {
        unzClose(zip());
        gZipFile = nullptr;
    }
}

void* swapBytes(void* p) {
    auto* b = static_cast<unsigned char*>(p);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
    return p;
}

namespace {
// Big-endian 4 bytes to host order.
void fromBigEndian(unsigned char* b) {
    const uint32_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    if (first == 1) // little-endian host
        swapBytes(b);
}
} // namespace

PresetStatus applyPreset(const char* name, AudioEffectX* effect) {
    if (!gZipFile || unzLocateFile(zip(), name, kIgnoreCase) != UNZ_OK)
        return PresetStatus::kMissing;
    if (unzOpenCurrentFile(zip()) != UNZ_OK)
        return PresetStatus::kMissing;
    unsigned char header[kHeaderBytes];
    if (unzReadCurrentFile(zip(), header, kHeaderBytes) != kHeaderBytes) {
        unzCloseCurrentFile(zip());
        return PresetStatus::kMissing;
    }
    fromBigEndian(header + kCountOffset);
    int32_t count;
    std::memcpy(&count, header + kCountOffset, 4);
    // Every value is read before any is set, so that a preset holding a value that
    // is not a finite number changes nothing. No block has more than a handful of
    // parameters, so values past kMaxPresetValues are not read.
    const int32_t wanted = std::min(count, kMaxPresetValues);
    std::vector<float> values;
    values.reserve(static_cast<size_t>(std::max(wanted, 0)));
    bool finite = true;
    for (int32_t i = 0; i < wanted; ++i) {
        unsigned char bytes[4];
        if (unzReadCurrentFile(zip(), bytes, 4) != 4)
            break; // the entry ends before its count says
        fromBigEndian(bytes);
        float value;
        std::memcpy(&value, bytes, 4);
        finite = finite && std::isfinite(value);
        values.push_back(value);
    }
    unzCloseCurrentFile(zip());
    if (!finite)
        return PresetStatus::kRefused;
    for (size_t i = 0; i < values.size(); ++i)
        effect->setParameter(static_cast<int32_t>(i), values[i]);
    return PresetStatus::kApplied;
}

bool loadFXPz(const char* name, AudioEffectX* effect) {
    return applyPreset(name, effect) == PresetStatus::kApplied;
}

AudioEffectX* createEffect(AudioNode::FXType type, const char* id, PresetStatus* preset) {
    AudioEffectX* effect = nullptr;
    switch (type) {
    case AudioNode::kFxInv: effect = new QrInv(gAudioMaster); break;
    case AudioNode::kFxClip: effect = new QrClipper(gAudioMaster); break;
    case AudioNode::kFxDelay: effect = new ADelay(gAudioMaster); break;
    case AudioNode::kFxEq: effect = new QrIIRFilter(gAudioMaster); break;
    case AudioNode::kFxSat: effect = new QrSaturator(gAudioMaster); break;
    default: return nullptr;
    }
    std::string name = std::string(id ? id : "") + ".fxp";
    const PresetStatus status = applyPreset(name.c_str(), effect);
    if (preset)
        *preset = status;
    return effect;
}

bool readZipEntry(const char* name, std::string& out, size_t maxBytes) {
    out.clear();
    if (!gZipFile || unzLocateFile(zip(), name, kIgnoreCase) != UNZ_OK)
        return false;
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    // The directory's size claim is checked before anything of that size is allocated.
    if (info.uncompressed_size > maxBytes)
        return false;
    if (unzOpenCurrentFile(zip()) != UNZ_OK)
        return false;
    out.assign(static_cast<size_t>(info.uncompressed_size), '\0');
    size_t got = 0;
    while (got < out.size()) {
        unsigned chunk = static_cast<unsigned>(std::min<size_t>(out.size() - got, 1 << 20));
        int n = unzReadCurrentFile(zip(), &out[got], chunk);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    // A damaged entry (short data or a bad checksum) counts as unreadable.
    bool closed = unzCloseCurrentFile(zip()) == UNZ_OK;
    bool whole = closed && got == out.size();
    if (!whole)
        out.clear();
    return whole;
}
