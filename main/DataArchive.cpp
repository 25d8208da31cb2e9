#include "main/DataArchive.h"

#include "effect/AudioEffectX.h"
#include "main/MemoryZip.h"
#include "main/WholeFile.h"

#include <unzip.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

std::string gFxDir;
std::recursive_mutex gArchiveLock;

namespace {
constexpr size_t kCountOffset = 24;
// Bookkeeping of one held entry beside its name and bytes (map node, strings).
constexpr size_t kEntryOverhead = 128;
// Largest piece of a model entry read at once (bytes).
constexpr unsigned kReadChunk = 1u << 20;

// As minizip compares names when letter case is ignored: ASCII letters only.
std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

constexpr char kCabinetFolder[] = "cabinets/";
constexpr size_t kCabinetFolderBytes = sizeof(kCabinetFolder) - 1;

// Whether the lower-cased entry name `key` is "cabinets/NAME.wav", NAME not empty
// and without a "/".
bool isCabinet(const std::string& key) {
    return key.size() > kCabinetFolderBytes + 4 &&
           key.compare(0, kCabinetFolderBytes, kCabinetFolder) == 0 && endsWith(key, ".wav") &&
           key.find('/', kCabinetFolderBytes) == std::string::npos;
}

// Big-endian 4 bytes to host order.
void fromBigEndian(unsigned char* b) {
    const uint32_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    if (first == 1) // little-endian host
        swapBytes(b);
}
} // namespace

// The one pass over an open archive that fills a DataArchive.
class ArchiveReader {
  public:
    ArchiveReader(unzFile zip, DataArchive& archive, const ArchiveLimits& limits)
        : zip(zip), archive(archive), limits(limits) {}

    void run() {
        for (int status = unzGoToFirstFile(zip); status == UNZ_OK; status = unzGoToNextFile(zip))
            if (!takeCurrent())
                break;
        std::sort(archive.listed.begin(), archive.listed.end());
        std::sort(archive.cabinetList.begin(), archive.cabinetList.end());
    }

  private:
    // Takes what is needed of the current entry; false when the pass should stop.
    bool takeCurrent() {
        // The name as minizip's lookup sees it: its first 256 bytes, up to a NUL.
        char name[DataArchive::kMaxNameBytes + 2];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip, &info, name, DataArchive::kMaxNameBytes + 1, nullptr, 0,
                                    nullptr, 0) != UNZ_OK)
            return false; // the directory is damaged here: a lookup would stop here too
        name[std::min<uLong>(info.size_filename, DataArchive::kMaxNameBytes + 1)] = 0;
        const std::string text(name);

        // The model list: names containing ".xml" (as written), not cut short.
        if (info.size_filename <= DataArchive::kMaxListedNameBytes &&
            text.find(".xml") != std::string::npos) {
            if (!charge(kEntryOverhead + text.size()))
                return false;
            archive.listed.push_back(text);
        }
        if (text.size() > DataArchive::kMaxNameBytes)
            return true; // no lookup can find it
        const std::string key = lowerAscii(text);
        // Only the first entry of a name counts, as a lookup finds only that one.
        if (key.find(".xml") != std::string::npos && !archive.models.count(key)) {
            if (!charge(kEntryOverhead + key.size()))
                return false;
            archive.models.emplace(key, readWhole(info.uncompressed_size));
        }
        if (isCabinet(key) && !archive.cabinets.count(key)) {
            const std::string listedName =
                text.substr(kCabinetFolderBytes, text.size() - kCabinetFolderBytes - 4);
            if (!charge(kEntryOverhead + key.size() + listedName.size()))
                return false;
            archive.cabinets.emplace(key, readWhole(info.uncompressed_size));
            archive.cabinetList.push_back(listedName);
        }
        if (endsWith(key, ".fxp") && !archive.presets.count(key)) {
            if (!charge(kEntryOverhead + key.size()))
                return false;
            archive.presets.emplace(key, readPreset());
        }
        return true;
    }

    // Counts `bytes` as held; false, counting nothing, when they do not fit the budget.
    bool charge(size_t bytes) {
        if (bytes > limits.totalBytes - archive.held)
            return false;
        archive.held += bytes;
        return true;
    }

    // The whole current entry, whose directory record claims `claimed` bytes: a
    // model or a cabinet, under the model limit.
    std::optional<std::string> readWhole(ZPOS64_T claimed) {
        // The claim is checked before anything of that size is allocated.
        if (claimed > limits.modelBytes || claimed > limits.totalBytes - archive.held)
            return std::nullopt;
        if (unzOpenCurrentFile(zip) != UNZ_OK)
            return std::nullopt;
        std::string out(static_cast<size_t>(claimed), '\0');
        size_t got = 0;
        while (got < out.size()) {
            const auto chunk =
                static_cast<unsigned>(std::min<size_t>(out.size() - got, kReadChunk));
            const int n = unzReadCurrentFile(zip, &out[got], chunk);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        // A damaged entry (short data or a bad checksum) counts as unreadable.
        const bool closed = unzCloseCurrentFile(zip) == UNZ_OK;
        if (!closed || got != out.size())
            return std::nullopt;
        archive.held += out.size();
        return out;
    }

    // The current entry's header and up to kMaxPresetValues values, read as a
    // preset is applied: the header at once, then value by value until the entry
    // ends. Whatever follows is never read, whatever the entry claims.
    std::optional<std::string> readPreset() {
        constexpr size_t kMost =
            DataArchive::kPresetHeaderBytes + 4 * DataArchive::kMaxPresetValues;
        if (kMost > limits.totalBytes - archive.held)
            return std::nullopt;
        if (unzOpenCurrentFile(zip) != UNZ_OK)
            return std::nullopt;
        std::string out(DataArchive::kPresetHeaderBytes, '\0');
        if (unzReadCurrentFile(zip, &out[0], DataArchive::kPresetHeaderBytes) !=
            static_cast<int>(DataArchive::kPresetHeaderBytes)) {
            unzCloseCurrentFile(zip);
            return std::nullopt;
        }
        for (size_t i = 0; i < DataArchive::kMaxPresetValues; ++i) {
            char bytes[4];
            if (unzReadCurrentFile(zip, bytes, 4) != 4)
                break; // the entry ends here
            out.append(bytes, 4);
        }
        unzCloseCurrentFile(zip);
        archive.held += out.size();
        return out;
    }

    unzFile zip;
    DataArchive& archive;
    const ArchiveLimits& limits;
};

namespace {
// The one sentence telling why the archive file at `path` was not read.
std::string unreadable(const std::string& path, const WholeFile& file) {
    switch (file.fault) {
    case FileFault::kCannotOpen:
        if (file.error == ENOENT || file.error == ENOTDIR)
            return path + ": " + file.reason();
        return path + " cannot be read: " + file.reason();
    case FileFault::kFolder:
        return path + " is a folder, not a data archive (pack it with quorle-model pack)";
    case FileFault::kCannotRead: return path + " " + file.reason();
    default: return path + " is " + file.reason();
    }
}
} // namespace

std::shared_ptr<const DataArchive> DataArchive::readFile(const std::string& path,
                                                         ArchiveLimits limits, std::string* error) {
    auto archive = std::make_shared<DataArchive>();
    WholeFile file = readWholeFile(path, limits.fileBytes);
    if (!file.ok()) {
        if (error)
            *error = unreadable(path, file);
        return archive;
    }
    const MemoryZip zip(std::move(file.bytes));
    if (!zip.handle()) {
        if (error)
            *error = path + " is not a data archive (not a zip file)";
        return archive;
    }
    archive->opened = true;
    ArchiveReader(zip.handle(), *archive, limits).run();
    return archive;
}

std::shared_ptr<const DataArchive> DataArchive::readDirectory(const std::string& dir,
                                                              ArchiveLimits limits) {
    auto archive = readFile(dir + "a.zip", limits);
    return archive->found() ? archive : readFile(dir + "quorle.data", limits);
}

std::shared_ptr<const DataArchive> DataArchive::withPresetsOf(const DataArchive& archive,
                                                              const DataArchive& base) {
    auto merged = std::make_shared<DataArchive>(archive);
    for (const auto& [name, bytes] : base.presets)
        if (merged->presets.emplace(name, bytes).second)
            merged->held += kEntryOverhead + name.size() + (bytes ? bytes->size() : 0);
    return merged;
}

const std::string* DataArchive::model(const std::string& name) const {
    const std::string text(name.c_str());
    if (text.size() > kMaxNameBytes)
        return nullptr;
    const auto found = models.find(lowerAscii(text));
    return found == models.end() || !found->second ? nullptr : &*found->second;
}

const std::string* DataArchive::cabinet(const std::string& name) const {
    const std::string text(name.c_str());
    if (text.size() > kMaxNameBytes)
        return nullptr;
    const auto found = cabinets.find(lowerAscii(std::string(kCabinetFolder) + text + ".wav"));
    return found == cabinets.end() || !found->second ? nullptr : &*found->second;
}

PresetStatus DataArchive::applyPreset(const char* name, AudioEffectX* effect) const {
    const std::string text(name ? name : "");
    if (text.size() > kMaxNameBytes)
        return PresetStatus::kMissing;
    const auto found = presets.find(lowerAscii(text));
    if (found == presets.end() || !found->second)
        return PresetStatus::kMissing;
    return applyPresetRecord(*found->second, effect);
}

PresetStatus applyPresetRecord(const std::string& record, AudioEffectX* effect) {
    constexpr size_t kHeader = DataArchive::kPresetHeaderBytes;
    if (record.size() < kHeader)
        return PresetStatus::kMissing;
    unsigned char count[4];
    std::memcpy(count, record.data() + kCountOffset, 4);
    fromBigEndian(count);
    int32_t claimed;
    std::memcpy(&claimed, count, 4);
    // Every value is read before any is set, so that a preset holding a value that
    // is not a finite number changes nothing. No block has more than a handful of
    // parameters, so values past kMaxPresetValues are not read.
    const int32_t wanted = std::min(claimed, static_cast<int32_t>(DataArchive::kMaxPresetValues));
    const size_t present = (record.size() - kHeader) / 4;
    const size_t n = std::min(static_cast<size_t>(std::max(wanted, 0)), present);
    std::vector<float> values(n);
    bool finite = true;
    for (size_t i = 0; i < n; ++i) {
        unsigned char b[4];
        std::memcpy(b, record.data() + kHeader + 4 * i, 4);
        fromBigEndian(b);
        std::memcpy(&values[i], b, 4);
        finite = finite && std::isfinite(values[i]);
    }
    if (!finite)
        return PresetStatus::kRefused;
    for (size_t i = 0; i < values.size(); ++i)
        effect->setParameter(static_cast<int32_t>(i), values[i]);
    return PresetStatus::kApplied;
}

AudioEffectX* ArchiveEffectFactory::create(AudioNode::FXType type, const char* id,
                                           PresetStatus* status) {
    AudioEffectX* effect = createBlock(type, callback);
    if (!effect)
        return nullptr;
    const std::string name = std::string(id ? id : "") + ".fxp";
    const PresetStatus applied =
        archive ? archive->applyPreset(name.c_str(), effect) : PresetStatus::kMissing;
    if (status)
        *status = applied;
    return effect;
}

void* swapBytes(void* p) {
    auto* b = static_cast<unsigned char*>(p);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
    return p;
}
