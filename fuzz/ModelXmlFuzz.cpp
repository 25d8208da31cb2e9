// The model file: the input is the text of a model entry. It is packed with the
// shipped presets into the plug-in's archive and loaded as the plug-in loads a
// model (list, read, nesting guard, TinyXML, graph builder, presets); a graph that
// builds is run for a few blocks at several sample rates.
#include "FuzzCheck.h"
#include "MainEffectRig.h"
#include "ScratchPluginDir.h"
#include "effect/EffectOpcodes.h"

#include <cstdint>
#include <string>

namespace {
constexpr float kRates[] = {44100.0f, 8000.0f, 96000.0f, 192000.0f};
// Block length and how many frames of the signal are run in blocks of it.
constexpr struct {
    int32_t block;
    size_t frames;
} kRuns[] = {{128, 400}, {1, 8}, {400, 400}};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ScratchPluginDir& dir = fuzz::ScratchPluginDir::get();
    fuzz::Entries entries = fuzz::shippedPresets();
    entries.emplace_back("m.xml", std::string(reinterpret_cast<const char*>(data), size));
    dir.writeArchive("quorle.data", entries);
    gFxDir = dir.asFxDir();

    VorlixMac fx;
    fuzz::BorrowedBuffers borrowed(fx);
    fx.setSampleRate(kRates[0]);
    fx.init();
    FUZZ_CHECK(fx.modelNames.size() == 1, "the archive lists its one model");
    if (!fx.graph)
        return 0; // refused

    static const std::vector<float> signal = fuzz::testSignal(400);
    bool first = true;
    for (float rate : kRates) {
        if (!first) {
            fx.setSampleRate(rate);
            fx.dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
        }
        first = false;
        for (const auto& run : kRuns)
            fuzz::render(fx, {signal.begin(), signal.begin() + run.frames}, run.block);
    }
    return 0;
}
