// The model list and model switching of the main effect.
#include "graph/AveragerAN.h"
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/QrVorlixGeneric.h"

#include <unzip.h>

#include <algorithm>
#include <cstring>

namespace {
// Largest model file read into memory; models are a few kilobytes of XML.
constexpr size_t kMaxModelBytes = 1 << 20;
constexpr size_t kNameBuffer = 100; // bytes, terminator included
// Deepest element nesting a model may have; models use three levels. The XML
// parser recurses once per level, so a hostile file must not reach it deeper.
constexpr int kMaxNesting = 64;

// Whether no element of `text` nests deeper than `limit`. Comments, CDATA,
// declarations and quoted attribute values are skipped.
bool nestingWithin(const std::string& text, int limit) {
    int depth = 0;
    size_t i = 0;
    auto skipPast = [&](const char* end) {
        size_t at = text.find(end, i);
        i = at == std::string::npos ? text.size() : at + std::strlen(end);
    };
    while (i < text.size()) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        if (text.compare(i, 4, "<!--") == 0) {
            skipPast("-->");
        } else if (text.compare(i, 9, "<![CDATA[") == 0) {
            skipPast("]]>");
        } else if (text.compare(i, 2, "<?") == 0) {
            skipPast("?>");
        } else if (text.compare(i, 2, "<!") == 0) {
            skipPast(">");
        } else if (text.compare(i, 2, "</") == 0) {
            depth = depth > 0 ? depth - 1 : 0;
            skipPast(">");
        } else {
            // An opening tag: find its end outside quoted values.
            char quote = 0;
            size_t j = i + 1;
            for (; j < text.size(); ++j) {
                char c = text[j];
                if (quote) {
                    quote = c == quote ? 0 : quote;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            bool selfClosing = j < text.size() && j > i + 1 && text[j - 1] == '/';
            if (!selfClosing && ++depth > limit)
                return false;
            i = j + 1;
        }
    }
    return true;
}
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
        if (!nestingWithin(text, kMaxNesting)) {
            closeZip();
            return false;
        }
        TiXmlDocument document;
        document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        text.clear();
        TiXmlElement* root = document.Error() ? nullptr : document.FirstChildElement("quorle");
        if (root)
            built = parseElement(root, kInputSlot, kOutputSlot);
        closeZip();
    }
    if (!built)
        return false;

    built->dispatcher(10, 0, 0, nullptr, sampleRate);
    for (AudioNode* node = built; node; node = node->next)
        if (auto* averager = dynamic_cast<AveragerAN*>(node))
            averager->prepare();
    enterCriticalSection();
    delete graph;
    graph = built;
    leaveCriticalSection();
    currentModel = index;
    return true;
}
