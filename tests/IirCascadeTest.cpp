// The equaliser cascades run across vector lanes exactly as one section after
// another: random filters against a plain per-section reference at every
// instruction level and block length, and every shipped model through the unit at
// every oversampling factor against recorded hashes, the same at every level (first
// recorded from the one-section-at-a-time engine; above factor 1 recorded again when
// the models' linear ends moved to the stream's rate; factor 1, 3-crunch and the
// octave fuzz, which move nothing at 44.1 kHz, unchanged).
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
    if (IirCascade::best() >= Level::kAvx2)
        all.push_back(Level::kAvx2);
    if (IirCascade::best() >= Level::kAvx512)
        all.push_back(Level::kAvx512);
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
    // Branches, side by side in one wavefront where the level's lanes hold them:
    {{0, 1, 2}, {1, 2, 2}, {1, 3, 3}},            // two filters read the first
    {{0, 1, 3}, {0, 2, 1}, {2, 3, 1}},            // a second filter on the input, then its own
    {{0, 1, 1}, {1, 2, 3}, {0, 2, 1}},            // would write 2 before the second does: apart
    {{0, 1, 2}, {1, 2, 2}, {1, 1, 1}, {2, 3, 1}}, // a branch writes its input; one reads the
                                                  // second's output again
    {{0, 1, 4}, {1, 2, 4}, {1, 3, 4}, {2, 1, 3}}, // fifteen sections: sixteen lanes only
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

// A filter that reads what an earlier filter of the cascade (not the last) wrote, or
// the cascade's input, joins as a branch only where the level's lanes hold the whole
// tree and its output lands after every earlier one's in its buffer; else nothing
// joins. (ChainsAloneOrPaired... checks the samples of the layouts with branches.)
TEST(IirCascade, ABranchJoinsOnlyWhereTheLanesHoldIt) {
    std::mt19937 rng(99);
    auto filter = [&](int32_t passes) { return randomFilter(rng, passes); };
    auto three = filter(3), two = filter(2), four = filter(4), one = filter(1);
    std::vector<float> in(64, 0.5f), a(64), b(64), c(64), elsewhere(64);
    for (Level level : levels()) {
        LevelScope scope(level);
        SCOPED_TRACE(testing::Message() << "level " << static_cast<int>(level));
        const int32_t lanes = IirCascade::treeLanes();
        EXPECT_EQ(lanes, level == Level::kScalar ? 0
                         : level == Level::kSse2 ? 4
                         : level == Level::kAvx2 ? 8
                                                 : 16);
        {
            CascadeChain chain(64);
            EXPECT_FALSE(chain.addBranch(three->params, in.data(), a.data())) << "nothing yet";
            chain.add(three->params, in.data(), a.data());
            EXPECT_FALSE(chain.addBranch(one->params, a.data(), b.data())) << "the last output";
            EXPECT_FALSE(chain.addBranch(one->params, elsewhere.data(), b.data()))
                << "not written here";
            EXPECT_EQ(chain.addBranch(one->params, in.data(), b.data()), lanes >= 4)
                << "on the cascade's input";
            EXPECT_EQ(chain.addBranch(four->params, a.data(), c.data()), lanes >= 8);
            EXPECT_EQ(chain.addBranch(two->params, a.data(), elsewhere.data()), lanes >= 16);
        }
        CascadeChain chain(64);
        chain.add(one->params, in.data(), a.data());
        chain.add(three->params, a.data(), b.data());
        EXPECT_FALSE(chain.addBranch(one->params, in.data(), b.data()))
            << "b would be written before the filter it follows writes it";
        EXPECT_EQ(chain.addBranch(four->params, a.data(), b.data()), lanes >= 8)
            << "deeper: written after";
    }
}

// A filter whose input no one else reads hands it on in the lanes when it joins the
// filter that writes it: that buffer keeps what it held, the output is the same bits.
// When it cannot join (a flush between them, or the cascade full) the buffer is
// written as before.
TEST(IirCascade, ASoleReadersInputIsWrittenOnlyWhenItDoesNotJoin) {
    for (Level level : levels()) {
        LevelScope scope(level);
        for (int32_t frames : {1, 7, 512}) {
            for (int how = 0; how < 3; ++how) { // joined, flushed between, no room left
                SCOPED_TRACE(testing::Message() << "level " << static_cast<int>(level)
                                                << ", frames " << frames << ", case " << how);
                // Three filters of 20 passes (the last writing `in`) fill 60 of the 64
                // sections when there is to be no room; then `a` joins them and `b`
                // does not fit.
                const int fillers = how == 2 ? 3 : 0;
                std::mt19937 rng(4242 + how);
                std::vector<std::unique_ptr<QrIIRFilter>> fast, slow;
                for (int k = 0; k < fillers + 2; ++k) {
                    const int32_t passes = k < fillers ? 20 : k == fillers ? 3 : 6;
                    std::mt19937 twin = rng;
                    fast.push_back(randomFilter(rng, passes));
                    slow.push_back(randomFilter(twin, passes));
                }
                const size_t n = static_cast<size_t>(frames);
                const std::vector<float> source = noise(rng, n);
                std::vector<std::vector<float>> want(fillers + 2, std::vector<float>(n));
                const float* from = source.data();
                for (int k = 0; k < fillers + 2; ++k) {
                    reference(slow[k]->params, from, want[k].data(), frames);
                    from = want[k].data();
                }
                std::vector<std::vector<float>> got(fillers + 2, std::vector<float>(n, 7.0f));
                {
                    CascadeChain chain(frames);
                    from = source.data();
                    for (int k = 0; k < fillers + 2; ++k) {
                        if (how == 1 && k == 1)
                            chain.flush();
                        chain.add(fast[k]->params, from, got[k].data(), /*soleReader=*/k > 0);
                        from = got[k].data();
                    }
                }
                const int a = fillers, b = fillers + 1;
                ASSERT_TRUE(sameBits(got[b].data(), want[b].data(), n));
                if (how == 0)
                    EXPECT_EQ(got[a], std::vector<float>(n, 7.0f)) << "handed on in the lanes";
                else
                    EXPECT_TRUE(sameBits(got[a].data(), want[a].data(), n)) << "written";
            }
        }
    }
}

// Every shipped model, drive 0.7, post gain 0.6, bass 0.3, at 44.1 kHz in calls of
// `block` frames; QUORLE_PRINT_GOLDEN=1 prints the hashes instead of checking them.
// Host slice lengths up to 512 frames, cycled through: the unit cuts them into its
// own pieces, and a factor changed a third of the way in (`later`) crossfades to a
// second lane warmed up at it, both lanes in pieces that fit the buffers made for the
// first factor.
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
        {0, 1, 512, 0, 0x5e501ed71e28ca38ull}, {0, 2, 512, 0, 0xbe7932e4ead03fc9ull},
        {0, 4, 512, 0, 0x01c98ebc6343395aull}, {0, 8, 512, 0, 0x62ca72d8b5e9ae1aull},
        {0, 2, 7, 0, 0xbe7932e4ead03fc9ull},   {1, 1, 512, 0, 0x78fac7c8c50542e8ull},
        {1, 2, 512, 0, 0xcc1b0a5ff26e315eull}, {1, 4, 512, 0, 0xa3421c593bc950b8ull},
        {1, 8, 512, 0, 0x20cb44383437c501ull}, {1, 2, 7, 0, 0xcc1b0a5ff26e315eull},
        {2, 1, 512, 0, 0x9791e17cea5a8ccaull}, {2, 2, 512, 0, 0xee1d41db8affb8e7ull},
        {2, 4, 512, 0, 0x877f4536bb40db70ull}, {2, 8, 512, 0, 0xb40d18cef1be1b71ull},
        {2, 2, 7, 0, 0xee1d41db8affb8e7ull},   {3, 1, 512, 0, 0x35eeafd67cc6fe0dull},
        {3, 2, 512, 0, 0x2fd63cfed6794a5dull}, {3, 4, 512, 0, 0xdf838c2bcab45e68ull},
        {3, 8, 512, 0, 0xf94916ac56c46406ull}, {3, 2, 7, 0, 0x2fd63cfed6794a5dull},
        {4, 1, 512, 0, 0x4d2316621fb04633ull}, {4, 2, 512, 0, 0xf4258df58bdb3778ull},
        {4, 4, 512, 0, 0xf827d56838b52debull}, {4, 8, 512, 0, 0x7b851f1e74fd9ea8ull},
        {4, 2, 7, 0, 0xf4258df58bdb3778ull},   {5, 1, 512, 0, 0xaa8289b9a99cd3a6ull},
        {5, 2, 512, 0, 0x67c56a717d54c5bdull}, {5, 4, 512, 0, 0x696a1ca257ba19b2ull},
        {5, 8, 512, 0, 0x4c64efba166f7d12ull}, {5, 2, 7, 0, 0x67c56a717d54c5bdull},
        {0, 1, 0, 4, 0x0b83b395692c3b3full},   {0, 2, 0, 8, 0xf6947922b806aef3ull},
        {0, 2, 0, 1, 0xa68431e1db696086ull},   {1, 1, 0, 4, 0xc11cd37dc079b989ull},
        {1, 2, 0, 8, 0xf601a3ce66105fc5ull},   {1, 2, 0, 1, 0x16c1e79be69d85a9ull},
        {2, 1, 0, 4, 0x690361eb665c2a4bull},   {2, 2, 0, 8, 0x085324a455b21aebull},
        {2, 2, 0, 1, 0x6d0f5eb9e8707907ull},   {3, 1, 0, 4, 0x2c6f4c1efa511721ull},
        {3, 2, 0, 8, 0x442eb48ce512da83ull},   {3, 2, 0, 1, 0x6aadc59e464ab3b7ull},
        {4, 1, 0, 4, 0x52049075e19ec3e6ull},   {4, 2, 0, 8, 0xe71c95e76d69221full},
        {4, 2, 0, 1, 0x47f1cad17e35f948ull},   {5, 1, 0, 4, 0x67718d596de69c4dull},
        {5, 2, 0, 8, 0x65f0386607f17ac1ull},   {5, 2, 0, 1, 0x7c46060b982f212dull},
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
