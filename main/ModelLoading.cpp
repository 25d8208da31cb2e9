// The model list and model switching of the main effect, both from the effect's
// in-memory copy of the data archive: no file is opened here.
#include "graph/CascadePlan.h"
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
    if (!built) {
        refusal = std::move(report.reasons);
        return nullptr;
    }
    built->dispatcher(10, 0, 0, nullptr, rate);
    prepareGraph(built.get());
    planCascades(built.get());
    return built;
}

bool QrVorlixGeneric::loadXmlZ(int index) {
    std::unique_ptr<AudioNode> built = build(index, sampleRate);
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
