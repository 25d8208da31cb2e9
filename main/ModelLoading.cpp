// The model list and model switching of the main effect. With an in-memory copy of
// the data archive (given, or read by init()) both read that copy and open no file;
// without one they read the archive file itself through main/ZipArchive.h.
#include "effect/EffectOpcodes.h"
#include "graph/CascadePlan.h"
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/ModelDocument.h"
#include "main/QrVorlixGeneric.h"
#include "main/ZipArchive.h"

#include <algorithm>
#include <cstring>

namespace {
// Bytes of the buffer a listed name is read into, its terminator included.
constexpr unsigned kListedNameBuffer = DataArchive::kMaxListedNameBytes + 1;

// Reads the whole current entry of the open archive into `text`; false when it
// claims more than `limit` bytes, cannot be opened or does not read in full (short
// data, a bad checksum).
bool readCurrentEntry(std::string& text, size_t limit) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(gZipFile, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    // The size claim is checked before anything of that size is allocated.
    if (info.uncompressed_size > limit || unzOpenCurrentFile(gZipFile) != UNZ_OK)
        return false;
    text.assign(static_cast<size_t>(info.uncompressed_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const int n = unzReadCurrentFile(
            gZipFile, &text[got],
            static_cast<unsigned>(std::min<size_t>(text.size() - got, size_t(1) << 20)));
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return unzCloseCurrentFile(gZipFile) == UNZ_OK && got == text.size();
}
} // namespace

void QrVorlixGeneric::scanXml(const char*) {
    if (archive) {
        const std::vector<std::string>& names = archive->modelNames();
        modelNames.insert(modelNames.end(), names.begin(), names.end());
        std::sort(modelNames.begin(), modelNames.end());
        return;
    }
    const ZipSession zip; // openZip() ... closeZip()
    if (!zip.opened())
        return;
    // Names are counted as the copy counts what it holds, so that a directory of
    // countless entries cannot take more than the copy could.
    size_t held = 0;
    const size_t budget = ArchiveLimits{}.totalBytes;
    for (int at = unzGoToFirstFile(gZipFile); at == UNZ_OK; at = unzGoToNextFile(gZipFile)) {
        char name[kListedNameBuffer];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(gZipFile, &info, name, kListedNameBuffer, nullptr, 0, nullptr,
                                    0) != UNZ_OK)
            break;
        // A longer name did not fit the buffer: it is not listed.
        if (info.size_filename > DataArchive::kMaxListedNameBytes)
            continue;
        name[info.size_filename] = 0;
        if (!std::strstr(name, ".xml"))
            continue;
        held += sizeof(std::string) + std::strlen(name) + 1;
        if (held > budget)
            break;
        modelNames.emplace_back(name);
    }
    std::sort(modelNames.begin(), modelNames.end());
}

std::unique_ptr<AudioNode> QrVorlixGeneric::build(int index, float rate) {
    // A negative index converts to a size no list has, so it is out of range too.
    const std::string name = modelNames.at(static_cast<size_t>(index));

    const std::string* text = archive ? archive->model(name) : nullptr;
    BuildReport report;
    std::unique_ptr<AudioNode> built;
    if (!text) {
        report.reasons.push_back({BuildCode::kUnreadable, "", 0,
                                  "the archive's entry " + name + " is missing or unreadable"});
    } else {
        TiXmlDocument document;
        TiXmlElement* root = parseModelDocument(*text, document, &report.reasons);
        ArchiveEffectFactory effects(archive.get(), blockCallback);
        if (root)
            built.reset(parseElement(root, kInputSlot, kOutputSlot, effects, &report));
    }
    return readied(std::move(built), report, rate);
}

std::unique_ptr<AudioNode> QrVorlixGeneric::buildFromFile(int index, float rate) {
    const std::string name = modelNames.at(static_cast<size_t>(index));
    BuildReport report;
    std::unique_ptr<AudioNode> built;
    {
        // The archive stays open, and this thread's alone, until the graph is built:
        // the builder gets each block's preset from it (createEffect()).
        const ZipSession zip; // openZip() ... closeZip(), before the graph is installed
        std::string text;
        if (!gZipFile || unzLocateFile(gZipFile, name.c_str(), 2) != UNZ_OK ||
            !readCurrentEntry(text, ArchiveLimits{}.modelBytes)) {
            report.reasons.push_back({BuildCode::kUnreadable, "", 0,
                                      "the archive's entry " + name + " is missing or unreadable"});
        } else {
            TiXmlDocument document;
            TiXmlElement* root = parseModelDocument(text, document, &report.reasons);
            text.clear();
            text.shrink_to_fit();
            if (root)
                built.reset(parseElement(root, kInputSlot, kOutputSlot, &report));
        }
    }
    return readied(std::move(built), report, rate);
}

std::unique_ptr<AudioNode> QrVorlixGeneric::readied(std::unique_ptr<AudioNode> built,
                                                    BuildReport& report, float rate) {
    if (!built) {
        refusal = std::move(report.reasons);
        return nullptr;
    }
    built->dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
    prepareGraph(built.get());
    planCascades(built.get());
    return built;
}

bool QrVorlixGeneric::loadXmlZ(int index) {
    std::unique_ptr<AudioNode> built =
        archive ? build(index, sampleRate) : buildFromFile(index, sampleRate);
    if (!built)
        return false;
    enterCriticalSection();
    // Whatever played or faded before is let go here, off the render thread's switches.
    endFade();
    queued = nullptr;
    if (!lent)
        delete graph;
    lent = nullptr;
    graph = built.release();
    displaced.reset();
    leaveCriticalSection();
    currentModel = index;
    return true;
}

std::unique_ptr<PreparedGraph> QrVorlixGeneric::prepare(int index) {
    return prepare(index, runningRate());
}

std::unique_ptr<PreparedGraph> QrVorlixGeneric::prepare(int index, float rate) {
    auto prepared = std::make_unique<PreparedGraph>();
    std::unique_ptr<AudioNode> built = build(index, rate);
    if (!built)
        return nullptr;
    prepared->graph = built.release();
    prepared->model = index;
    prepared->rate = rate;
    return prepared;
}
