// The model list and model switching of the main effect, both from the effect's
// in-memory copy of the data archive: no file is opened here.
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/ModelDocument.h"
#include "main/QrVorlixGeneric.h"

#include <algorithm>

void QrVorlixGeneric::scanXml(const char*) {
    if (!archive)
        return;
    const std::vector<std::string>& names = archive->modelNames();
    modelNames.insert(modelNames.end(), names.begin(), names.end());
    std::sort(modelNames.begin(), modelNames.end());
}

bool QrVorlixGeneric::loadXmlZ(int index) {
    // A negative index converts to a size no list has, so it is out of range too.
    const std::string name = modelNames.at(static_cast<size_t>(index));

    const std::string* text = archive ? archive->model(name) : nullptr;
    if (!text)
        return false;
    AudioNode* built = nullptr;
    {
        TiXmlDocument document;
        TiXmlElement* root = parseModelDocument(*text, document);
        ArchiveEffectFactory effects(archive.get(), blockCallback);
        if (root)
            built = parseElement(root, kInputSlot, kOutputSlot, effects);
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
