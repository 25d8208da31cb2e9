// The whole data archive: the input is written as quorle.data into a plug-in
// directory of its own, and a main effect without a copy is initialised from it
// (reading the file in place), then renders a few blocks with each listed model
// and with model indices outside the list.
#include "FuzzCheck.h"
#include "MainEffectRig.h"
#include "ScratchPluginDir.h"
#include "effect/EffectOpcodes.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {
constexpr float kRates[] = {44100.0f, 48000.0f, 22050.0f, 96000.0f};
constexpr int32_t kBlock = 128;
constexpr size_t kMostModelsTried = 4;

void renderSome(VorlixMac& fx) {
    static const std::vector<float> signal = fuzz::testSignal(kBlock + 17);
    fuzz::render(fx, signal, kBlock);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ScratchPluginDir& dir = fuzz::ScratchPluginDir::get();
    dir.writeFile("quorle.data", std::string(reinterpret_cast<const char*>(data), size));
    gFxDir = dir.asFxDir();

    const float rate = kRates[size % 4];
    VorlixMac fx;
    fuzz::BorrowedBuffers borrowed(fx);
    fx.setSampleRate(rate);
    try {
        fx.init();
    } catch (const std::out_of_range&) {
        // An archive without models: the kernel gives up on this effect.
        FUZZ_CHECK(fx.modelNames.empty(), "only an empty model list stops init");
        return 0;
    }
    fx.dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
    renderSome(fx);
    // init() listed the file in place; the copy it read for switching lists the same.
    {
        VorlixMac given;
        given.archive = fx.archive;
        given.scanXml(gFxDir.c_str());
        FUZZ_CHECK(given.modelNames == fx.modelNames, "the copy lists the models the file does");
    }

    const size_t models = fx.modelNames.size();
    for (size_t m = 0; m < models && m < kMostModelsTried; ++m) {
        const int32_t before = fx.currentModel;
        fx.setParameter(QrVorlixGeneric::kModel, static_cast<float>(m));
        FUZZ_CHECK(fx.currentModel == static_cast<int32_t>(m) || fx.currentModel == before,
                   "a model switch installs the new model or keeps the old one");
        renderSome(fx);
    }
    for (float outside : {static_cast<float>(models), -1.0f, 1e9f}) {
        const int32_t before = fx.currentModel;
        bool refused = false;
        try {
            fx.setParameter(QrVorlixGeneric::kModel, outside);
        } catch (const std::out_of_range&) {
            refused = true;
        }
        FUZZ_CHECK(refused, "a model index outside the list is refused");
        FUZZ_CHECK(fx.currentModel == before, "a refused index changes nothing");
    }
    fx.setParameter(QrVorlixGeneric::kPreGain, 0.9f);
    fx.setParameter(QrVorlixGeneric::kPreBass, 0.1f);
    renderSome(fx);
    return 0;
}
