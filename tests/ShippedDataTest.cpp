// The data archive this build assembled: six models that load, sound different
// from each other and together use every kind of node and effect.
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "blocks/QrSaturator.h"
#include "graph/MixerAudioNode.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <cmath>
#include <set>
#include <typeinfo>

namespace {

constexpr int kModels = 6;

TEST(ShippedData, SixModelsInPlayingOrderEverySoundingDifferentlyAndBoundedAtAnyRate) {
    gFxDir = QUORLE_DATA_DIR;
    VorlixMac fx;
    fx.init();
    EXPECT_EQ(fx.modelNames,
              (std::vector<std::string>{"1-clean.xml", "2-edge.xml", "3-crunch.xml", "4-lead.xml",
                                        "5-high-gain.xml", "6-octave-fuzz.xml"}));
    // The tone stage: a three-section low shelf tilted against a low-mid band (two
    // second-order sections around 300 Hz), not against the treble.
    const FilterParams &bass = fx.bassFilter.params, &loMid = fx.loMidFilter.params;
    EXPECT_EQ(std::tuple(bass.order, bass.highShelf, bass.passes, loMid.order, loMid.passes),
              std::tuple(1, false, 3, 2, 2));
    EXPECT_NEAR(fx.loMidFilter.params.GetNormalizedFreq() * 22050.0f, 300.0f, 15.0f);

    const std::vector<float> phrase = pluckedPhrase(44100.0, 1.5);
    std::set<std::string> kinds;
    std::vector<std::vector<float>> outputs;
    const std::pair<float, bool> runs[] = {{44100.0f, false}, {1.0f, true},     {100.0f, true},
                                           {5000.0f, true},   {8000.0f, true},  {11025.0f, true},
                                           {22050.0f, true},  {384000.0f, true}};
    for (const auto& [rate, fullDrive] : runs)
        for (int m = 0; m < kModels; ++m) {
            SCOPED_TRACE("model " + std::to_string(m) + " at " + std::to_string(rate) + " Hz");
            VorlixMac fx;
            fx.setSampleRate(rate);
            fx.init();
            fx.dispatcher(10, 0, 0, nullptr, rate);
            if (fullDrive)
                fx.setParameter(0, 1.0f);
            ASSERT_TRUE(fx.loadXmlZ(m));
            std::vector<float> out(phrase.size());
            for (size_t at = 0; at < phrase.size(); at += 512) {
                float* i = const_cast<float*>(phrase.data()) + at;
                float* o = out.data() + at;
                fx.process(&i, &o, static_cast<int32_t>(std::min<size_t>(512, phrase.size() - at)));
            }
            double energy = 0.0;
            float peak = 0.0f;
            for (float s : out) {
                ASSERT_TRUE(std::isfinite(s));
                energy += static_cast<double>(s) * s;
                peak = std::max(peak, std::fabs(s));
            }
            EXPECT_LT(peak, 10.0f);
            if (fullDrive)
                continue;
            for (AudioNode* n = fx.graph->next; n; n = n->next)
                kinds.insert(n->effect ? typeid(*n->effect).name() : typeid(*n).name());
            const double rms = std::sqrt(energy / static_cast<double>(out.size()));
            EXPECT_GT(rms, 0.01) << "nearly silent";
            EXPECT_LT(rms, 1.0) << "far too loud";
            outputs.push_back(out);
        }
    for (const char* kind :
         {typeid(QrInv).name(), typeid(QrClipper).name(), typeid(QrIIRFilter).name(),
          typeid(QrSaturator).name(), typeid(MixerAudioNode).name()})
        EXPECT_EQ(kinds.count(kind), 1u) << kind;
    for (int a = 0; a < kModels; ++a)
        for (int b = a + 1; b < kModels; ++b)
            EXPECT_NE(outputs[a], outputs[b]) << a << " and " << b;
}

// As loaded at 44.1 kHz the models use every kind of node, sound, and sound different
// from each other. At full drive, below 22 kHz the first-order shelves' corners would
// pass Nyquist; the rates a host may ask for and the absurd ones alike must not blow up.

} // namespace
