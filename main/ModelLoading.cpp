// The model list and model switching of the main effect.
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/ModelDocument.h"
#include "main/QrVorlixGeneric.h"

#include <unzip.h>

#include <algorithm>
#include <cstring>

namespace {
// Largest model file read into memory; models are a few kilobytes of XML.
constexpr size_t kMaxModelBytes = 1 << 20;
constexpr size_t kNameBuffer = 100; // bytes, terminator included
} // namespace

void QrVorlixGeneric::scanXml(const char*) {
    std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
    if (!openZip())
        return;
    unzFile zip = static_cast<unzFile>(gZipFile);
    for (int status = unzGoToFirstFile(zip); status == UNZ_OK; status = unzGoToNextFile(zip)) {
        char name[kNameBuffer];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0) !=
            UNZ_OK)
            continue;
        // A name that does not fit the buffer is skipped: a cut name would not find
        // its entry again.
        if (info.size_filename >= sizeof(name))
            continue;
        name[info.size_filename] = 0;
        if (std::strstr(name, ".xml"))
            modelNames.emplace_back(name);
    }
    std::sort(modelNames.begin(), modelNames.end());
    closeZip();
}

bool QrVorlixGeneric::loadXmlZ(int index) {
    // A negative index converts to a size no list has, so it is out of range too.
    const std::string name = modelNames.at(static_cast<size_t>(index));

    AudioNode* built = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
        openZip();
        std::string text;
        if (!readZipEntry(name.c_str(), text, kMaxModelBytes)) {
            closeZip();
            return false;
        }
        TiXmlDocument document;
        TiXmlElement* root = parseModelDocument(text, document);
        text.clear();
        if (root)
            built = parseElement(root, kInputSlot, kOutputSlot);
        closeZip();
    }
    if (!built)
        return false;

    built->dispatcher(10, 0, 0, nullptr, sampleRate);
    prepareGraph(built);
    enterCriticalSection();
    delete graph;
    graph = built;
    leaveCriticalSection();
    currentModel = index;
    return true;
}
