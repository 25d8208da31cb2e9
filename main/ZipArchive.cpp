#include "main/ZipArchive.h"

#include "effect/AudioEffectX.h"
#include "graph/EffectFactory.h"
#include "main/MemoryZip.h"
#include "main/QrVorlixGeneric.h"
#include "main/WholeFile.h"

#include <cstdint>
#include <memory>
#include <string>

unzFile gZipFile = nullptr;

namespace {
// The open archive in memory, whose handle gZipFile is; null when closed.
std::unique_ptr<MemoryZip> gZipOpen;

// Opens the archive file at `path` into gZipFile; false, leaving it null, when the
// file cannot be read or is not a zip archive.
bool openFile(const std::string& path) {
    WholeFile file = readWholeFile(path, ArchiveLimits{}.fileBytes);
    if (!file.ok())
        return false;
    auto zip = std::make_unique<MemoryZip>(std::move(file.bytes));
    if (!zip->handle())
        return false;
    gZipFile = zip->handle();
    gZipOpen = std::move(zip);
    return true;
}

// Reads up to `size` bytes of the open entry; the count read.
int readEntry(void* to, unsigned size) {
    auto* at = static_cast<char*>(to);
    unsigned got = 0;
    while (got < size) {
        const int n = unzReadCurrentFile(gZipFile, at + got, size - got);
        if (n <= 0)
            break;
        got += static_cast<unsigned>(n);
    }
    return static_cast<int>(got);
}

// loadFXPz() with what became of the preset.
PresetStatus applyEntry(const char* name, AudioEffectX* effect) {
    std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
    if (!gZipFile || !name || unzLocateFile(gZipFile, name, 2) != UNZ_OK)
        return PresetStatus::kMissing;
    if (unzOpenCurrentFile(gZipFile) != UNZ_OK)
        return PresetStatus::kMissing;
    constexpr unsigned kHeader = DataArchive::kPresetHeaderBytes;
    std::string record(kHeader, '\0');
    if (readEntry(&record[0], kHeader) != static_cast<int>(kHeader)) {
        unzCloseCurrentFile(gZipFile);
        return PresetStatus::kMissing;
    }
    // The values the header counts, as far as the entry holds them.
    uint32_t count = 0;
    for (int i = 0; i < 4; ++i)
        count = count << 8 | static_cast<unsigned char>(record[24 + i]);
    const auto claimed = static_cast<int32_t>(count);
    for (int32_t i = 0; i < claimed && i < static_cast<int32_t>(DataArchive::kMaxPresetValues);
         ++i) {
        char value[4];
        if (readEntry(value, 4) != 4)
            break;
        record.append(value, 4);
    }
    unzCloseCurrentFile(gZipFile);
    return applyPresetRecord(record, effect);
}

AudioEffectX* makeEffect(AudioNode::FXType type, const char* id, PresetStatus* status) {
    std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
    AudioEffectX* effect = createBlock(type, gAudioMaster);
    if (!effect)
        return nullptr;
    const PresetStatus applied = applyEntry((std::string(id ? id : "") + ".fxp").c_str(), effect);
    if (status)
        *status = applied;
    return effect;
}
} // namespace

bool openZip() {
    std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
    if (gZipFile)
        return true;
    return openFile(gFxDir + "a.zip") || openFile(gFxDir + "quorle.data");
}

void closeZip() {
    std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
    if (!gZipFile)
        return;
    gZipFile = nullptr;
    gZipOpen.reset();
}

bool loadFXPz(const char* name, AudioEffectX* effect) {
    return applyEntry(name, effect) != PresetStatus::kMissing;
}

AudioEffectX* createEffect(AudioNode::FXType type, const char* id) {
    return makeEffect(type, id, nullptr);
}

OpenArchiveFactory::OpenArchiveFactory() {
    gArchiveLock.lock();
}

OpenArchiveFactory::~OpenArchiveFactory() {
    gArchiveLock.unlock();
}

AudioEffectX* OpenArchiveFactory::create(AudioNode::FXType type, const char* id,
                                         PresetStatus* status) {
    return makeEffect(type, id, status);
}
