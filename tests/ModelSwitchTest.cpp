// Switching models while rendering: graphs prepared off the render thread, installed
// at once or with the linear crossfade, a second switch during a fade, the output
// after a fade against a freshly loaded model.
#include "ArchiveTestUtil.h"
#include "QuorleUnitHost.h"

#include "blocks/LinearFade.h"
#include "graph/AudioNodeFX.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Bank = std::vector<std::unique_ptr<PreparedGraph>>;

// A main effect on the shipped models at `rate` (its running rate), the controls
// as a host would leave them.
std::unique_ptr<VorlixMac> shippedEffect(float rate) {
    gFxDir = QUORLE_DATA_DIR;
    auto fx = std::make_unique<VorlixMac>();
    fx->setSampleRate(rate);
    fx->init();
    fx->dispatcher(10, 0, 0, nullptr, rate);
    fx->setParameter(0, 0.7f);
    fx->setParameter(1, 0.6f);
    fx->setParameter(2, 0.4f);
    return fx;
}

Bank prepareAll(VorlixMac& fx) {
    Bank bank;
    for (size_t i = 0; i < fx.modelNames.size(); ++i)
        bank.push_back(fx.prepare(static_cast<int>(i)));
    return bank;
}

// Renders `frames` samples of `in` from `at` through each effect into its output, at
// the same place.
void renderBlock(const std::vector<float>& in, size_t at, size_t frames,
                 std::initializer_list<std::pair<VorlixMac*, std::vector<float>*>> effects) {
    for (auto [fx, out] : effects) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = out->data() + at;
        fx->process(&i, &o, static_cast<int32_t>(frames));
    }
}

TEST(ModelSwitch, PrepareBuildsEveryShippedModelAndRefusesWhatCannotBuild) {
    auto fx = shippedEffect(44100.0f);
    const Bank bank = prepareAll(*fx);
    ASSERT_EQ(bank.size(), 6u);
    for (size_t i = 0; i < bank.size(); ++i) {
        ASSERT_TRUE(bank[i]) << i;
        EXPECT_EQ(bank[i]->model, static_cast<int32_t>(i));
        EXPECT_EQ(bank[i]->rate, 44100.0f);
        EXPECT_FALSE(bank[i]->played);
    }
    EXPECT_THROW(fx->prepare(6), std::out_of_range);
    EXPECT_THROW(fx->prepare(-1), std::out_of_range);

    // A model that does not build: no graph; switching to nothing changes nothing.
    PluginDir dir;
    const std::string flat = fxp({1.0f, 0.0f, 0.1f, 0.5f, 0.95f, 0.5f, 1.0f});
    dir.archive("quorle.data", {{"a.xml", R"(<quorle><fx id="x" type="inv"/></quorle>)"},
                                {"b.xml", "<quorle><fx id="},
                                {"bass.fxp", flat},
                                {"lo_mid.fxp", flat}});
    VorlixMac small;
    small.init();
    EXPECT_EQ(small.prepare(1), nullptr);
    AudioNode* playing = small.graph;
    EXPECT_FALSE(small.switchTo(nullptr));
    EXPECT_FALSE(small.install(nullptr));
    EXPECT_EQ(small.graph, playing);
    EXPECT_EQ(small.getParameter(3), 0.0f);
}

// `fx` switches with fades between prepared graphs; beside it, one effect per
// stretch between switches loads that stretch's model with loadXmlZ() at the
// switch's block and keeps it. After each fade `fx` sounds as the stretch's effect,
// bit for bit; during a fade it is (1 - g) x the stretch before's + g x the new
// one's, g = k / length on the fade's k-th sample. Every ordered pair of shipped
// models, there and back and there again (graphs that have played before are
// installed again); and a running rate of 88.2 kHz (an oversampled kernel's).
TEST(ModelSwitch, AfterAFadeTheOutputIsAFreshlyLoadedModelsAndTheFadeIsLinear) {
    std::vector<std::tuple<float, int, int>> cases; // rate, from, to
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b)
            if (a != b)
                cases.push_back({44100.0f, a, b});
    cases.push_back({88200.0f, 4, 1});
    constexpr size_t kBlock = 256;
    constexpr size_t kSwitches[] = {40, 80, 120}; // blocks
    for (auto [rate, from, to] : cases) {
        SCOPED_TRACE(testing::Message() << from << " -> " << to << " at " << rate);
        auto fx = shippedEffect(rate);
        const Bank bank = prepareAll(*fx);
        const int32_t length = fx->fadeSamples();
        ASSERT_EQ(length, static_cast<int32_t>(std::lround(0.02 * rate)));
        ASSERT_TRUE(fx->install(bank[static_cast<size_t>(from)].get()));
        const int models[] = {from, to, from, to}; // stretch by stretch
        std::vector<std::unique_ptr<VorlixMac>> stretch;
        for (int s = 0; s < 4; ++s)
            stretch.push_back(shippedEffect(rate));
        ASSERT_TRUE(stretch[0]->loadXmlZ(from));
        const std::vector<float> in = pluckedPhrase(rate, 0.9);
        std::vector<float> out(in.size());
        std::vector<std::vector<float>> want(4, std::vector<float>(in.size()));
        size_t current = 0, fadeStart = 0, fadeEnd = 0, compared = 0, faded = 0;
        for (size_t block = 0; block * kBlock < in.size(); ++block) {
            const size_t at = block * kBlock, frames = std::min(kBlock, in.size() - at);
            for (size_t s = 0; s < 3; ++s) {
                if (block != kSwitches[s])
                    continue;
                current = s + 1;
                const int model = models[current];
                ASSERT_TRUE(fx->switchTo(bank[static_cast<size_t>(model)].get()));
                ASSERT_TRUE(stretch[current]->loadXmlZ(model));
                EXPECT_EQ(fx->getParameter(3), static_cast<float>(model)) << "fading in";
                EXPECT_EQ(fx->fadeRemaining(), length);
                fadeStart = at;
                fadeEnd = at + static_cast<size_t>(length);
            }
            renderBlock(in, at, frames, {{fx.get(), &out}});
            for (size_t s = 0; s < 4; ++s)
                renderBlock(in, at, frames, {{stretch[s].get(), &want[s]}});
            for (size_t i = at; i < at + frames; ++i) {
                if (i >= fadeEnd) {
                    ASSERT_EQ(out[i], want[current][i]) << "sample " << i;
                    ++compared;
                } else {
                    const float g =
                        static_cast<float>(i - fadeStart + 1) / static_cast<float>(length);
                    const float mix = want[current - 1][i] * (1.0f - g) + want[current][i] * g;
                    ASSERT_NEAR(out[i], mix, 2e-6f + 2e-6f * std::fabs(mix)) << "sample " << i;
                    ++faded;
                }
            }
        }
        EXPECT_EQ(faded, 3u * static_cast<size_t>(length));
        EXPECT_GT(compared, in.size() / 2);
        EXPECT_EQ(fx->fadeRemaining(), 0);
    }
}

// A second and third switch during a fade wait for it and the last one wins; one
// asking for the graph fading in drops the wait. getParameter(3) reports the model
// fading in, and the waiting one once its fade starts (the piece after the first
// fade ends); after that fade the output is the freshly loaded model's.
TEST(ModelSwitch, SwitchesDuringAFadeWaitAndTheLastOneWins) {
    auto fx = shippedEffect(44100.0f), fresh = shippedEffect(44100.0f);
    const Bank bank = prepareAll(*fx);
    const std::vector<float> in = pluckedPhrase(44100.0, 0.8);
    std::vector<float> out(in.size()), want(in.size());
    constexpr size_t kBlock = 128;
    size_t secondStart = 0;
    bool secondFade = false, dropped = false;
    for (size_t block = 0; block * kBlock < in.size(); ++block) {
        const size_t at = block * kBlock, frames = std::min(kBlock, in.size() - at);
        if (block == 20) {
            ASSERT_TRUE(fx->switchTo(bank[1].get()));
            ASSERT_TRUE(fresh->loadXmlZ(1));
        }
        if (block == 22) { // during the fade: 2, then 3; 3 waits
            ASSERT_GT(fx->fadeRemaining(), 0);
            EXPECT_TRUE(fx->switchTo(bank[2].get()));
            EXPECT_TRUE(fx->switchTo(bank[3].get()));
            EXPECT_EQ(fx->getParameter(3), 1.0f);
        }
        renderBlock(in, at, frames, {{fx.get(), &out}, {fresh.get(), &want}});
        if (!secondFade && fx->getParameter(3) == 3.0f) {
            // The waiting switch began at the end of this call: the fresh effect
            // loads it before the next block.
            secondFade = true;
            secondStart = at + frames;
            EXPECT_EQ(fx->fadeRemaining(), fx->fadeSamples());
            ASSERT_TRUE(fresh->loadXmlZ(3));
        }
        if (secondFade && at >= secondStart + static_cast<size_t>(fx->fadeSamples()) + kBlock) {
            for (size_t i = at; i < at + frames; ++i)
                ASSERT_EQ(out[i], want[i]) << "sample " << i;
        }
        if (block == 60 && !dropped) {
            // A switch to 4, then back to 3 while 4 fades in... 3 is the one fading
            // out, so it waits; asking for 4, the one fading in, drops the wait.
            dropped = true;
            ASSERT_EQ(fx->fadeRemaining(), 0);
            EXPECT_TRUE(fx->switchTo(bank[4].get()));
            EXPECT_TRUE(fx->switchTo(bank[3].get()));
            EXPECT_TRUE(fx->switchTo(bank[4].get()));
            ASSERT_TRUE(fresh->loadXmlZ(4));
            secondStart = at + frames;
        }
    }
    EXPECT_TRUE(secondFade);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(fx->getParameter(3), 4.0f);
    EXPECT_EQ(fx->graph, bank[4]->graph);
    EXPECT_EQ(fx->fadeRemaining(), 0);
}

// A reset during a fade ends it, and a waiting switch is made at once; install()
// during a fade ends it too. Either way the output is the freshly loaded model's
// from a cleared state.
TEST(ModelSwitch, AResetOrAnInstallDuringAFadeEndsIt) {
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "install");
        auto fx = shippedEffect(48000.0f), fresh = shippedEffect(48000.0f);
        const Bank bank = prepareAll(*fx);
        const std::vector<float> in = pluckedPhrase(48000.0, 0.3);
        std::vector<float> out(in.size()), want(in.size());
        renderBlock(in, 0, 4096, {{fx.get(), &out}, {fresh.get(), &want}});
        ASSERT_TRUE(fx->switchTo(bank[2].get()));
        renderBlock(in, 4096, 100, {{fx.get(), &out}, {fresh.get(), &want}});
        ASSERT_TRUE(fx->switchTo(bank[5].get())); // waits
        if (reset) {
            fx->clearState();
            fresh->clearState();
        } else {
            ASSERT_TRUE(fx->install(bank[5].get())); // never played: as built
        }
        ASSERT_TRUE(fresh->loadXmlZ(5));
        EXPECT_EQ(fx->fadeRemaining(), 0);
        EXPECT_EQ(fx->getParameter(3), 5.0f);
        renderBlock(in, 4196, in.size() - 4196, {{fx.get(), &out}, {fresh.get(), &want}});
        EXPECT_TRUE(std::equal(out.begin() + 4196, out.end(), want.begin() + 4196));
    }
}

// A fade into a graph that writes no audio to the output (its model plays the fixed
// stage alone) fades to what the fixed stage leaves in slot 1, not to what the
// graph fading out left there: (1 - g) x the old model's + g x the fixed stage's,
// then the fixed stage's alone.
TEST(ModelSwitch, AFadeIntoAGraphWritingNothingFadesToTheFixedStage) {
    auto fx = shippedEffect(48000.0f), old = shippedEffect(48000.0f),
         bare = shippedEffect(48000.0f);
    PreparedGraph nothing, nothingToo;
    for (PreparedGraph* g : {&nothing, &nothingToo}) {
        g->graph = new AudioNodeFX; // the input node alone
        g->graph->outBuffer = kInputSlot;
        g->model = 0;
    }
    ASSERT_TRUE(bare->install(&nothingToo));
    const std::vector<float> in = pluckedPhrase(48000.0, 0.3);
    std::vector<float> out(in.size()), was(in.size()), fixed(in.size());
    renderBlock(in, 0, 4096, {{fx.get(), &out}, {old.get(), &was}, {bare.get(), &fixed}});
    ASSERT_TRUE(fx->switchTo(&nothing));
    const int32_t length = fx->fadeSamples();
    renderBlock(in, 4096, in.size() - 4096,
                {{fx.get(), &out}, {old.get(), &was}, {bare.get(), &fixed}});
    EXPECT_NE(was, fixed);
    for (int32_t k = 0; k < length; ++k) {
        const size_t i = 4096 + static_cast<size_t>(k);
        const float g = fade::gainAt(k, length);
        // The post gain is applied after the mix here, before it there: a rounding apart.
        ASSERT_NEAR(out[i], was[i] * (1.0f - g) + fixed[i] * g, 1e-6f) << k;
    }
    EXPECT_TRUE(std::equal(out.begin() + 4096 + length, out.end(), fixed.begin() + 4096 + length));
}

// Through the unit with its fade property (64008) set: the kernel switches to the
// graphs it prepared when it was made, fading over 20 ms (at 2x between its engine's
// lanes, in stream-rate samples); before anything is rendered a switch is immediate.
// Without the property a switch is heard at once.
TEST(ModelSwitch, TheKernelFadesToTheGraphsItPreparedWhenAsked) {
    quorletest::LocalUnit unit(512, 48000.0);
    auto set = [&](AudioUnitPropertyID id, UInt32 value) {
        return AudioUnitSetProperty(unit.unit, id, kAudioUnitScope_Global, 0, &value,
                                    sizeof(value));
    };
    ASSERT_EQ(set(kQuorleProperty_Oversampling, 2), noErr);
    EXPECT_EQ(set(kQuorleProperty_FadeModelSwitches, 2), kAudioUnitErr_InvalidPropertyValue);
    ASSERT_EQ(set(kQuorleProperty_FadeModelSwitches, 1), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    quorleKernel& kernel = *unit.kernel();
    const ChannelEngine& engine = kernel.engine();
    const size_t models = kernel.effect()->modelNames.size();
    for (size_t i = 0; i < models; ++i)
        ASSERT_NE(kernel.preparedModel(i), nullptr) << i;
    EXPECT_EQ(kernel.preparedModel(models), nullptr);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    std::vector<float> out(512);
    ASSERT_EQ(unit.setParameter(3, 2.0f), noErr);
    ASSERT_EQ(unit.render(in.data(), out.data(), 512), noErr);
    EXPECT_EQ(kernel.effect()->graph, kernel.preparedModel(2)->graph);
    EXPECT_EQ(engine.switchRemaining(), 0) << "nothing heard before: at once";

    ASSERT_EQ(unit.setParameter(3, 4.0f), noErr);
    ASSERT_EQ(unit.render(in.data() + 512, out.data(), 256), noErr);
    // A fade of 20 ms at 48 kHz, 256 samples of it heard.
    EXPECT_EQ(std::tuple(engine.model(), engine.switchRemaining()), std::tuple(4, 960 - 256));
    size_t at = 768;
    while (engine.switchRemaining() > 0 && at + 256 <= in.size()) {
        ASSERT_EQ(unit.render(in.data() + at, out.data(), 256), noErr);
        at += 256;
    }
    EXPECT_EQ(engine.switchRemaining(), 0);
    EXPECT_EQ(at, 768u + 3 * 256) << "704 samples: three more calls of 256 frames";
    EXPECT_EQ(kernel.effect()->graph, kernel.preparedModel(4)->twin->graph)
        << "the second lane plays";

    ASSERT_EQ(set(kQuorleProperty_FadeModelSwitches, 0), noErr);
    ASSERT_EQ(unit.setParameter(3, 1.0f), noErr);
    ASSERT_EQ(unit.render(in.data() + at, out.data(), 256), noErr);
    EXPECT_EQ(kernel.effect()->graph, kernel.preparedModel(1)->twin->graph);
    EXPECT_EQ(engine.switchRemaining(), 0) << "the unit's default: at once";
}

} // namespace
