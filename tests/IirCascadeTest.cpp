// The equaliser cascades run across vector lanes exactly as one section after
// another: random filters against a plain per-section reference at every
// instruction level and block length, and every shipped model through the unit at
// every oversampling factor against hashes recorded from the one-section-at-a-time
// engine.
#include "QuorleUnitHost.h"

#include "blocks/IirCascade.h"
#include "blocks/ParamCalculator.h"
#include "blocks/QrIIRFilter.h"
#include "tools/PluckedPhrase.h"

#include "OutputHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace {

using IirCascade::Level;
using quorletest::LocalUnit;

// The equaliser as first written: one pass over the whole block after another.
void reference(FilterParams& f, const float* in, float* out, int32_t frames) {
    float gainK = ParamCalculator::GetK(f.k);
    if (f.passes == 2)
        gainK = std::sqrt(gainK);
    const float direct = 1.0f + gainK;
    const float shelved = (f.order == 2 || !f.highShelf) ? 1.0f - gainK : gainK - 1.0f;
    for (int32_t p = 0; p < f.passes; ++p) {
        const float* src = p == 0 ? in : out;
        float* h = f.history[p]; // y0 y1 y2 at 0..2, x0 x1 x2 at 6..8
        for (int32_t i = 0; i < frames; ++i) {
            const float x = src[i];
            const float y = f.b0 * x + f.b1 * h[7] + f.b2 * h[8] - f.a1 * h[1] - f.a2 * h[2];
            h[2] = h[1];
            h[1] = y;
            h[0] = y;
            float v = 0.5f * (direct * x + shelved * y);
            if (p == f.passes - 1)
                v = v * f.postGain;
            h[8] = h[7];
            h[7] = x;
            h[6] = x;
            out[i] = v;
        }
    }
}

// Every level this processor runs, the plain one first.
std::vector<Level> levels() {
    std::vector<Level> all = {Level::kScalar, Level::kSse2};
    if (IirCascade::best() == Level::kAvx2)
        all.push_back(Level::kAvx2);
    return all;
}

struct LevelScope {
    explicit LevelScope(Level level) : before(IirCascade::setLevel(level)) {}
    ~LevelScope() { IirCascade::setLevel(before); }
    Level before;
};

// A filter on random controls (order, shelf type, 0..20 passes, frequency, alpha, K,
// post gain) at a random rate.
std::unique_ptr<QrIIRFilter> randomFilter(std::mt19937& rng, int32_t passes) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float rates[] = {22050.0f, 44100.0f, 96000.0f, 352800.0f};
    auto f = std::make_unique<QrIIRFilter>(nullptr);
    f->setSampleRate(rates[rng() % 4]);
    f->setParameter(QrIIRFilter::kOrder, unit(rng));
    f->setParameter(QrIIRFilter::kType, unit(rng));
    f->setParameter(QrIIRFilter::kAlpha, unit(rng));
    f->setParameter(QrIIRFilter::kK, unit(rng));
    f->setParameter(QrIIRFilter::kFrequency, unit(rng));
    f->setParameter(QrIIRFilter::kPostGain, 2.0f * unit(rng));
    f->setParameter(QrIIRFilter::kPasses, (static_cast<float>(passes) + 0.5f) / 10.0f);
    return f;
}

std::vector<float> noise(std::mt19937& rng, size_t n) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v)
        x = d(rng);
    return v;
}

bool sameBits(const float* a, const float* b, size_t n) {
    return std::memcmp(a, b, n * sizeof(float)) == 0;
}

const int32_t kBlocks[] = {1, 7, 64, 512, 4096, 7, 1, 512};

// One filter, state carried across blocks of every length, in place and not.
TEST(IirCascade, RandomFiltersEqualTheReferenceAtEveryLevel) {
    for (Level level : levels()) {
        LevelScope scope(level);
        std::mt19937 rng(12345);
        for (int trial = 0; trial < 42; ++trial) {
            const int32_t passes = trial % 21;
            SCOPED_TRACE(testing::Message() << "level " << static_cast<int>(level) << " trial "
                                            << trial << " passes " << passes);
            std::mt19937 twin = rng;
            auto fast = randomFilter(rng, passes);
            auto slow = randomFilter(twin, passes);
            ASSERT_EQ(fast->params.passes, passes);
            const bool inPlace = trial % 2 == 1;
            for (int32_t frames : kBlocks) {
                std::vector<float> in = noise(rng, static_cast<size_t>(frames));
                std::vector<float> got(in.size(), 7.0f), want = inPlace ? in : got;
                reference(slow->params, in.data(), want.data(), frames);
                float* src = in.data();
                float* dst = inPlace ? in.data() : got.data();
                fast->process(&src, &dst, frames);
                ASSERT_TRUE(sameBits(dst, want.data(), in.size())) << frames;
                ASSERT_TRUE(sameBits(&fast->params.history[0][0], &slow->params.history[0][0],
                                     sizeof(fast->params.history) / sizeof(float)));
            }
        }
    }
}

struct Stage {
    int in, out, passes; // buffers: 0 the input, 1..3 work buffers
};
const std::vector<std::vector<Stage>> kLayouts = {
    {{0, 1, 3}, {1, 2, 1}, {2, 3, 2}},                // straight, as the fixed stage and a head
    {{0, 1, 3}, {1, 1, 4}, {1, 1, 2}},                // in place
    {{0, 1, 3}, {1, 0, 1}, {0, 2, 2}},                // a stage writes the input buffer
    {{0, 1, 2}, {1, 2, 1}, {1, 3, 5}},                // a branch: the third reads the first
    {{0, 1, 2}, {1, 2, 0}, {2, 3, 3}},                // no passes: the next reads what was there
    {{0, 1, 20}, {1, 2, 20}, {2, 3, 20}, {3, 1, 20}}, // more sections than a cascade holds
    {{0, 2, 1}, {2, 3, 1}, {3, 1, 9}, {1, 3, 1}},     // groups of lanes with taps between
    {{0, 1, 1}, {1, 2, 1}},                           // single sections
};

// What happens to a chain's filters before block b of kBlocks, on both twins: the
// wavefronts kept from the block before must not be resumed after any of these.
enum Change { kNone, kRetune, kClear, kRepass };
const Change kChanges[] = {kNone, kNone, kRetune, kNone, kClear, kNone, kRepass, kNone};
static_assert(sizeof(kChanges) / sizeof(kChanges[0]) == sizeof(kBlocks) / sizeof(kBlocks[0]),
              "a change per block");

void change(Change what, QrIIRFilter& f, int32_t passes) {
    if (what == kRetune)
        f.setParameter(QrIIRFilter::kK, 0.5f * f.getParameter(QrIIRFilter::kK) + 0.25f);
    else if (what == kClear)
        f.clearState();
    else if (what == kRepass)
        f.setParameter(QrIIRFilter::kPasses, (static_cast<float>(passes) + 0.5f) / 10.0f);
}

// Consecutive filters over shared buffers, as a model's equalisers meet in its
// slots: every buffer ends as running the filters one after another leaves it,
// block after block, the wavefronts kept in a CascadeChain's carry between blocks of
// 1 to 4096 frames (blocks shorter than the wavefront leave lanes yet to start) and
// after the filters are retuned, cleared or given other pass counts.
// With `paired`, two channels' chains (the second's filters on other controls, and
// on other pass counts in every other layout) flush together.
void checkChains(bool paired) {
    const int channels = paired ? 2 : 1;
    for (Level level : levels()) {
        LevelScope scope(level);
        std::mt19937 rng(777);
        for (size_t l = 0; l < kLayouts.size(); ++l) {
            SCOPED_TRACE(testing::Message()
                         << "level " << static_cast<int>(level) << " layout " << l);
            std::vector<std::unique_ptr<QrIIRFilter>> fast[2], slow[2];
            for (int ch = 0; ch < channels; ++ch)
                for (const Stage& st : kLayouts[l]) {
                    const int32_t passes = std::min(20, st.passes + ch * static_cast<int>(l % 2));
                    std::mt19937 twin = rng;
                    fast[ch].push_back(randomFilter(rng, passes));
                    slow[ch].push_back(randomFilter(twin, passes));
                }
            CascadeCarry carry[2];
            std::vector<std::vector<float>> a[2], b[2];
            for (size_t block = 0; block < std::size(kBlocks); ++block) {
                const int32_t frames = kBlocks[block];
                for (int ch = 0; ch < channels; ++ch) {
                    const size_t f = block % kLayouts[l].size();
                    const int32_t passes = 1 + kLayouts[l][f].passes % 8;
                    change(kChanges[block], *fast[ch][f], passes);
                    change(kChanges[block], *slow[ch][f], passes);
                    a[ch].assign(4, noise(rng, static_cast<size_t>(frames)));
                    for (int k = 1; k < 4; ++k)
                        a[ch][k].assign(a[ch][0].size(), static_cast<float>(k)); // slots held
                    b[ch] = a[ch];
                }
                {
                    CascadeChain chain[2] = {CascadeChain(frames, &carry[0]),
                                             CascadeChain(frames, &carry[1])};
                    if (paired)
                        chain[0].pairWith(chain[1]);
                    for (size_t i = 0; i < kLayouts[l].size(); ++i) {
                        const Stage& st = kLayouts[l][i];
                        for (int ch = 0; ch < channels; ++ch) {
                            chain[ch].add(fast[ch][i]->params, a[ch][st.in].data(),
                                          a[ch][st.out].data());
                            reference(slow[ch][i]->params, b[ch][st.in].data(),
                                      b[ch][st.out].data(), frames);
                        }
                    }
                }
                for (int ch = 0; ch < channels; ++ch)
                    for (int k = 0; k < 4; ++k)
                        ASSERT_TRUE(sameBits(a[ch][k].data(), b[ch][k].data(), a[ch][k].size()))
                            << "channel " << ch << " buffer " << k << " after " << frames;
            }
        }
    }
}

TEST(IirCascade, ChainsAloneOrPairedLeaveEveryBufferAsFilterAfterFilter) {
    checkChains(false);
    checkChains(true);
}

// Every shipped model, drive 0.7, post gain 0.6, bass 0.3, at 44.1 kHz in calls of
// `block` frames; QUORLE_PRINT_GOLDEN=1 prints the hashes instead of checking them.
// Host slice lengths up to 512 frames, cycled through: the unit cuts them into its
// own pieces, and a factor changed a third of the way in (`later`) fades out, runs in
// pieces that fit the buffers made for the first factor and fades in again.
const UInt32 kSlices[] = {512, 1, 100, 511, 37, 256, 512, 3, 480, 129};

uint64_t renderShipped(int model, UInt32 factor, UInt32 block, UInt32 later,
                       const std::vector<float>& in) {
    LocalUnit unit(block ? block : 512);
    EXPECT_EQ(AudioUnitSetProperty(unit.unit, kQuorleProperty_Oversampling, kAudioUnitScope_Global,
                                   0, &factor, sizeof(factor)),
              noErr);
    EXPECT_EQ(unit.initialize(), noErr);
    const float controls[] = {0.7f, 0.6f, 0.3f, static_cast<float>(model)};
    for (AudioUnitParameterID id = 0; id < 4; ++id)
        EXPECT_EQ(unit.setParameter(id, controls[id]), noErr);
    std::vector<float> out;
    if (block) {
        EXPECT_EQ(unit.renderAll(in, out, block), noErr);
        return hashOf(out);
    }
    out.assign(in.size(), 0.0f);
    bool changed = later == 0;
    for (size_t at = 0, i = 0; at < in.size(); ++i) {
        if (!changed && at >= in.size() / 3) {
            EXPECT_EQ(AudioUnitSetProperty(unit.unit, kQuorleProperty_Oversampling,
                                           kAudioUnitScope_Global, 0, &later, sizeof(later)),
                      noErr);
            changed = true;
        }
        const UInt32 n =
            static_cast<UInt32>(std::min<size_t>(kSlices[i % std::size(kSlices)], in.size() - at));
        EXPECT_EQ(unit.render(in.data() + at, out.data() + at, n), noErr);
        at += n;
    }
    EXPECT_EQ(unit.kernel()->oversampler().factor(), static_cast<int>(later ? later : factor));
    EXPECT_EQ(unit.kernel()->effect()->bufferSize, static_cast<int32_t>(512 * factor));
    return hashOf(out);
}

TEST(IirCascade, ShippedModelsAtEveryFactorAsRecorded) {
    struct Case {
        int model;
        UInt32 factor;
        UInt32 block; // 0: the host slices above
        UInt32 later; // 0: no change
        uint64_t hash;
    };
    const Case cases[] = {
        {0, 1, 512, 0, 0xcb752a16ff57a83eull}, {0, 2, 512, 0, 0x4096e2b9894340ecull},
        {0, 4, 512, 0, 0xec56de0164fbf14aull}, {0, 8, 512, 0, 0x0c38c2cda24ac004ull},
        {0, 2, 7, 0, 0x4096e2b9894340ecull},   {1, 1, 512, 0, 0x3cae837cfcc7f9c7ull},
        {1, 2, 512, 0, 0x1e19d157a7dcbe8aull}, {1, 4, 512, 0, 0x0218595e66059d94ull},
        {1, 8, 512, 0, 0x2cab06a46d55c536ull}, {1, 2, 7, 0, 0x1e19d157a7dcbe8aull},
        {2, 1, 512, 0, 0xddec7673da69504dull}, {2, 2, 512, 0, 0x65bb49bf5091484eull},
        {2, 4, 512, 0, 0x35b19cbfc286471full}, {2, 8, 512, 0, 0xbbce3678f7187c35ull},
        {2, 2, 7, 0, 0x65bb49bf5091484eull},   {3, 1, 512, 0, 0x141e61fed17d8426ull},
        {3, 2, 512, 0, 0x26201b8c5458cd6full}, {3, 4, 512, 0, 0x7ecb05ac963f79b5ull},
        {3, 8, 512, 0, 0xa9a3473968bd5f79ull}, {3, 2, 7, 0, 0x26201b8c5458cd6full},
        {4, 1, 512, 0, 0xa967b3cef2903d6eull}, {4, 2, 512, 0, 0x42bbb22731f49135ull},
        {4, 4, 512, 0, 0xc87948d20fa43878ull}, {4, 8, 512, 0, 0xeb527276e5edbb6dull},
        {4, 2, 7, 0, 0x42bbb22731f49135ull},   {5, 1, 512, 0, 0xd43d22c0f5d0e566ull},
        {5, 2, 512, 0, 0x03cfc7583fff07bcull}, {5, 4, 512, 0, 0xc228e440ad94d97full},
        {5, 8, 512, 0, 0x137358e1b0a4388full}, {5, 2, 7, 0, 0x03cfc7583fff07bcull},
        {0, 1, 0, 4, 0x601d7f3d7c1bcebaull},   {0, 2, 0, 8, 0xdfb393e192d2f413ull},
        {0, 2, 0, 1, 0x88baab37388c663bull},   {1, 1, 0, 4, 0x0f25bc6375ab8608ull},
        {1, 2, 0, 8, 0xad01e9ed00ee2cc6ull},   {1, 2, 0, 1, 0x90138769d2dfd272ull},
        {2, 1, 0, 4, 0xc138198c9a5eac51ull},   {2, 2, 0, 8, 0xd4e2ad29a2c75544ull},
        {2, 2, 0, 1, 0x5e3f782a05be8b13ull},   {3, 1, 0, 4, 0x234375f44c5942b4ull},
        {3, 2, 0, 8, 0xd50cf9c00104786bull},   {3, 2, 0, 1, 0xd3d8fed8caceff57ull},
        {4, 1, 0, 4, 0xb60599215fef533aull},   {4, 2, 0, 8, 0x5f85cf119d1d5ec3ull},
        {4, 2, 0, 1, 0x689eb8219a31aa2aull},   {5, 1, 0, 4, 0x168e8c7202d98eceull},
        {5, 2, 0, 8, 0x27180148295546cbull},   {5, 2, 0, 1, 0x4d574b58ad1e832dull},
    };
    const bool printing = std::getenv("QUORLE_PRINT_GOLDEN") != nullptr;
    const std::vector<float> in = pluckedPhrase(44100.0, 0.5);
    for (const Case& c : cases) {
        for (Level level : levels()) {
            LevelScope scope(level);
            SCOPED_TRACE(testing::Message()
                         << "model " << c.model << " x" << c.factor << " block " << c.block
                         << " then x" << c.later << " level " << static_cast<int>(level));
            const uint64_t hash = renderShipped(c.model, c.factor, c.block, c.later, in);
            if (printing)
                std::printf("        {%d, %u, %u, %u, 0x%016llxull},\n", c.model, c.factor, c.block,
                            c.later, static_cast<unsigned long long>(hash));
            else
                EXPECT_EQ(hash, c.hash);
        }
    }
}

} // namespace
