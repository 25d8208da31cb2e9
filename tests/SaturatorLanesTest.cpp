// Saturators run in a cascade's lanes between its sections give the samples of the
// saturators' own blocks run between the filters one after another: at every
// instruction level, in blocks of 1 to 4096 frames with the wavefronts kept between
// them, across the lane groups' seams, two saturators in a row, a saturator left last,
// and after a saturator's controls or state change between blocks.
#include "blocks/IirCascade.h"
#include "blocks/ParamCalculator.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrSaturator.h"
#include "effect/EffectOpcodes.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace {

using IirCascade::Level;

// The equaliser one pass over the block after another (as IirCascadeTest's).
void reference(FilterParams& f, const float* in, float* out, int32_t frames) {
    float gainK = ParamCalculator::GetK(f.k);
    if (f.passes == 2)
        gainK = std::sqrt(gainK);
    const float direct = 1.0f + gainK;
    const float shelved = (f.order == 2 || !f.highShelf) ? 1.0f - gainK : gainK - 1.0f;
    for (int32_t p = 0; p < f.passes; ++p) {
        const float* src = p == 0 ? in : out;
        float* h = f.history[p];
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

// A shelf at 88.2 kHz on random controls, `passes` sections.
std::unique_ptr<QrIIRFilter> shelf(std::mt19937& rng, int32_t passes) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto f = std::make_unique<QrIIRFilter>(nullptr);
    f->setSampleRate(88200.0f);
    f->setParameter(QrIIRFilter::kOrder, unit(rng));
    f->setParameter(QrIIRFilter::kType, unit(rng));
    f->setParameter(QrIIRFilter::kAlpha, unit(rng));
    f->setParameter(QrIIRFilter::kK, unit(rng));
    f->setParameter(QrIIRFilter::kFrequency, 0.2f + 0.6f * unit(rng));
    f->setParameter(QrIIRFilter::kPostGain, 0.5f + unit(rng));
    f->setParameter(QrIIRFilter::kPasses, (static_cast<float>(passes) + 0.5f) / 10.0f);
    return f;
}

// Three voicings: knee and soft curve with bias and DC cut; the knee alone without
// the cut; driven hard into the soft curve.
const float kVoicings[3][QrSaturator::kNumParams] = {
    {0.62f, 0.6f, 0.32f, 0.68f, 0.25f, 0.5f},
    {0.45f, 0.0f, 0.8f, 0.7f, 0.0f, 0.0f},
    {0.95f, 0.2f, 0.5f, 0.5f, 0.4f, 1.0f},
};

std::unique_ptr<QrSaturator> saturator(int voicing) {
    auto s = std::make_unique<QrSaturator>(masterCallback); // one channel
    s->setSampleRate(88200.0f);
    for (int32_t p = 0; p < QrSaturator::kNumParams; ++p)
        s->setParameter(p, kVoicings[voicing][p]);
    return s;
}

// A node: an equaliser of `passes` sections, or (passes < 0) saturator -passes - 1,
// reading buffer `in` and writing `out` (0 the input, 1..4 work buffers). `sole`:
// nothing but this node reads `in` (its writer is the node before).
struct Node {
    int in, out, passes;
    bool sole;
};
constexpr int kSat0 = -1, kSat1 = -2, kSat2 = -3;

const std::vector<std::vector<Node>> kLayouts = {
    // a head, a saturator, a tail: one wave at every width
    {{0, 1, 3, false}, {1, 2, kSat0, true}, {2, 3, 2, true}},
    // nine sections: the saturator in the first group of eight, the last alone
    {{0, 1, 7, false}, {1, 2, kSat1, true}, {2, 3, 2, true}},
    // eight: the saturator on the seam of two groups of four
    {{0, 1, 4, false}, {1, 2, kSat2, true}, {2, 3, 4, true}},
    // two places, two saturators in a row, buffers used again
    {{0, 1, 1, false},
     {1, 2, kSat0, true},
     {2, 3, 1, true},
     {3, 4, kSat1, true},
     {4, 1, kSat2, true},
     {1, 2, 3, true}},
    // a saturator left last
    {{0, 1, 2, false}, {1, 2, kSat0, true}},
    // a saturator on the input, not on what the filter before wrote
    {{0, 1, 2, false}, {0, 2, kSat1, false}, {2, 3, 1, true}},
    // a filter without passes between: the saturator reads what was there
    {{0, 1, 3, false}, {1, 2, 0, true}, {2, 3, kSat0, true}, {3, 4, 1, true}},
    // sixty sections before the saturator: the filter after it has no room
    {{0, 1, 20, false}, {1, 1, 20, true}, {1, 1, 20, true}, {1, 2, kSat2, true}, {2, 3, 5, true}},
};

const int32_t kBlocks[] = {1, 7, 64, 512, 4096, 7, 1, 3, 512, 2, 4096};
// What happens to the nodes before block b, on both twins.
enum Change { kNone, kRetune, kClear, kRevoice };
const Change kChanges[] = {kNone, kNone,    kRetune, kNone, kClear, kNone,
                           kNone, kRevoice, kNone,   kNone, kNone};
static_assert(std::size(kChanges) == std::size(kBlocks), "a change per block");

struct Twin {
    std::vector<std::unique_ptr<QrIIRFilter>> filters; // by node, null for saturators
    std::vector<std::unique_ptr<QrSaturator>> sats;    // by node, null for filters
};

Twin make(const std::vector<Node>& layout, std::mt19937& rng) {
    Twin t;
    for (const Node& n : layout) {
        t.filters.push_back(n.passes >= 0 ? shelf(rng, n.passes) : nullptr);
        t.sats.push_back(n.passes < 0 ? saturator(-n.passes - 1) : nullptr);
    }
    return t;
}

void change(Change what, Twin& t, size_t node) {
    if (QrSaturator* s = t.sats[node].get()) {
        if (what == kClear)
            s->clearState();
        else if (what == kRevoice || what == kRetune)
            s->setParameter(QrSaturator::kPreGain, 0.5f * s->getParameter(QrSaturator::kPreGain));
    } else if (what == kRetune) {
        QrIIRFilter& f = *t.filters[node];
        f.setParameter(QrIIRFilter::kK, 0.5f * f.getParameter(QrIIRFilter::kK) + 0.25f);
    } else if (what == kClear) {
        t.filters[node]->clearState();
    }
}

// Every layout, block after block, the nodes gathered into a CascadeChain against the
// same nodes run one after another. Without `sole` every buffer ends as the reference
// leaves it; with it the last node's output does, and every buffer that a node
// handed on in the lanes keeps what it held.
void checkLayouts(bool sole) {
    for (Level level : levels()) {
        LevelScope scope(level);
        std::mt19937 rng(2024);
        for (size_t l = 0; l < kLayouts.size(); ++l) {
            const std::vector<Node>& layout = kLayouts[l];
            SCOPED_TRACE(testing::Message()
                         << "level " << static_cast<int>(level) << " layout " << l);
            std::mt19937 twinRng = rng;
            Twin fast = make(layout, rng), slow = make(layout, twinRng);
            CascadeCarry carry;
            std::uniform_real_distribution<float> d(-1.0f, 1.0f);
            for (size_t block = 0; block < std::size(kBlocks); ++block) {
                const int32_t frames = kBlocks[block];
                const size_t n = static_cast<size_t>(frames);
                const size_t changed = block % layout.size();
                change(kChanges[block], fast, changed);
                change(kChanges[block], slow, changed);
                std::vector<std::vector<float>> a(5), b;
                a[0].resize(n);
                for (float& x : a[0])
                    x = 0.8f * d(rng);
                for (int k = 1; k < 5; ++k)
                    a[k].assign(n, static_cast<float>(k)); // what the slots held
                b = a;
                {
                    CascadeChain chain(frames, &carry);
                    for (size_t i = 0; i < layout.size(); ++i) {
                        const Node& node = layout[i];
                        float* in = a[node.in].data();
                        float* out = a[node.out].data();
                        const bool handOn = sole && node.sole;
                        if (QrSaturator* s = fast.sats[i].get()) {
                            if (!chain.addSaturator(*s, in, out, handOn)) {
                                chain.flush();
                                s->processReplacing(&in, &out, frames);
                            }
                        } else {
                            chain.add(fast.filters[i]->params, in, out, handOn);
                        }
                        if (QrSaturator* s = slow.sats[i].get()) {
                            float* from = b[node.in].data();
                            float* to = b[node.out].data();
                            s->processReplacing(&from, &to, frames);
                        } else {
                            reference(slow.filters[i]->params, b[node.in].data(),
                                      b[node.out].data(), frames);
                        }
                    }
                }
                const int last = layout.back().out;
                for (int k = 1; k < 5; ++k) {
                    if (!sole || k == last) {
                        ASSERT_EQ(a[k], b[k]) << "buffer " << k << ", block " << block;
                    } else if (a[k] != b[k]) {
                        ASSERT_EQ(a[k], std::vector<float>(n, static_cast<float>(k)))
                            << "buffer " << k << " neither written nor left, block " << block;
                    }
                }
            }
        }
    }
}

TEST(SaturatorLanes, PlayAsTheFiltersAndSaturatorsOneAfterAnother) {
    checkLayouts(false);
    checkLayouts(true);
}

// What goes into the lanes and what does not: a saturator joins only behind what the
// chain gathered last, running one channel, and two in a row only when nothing else
// reads the first one's output. Handed on, its input is never written.
TEST(SaturatorLanes, OnlyASaturatorOnTheLastOutputRunningOneChannelJoins) {
    std::mt19937 rng(7);
    auto filter = shelf(rng, 3);
    auto mono = saturator(0), second = saturator(1), third = saturator(2);
    std::vector<float> in(64, 0.25f), a(64, 1.0f), b(64, 2.0f), c(64, 3.0f), d(64, 4.0f);
    {
        CascadeChain chain(64);
        EXPECT_FALSE(chain.addSaturator(*mono, in.data(), b.data())) << "nothing gathered";
        chain.add(filter->params, in.data(), a.data());
        EXPECT_FALSE(chain.addSaturator(*mono, in.data(), b.data())) << "reads another buffer";
        EXPECT_TRUE(chain.addSaturator(*mono, a.data(), b.data(), true));
        EXPECT_FALSE(chain.addSaturator(*second, b.data(), c.data(), false))
            << "the first one's output is read elsewhere";
        EXPECT_TRUE(chain.addSaturator(*second, b.data(), c.data(), true));
        EXPECT_FALSE(chain.addSaturator(*third, c.data(), b.data(), true)) << "a row holds two";
        chain.add(filter->params, c.data(), d.data());
    }
    EXPECT_EQ(a, std::vector<float>(64, 1.0f)) << "handed on in the lanes";
    EXPECT_EQ(b, std::vector<float>(64, 2.0f)) << "handed on within the row";
    EXPECT_NE(c, std::vector<float>(64, 3.0f)) << "the last one's output is written";
    EXPECT_NE(d, std::vector<float>(64, 4.0f));

    // A saturator the host connected a second channel to runs as its own block.
    auto stereo = std::make_unique<QrSaturator>(
        [](AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) -> intptr_t {
            return opcode == kHostIsPinConnected ? 0 : 0; // every pin connected
        });
    CascadeChain chain(64);
    chain.add(filter->params, in.data(), a.data());
    EXPECT_FALSE(chain.addSaturator(*stereo, a.data(), b.data()));
    CascadeChain left(64), right(64);
    left.pairWith(right);
    left.add(filter->params, in.data(), a.data());
    EXPECT_FALSE(left.addSaturator(*mono, a.data(), b.data())) << "paired chains stay apart";
}

} // namespace
