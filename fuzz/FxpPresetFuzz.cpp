// The FXP preset: the input is a preset entry of the archive. It is applied to a
// building block of each kind, as the factory applies a model's presets, and to
// the two fixed filters of a main effect, as init() applies theirs; each then runs
// a few blocks at several sample rates.
//
// What is checked is what the blocks promise whatever the preset: the inverter
// flips the sign of its input and the delay only ever outputs delayed input. The
// clipper's output stays finite while its controls lie within 0..1, and the
// equaliser's (and so the main effect's) too, at rates of 44.1 kHz and above where
// every setting of its 0..1 controls is a stable filter. The saturator holds any
// value within its controls' range, so its output stays finite whatever the preset.
#include "FuzzCheck.h"
#include "MainEffectRig.h"
#include "ScratchPluginDir.h"

#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "effect/AudioEffectX.h"
#include "effect/MasterCallback.h"
#include "main/DataArchive.h"

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace {

constexpr float kRates[] = {44100.0f, 192000.0f, 8000.0f};
constexpr float kStableFromRate = 44100.0f;
constexpr int32_t kSetSampleRate = 10; // effect opcode
constexpr int32_t kBlock = 512;
constexpr size_t kFrames = 700;

const char* const kPassThrough =
    R"(<quorle><mixer id="out" input="in" input2="in"><param set="1" value="0"/></mixer></quorle>)";

// The values a preset entry applies, by parameter index, read as the loader reads
// them: a big-endian count at offset 24, big-endian floats from offset 56, up to
// the end of the entry.
std::map<int32_t, float> appliedValues(const uint8_t* data, size_t size) {
    std::map<int32_t, float> values;
    if (size < 56)
        return values;
    auto be = [&](size_t at) {
        return static_cast<uint32_t>(data[at]) << 24 | static_cast<uint32_t>(data[at + 1]) << 16 |
               static_cast<uint32_t>(data[at + 2]) << 8 | static_cast<uint32_t>(data[at + 3]);
    };
    const auto count = static_cast<int32_t>(be(24));
    for (int32_t i = 0; i < count && 56 + 4 * static_cast<size_t>(i) + 4 <= size; ++i) {
        const uint32_t bits = be(56 + 4 * static_cast<size_t>(i));
        float v;
        std::memcpy(&v, &bits, sizeof(v));
        values[i] = v;
    }
    return values;
}

// Whether every applied value of a parameter below `params` is a finite 0..1 control.
bool controlsInRange(const std::map<int32_t, float>& values, int32_t params) {
    for (const auto& [index, v] : values)
        if (index < params && !(v >= 0.0f && v <= 1.0f))
            return false;
    return true;
}

// Asks every text the effect gives about its parameters, into buffers of exactly
// the documented size.
void readTexts(AudioEffectX& effect, int32_t params) {
    std::unique_ptr<char[]> text(new char[kTextSize]);
    for (int32_t i = 0; i <= params; ++i) {
        text[0] = 0;
        effect.getParameterDisplay(i, text.get());
        effect.getParameterName(i, text.get());
        effect.getParameterLabel(i, text.get());
    }
    effect.getProgramName(text.get());
}

// Runs `signal` through the block's processReplacing in blocks; the output.
std::vector<float> run(AudioEffectX& effect, const std::vector<float>& signal) {
    std::vector<float> in(signal), out(signal.size(), 0.0f);
    for (size_t at = 0; at < in.size(); at += kBlock) {
        const auto n = static_cast<int32_t>(std::min<size_t>(kBlock, in.size() - at));
        std::unique_ptr<float*[]> inputs(new float* [1] { in.data() + at });
        std::unique_ptr<float*[]> outputs(new float* [1] { out.data() + at });
        effect.processReplacing(inputs.get(), outputs.get(), n);
    }
    return out;
}

void checkBlock(AudioNode::FXType type, const std::map<int32_t, float>& values,
                const std::vector<float>& signal) {
    // As a model's block is made: its preset from the archive read into memory.
    const auto archive = DataArchive::readDirectory(fuzz::ScratchPluginDir::get().asFxDir());
    ArchiveEffectFactory factory(archive.get(), masterCallback);
    std::unique_ptr<AudioEffectX> effect(factory.create(type, "p", nullptr));
    FUZZ_CHECK(effect != nullptr, "every kind of block is made");
    readTexts(*effect, 8);
    for (float rate : kRates) {
        effect->dispatcher(kSetSampleRate, 0, 0, nullptr, rate);
        const std::vector<float> out = run(*effect, signal);
        switch (type) {
        case AudioNode::kFxInv:
            for (size_t i = 0; i < out.size(); ++i)
                FUZZ_CHECK(out[i] == -signal[i], "the inverter flips the sign of its input");
            break;
        case AudioNode::kFxDelay:
            FUZZ_CHECK(fuzz::allFinite(out), "the delay outputs only delayed input");
            break;
        case AudioNode::kFxClip:
            if (controlsInRange(values, QrClipper::kNumParams))
                FUZZ_CHECK(fuzz::allFinite(out), "the clipper's output is finite");
            break;
        case AudioNode::kFxEq:
            if (rate >= kStableFromRate && controlsInRange(values, QrIIRFilter::kNumParams))
                FUZZ_CHECK(fuzz::allFinite(out), "the equaliser's output is finite");
            break;
        case AudioNode::kFxSat:
            FUZZ_CHECK(fuzz::allFinite(out), "the saturator's output is finite");
            break;
        default: break;
        }
    }
    readTexts(*effect, 8);
}

// The preset as the two fixed filters of a main effect, around a pass-through model.
void checkFixedFilters(const std::map<int32_t, float>& values, const std::vector<float>& signal) {
    VorlixMac fx;
    fuzz::BorrowedBuffers borrowed(fx);
    fx.init();
    FUZZ_CHECK(fx.graph != nullptr, "the pass-through model loads");
    readTexts(fx, QrVorlixGeneric::kNumParams);
    const bool stable = controlsInRange(values, QrIIRFilter::kNumParams);
    for (float rate : kRates) {
        fx.setSampleRate(rate);
        fx.dispatcher(kSetSampleRate, 0, 0, nullptr, rate);
        const std::vector<float> out = fuzz::render(fx, signal, kBlock);
        if (stable && rate >= kStableFromRate)
            FUZZ_CHECK(fuzz::allFinite(out), "the main effect's output is finite");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string preset(reinterpret_cast<const char*>(data), size);
    fuzz::ScratchPluginDir& dir = fuzz::ScratchPluginDir::get();
    dir.writeArchive(
        "quorle.data",
        {{"m.xml", kPassThrough}, {"p.fxp", preset}, {"bass.fxp", preset}, {"lo_mid.fxp", preset}});
    gFxDir = dir.asFxDir();
    gAudioMaster = masterCallback; // as a main effect sets it for the factory

    static const std::vector<float> signal = fuzz::testSignal(kFrames);
    const std::map<int32_t, float> values = appliedValues(data, size);
    for (AudioNode::FXType type : {AudioNode::kFxInv, AudioNode::kFxClip, AudioNode::kFxDelay,
                                   AudioNode::kFxEq, AudioNode::kFxSat})
        checkBlock(type, values, signal);
    checkFixedFilters(values, signal);
    return 0;
}
