// The clipper, delay, mixer and averager loops against plain per-sample loops
// written here: random input in blocks of 1, 7, 64, 512 and 4096 frames, state
// carried across blocks, two channels where the block has them (the second in
// place). Bit for bit.
#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "graph/AveragerAN.h"
#include "graph/MixerAudioNode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using Buffer = std::vector<float>;
constexpr int kBlocks[] = {1, 7, 64, 512, 4096};
constexpr int kTotal = 3 * 4096 + 5; // frames per case: several wraps of every ring

// Every pin connected: the two-channel blocks run both channels.
intptr_t allConnected(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
    return 0;
}

Buffer noise(unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    Buffer b(kTotal);
    for (float& x : b)
        x = d(gen);
    return b;
}

bool sameBits(const Buffer& a, const Buffer& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Runs `process(offset, frames)` over kTotal frames in blocks of `block`.
template <typename F> void inBlocks(int block, F process) {
    for (int at = 0; at < kTotal; at += block)
        process(at, std::min(block, kTotal - at));
}

// Runs `fx` over kTotal frames in blocks of `block`: channel 0 from `in0` into `out0`,
// channel 1 in place in `io1`; adding to the outputs when `add`.
void runPair(AudioEffectX& fx, bool add, int block, const Buffer& in0, Buffer& out0, Buffer& io1) {
    inBlocks(block, [&](int at, int n) {
        float* ins[2] = {const_cast<float*>(in0.data()) + at, io1.data() + at};
        float* outs[2] = {out0.data() + at, io1.data() + at};
        add ? fx.process(ins, outs, n) : fx.processReplacing(ins, outs, n);
    });
}

TEST(BlockLoops, ClipperMatchesThePerSampleDetector) {
    const float rate = 44100.0f;
    for (float ms : {0.0f, 0.05f, 1.0f, 2.2f}) // hard clip; windows of 2, 44 and 97
        for (bool add : {false, true})
            for (int block : kBlocks) {
                QrClipper clip(allConnected);
                clip.setSampleRate(rate);
                const float p[] = {0.09f, 0.3f, 0.2f, 0.07f, ms};
                for (int i = 0; i < QrClipper::kNumParams; ++i)
                    clip.setParameter(i, p[i]);
                const Buffer in0 = noise(1), in1 = noise(2), start0 = noise(5);
                Buffer out0 = start0, io1 = in1;
                runPair(clip, add, block, in0, out0, io1);
                // The reference: one detector shared by both channels, channel 0 first;
                // channel 1 runs in place.
                const float pre = 16.0f * p[0], post = 16.0f * p[3], pos = p[1], neg = -p[2];
                const float t = ms / 1000.0f * rate;
                const int len = t > 0.0f ? static_cast<int>(t) : 0;
                float ring[QrClipper::kMaxWindow] = {}, sum = 0.0f;
                int index = 0;
                Buffer want0(kTotal), want1(kTotal);
                inBlocks(block, [&](int at, int n) {
                    for (int c = 0; c < 2; ++c)
                        for (int i = at; i < at + n; ++i) {
                            const float x = pre * (c ? in1[i] : in0[i]);
                            float y;
                            if (len > 1) {
                                sum = sum - ring[index];
                                ring[index] = x > 0.0f ? x : -x;
                                sum = sum + ring[index];
                                index = index + 1 >= len ? 0 : index + 1;
                                const float m = sum / static_cast<float>(len);
                                y = m > pos ? x / m * pos : x;
                            } else {
                                y = x > pos ? pos : (neg > x ? neg : x);
                            }
                            const float before = c ? in1[i] : start0[i];
                            (c ? want1 : want0)[i] = add ? before + post * y : post * y;
                        }
                });
                EXPECT_TRUE(sameBits(out0, want0) && sameBits(io1, want1))
                    << ms << " ms, " << (add ? "adding, " : "replacing, ") << block;
            }
}

TEST(BlockLoops, DelayMatchesThePerSampleLine) {
    for (float control : {0.0f, 0.001f, 0.05f, 0.5f}) // 1, 8, 441 and 4410 samples at 44.1 kHz
        for (bool add : {false, true})
            for (int block : kBlocks) {
                ADelay d(allConnected);
                d.setSampleRate(44100.0f);
                d.setDelay(control);
                const int len = std::max(d.getDelaySamples(), 1);
                const Buffer in0 = noise(3), in1 = noise(4);
                const Buffer start0 = noise(5);
                Buffer out0 = start0, io1 = in1;
                runPair(d, add, block, in0, out0, io1);
                Buffer want0(kTotal), want1(kTotal);
                for (int c = 0; c < 2; ++c) {
                    const Buffer& in = c ? in1 : in0;
                    Buffer& want = c ? want1 : want0;
                    Buffer line(static_cast<size_t>(len), 0.0f);
                    for (int i = 0, pos = 0; i < kTotal; ++i, pos = pos + 1 < len ? pos + 1 : 0) {
                        const float before = c ? in1[i] : start0[i]; // channel 1 runs in place
                        want[i] = add ? before + line[pos] : line[pos];
                        line[pos] = in[i];
                    }
                }
                EXPECT_TRUE(sameBits(out0, want0) && sameBits(io1, want1))
                    << control << (add ? " adding, " : " replacing, ") << block;
            }
}

TEST(BlockLoops, MixerAndAveragerMatchPlainLoops) {
    for (int block : kBlocks)
        for (bool inPlace : {false, true}) {
            Buffer a = noise(6), b = noise(7), out(kTotal);
            const Buffer a0 = a;
            float* lists[3][1] = {{nullptr}, {nullptr}, {nullptr}};
            float** table[3] = {lists[0], lists[1], lists[2]};
            AudioNode na, nb;
            na.outBuffer = 0;
            nb.outBuffer = 1;
            MixerAudioNode mix;
            mix.input = &na;
            mix.input2 = &nb;
            mix.outBuffer = inPlace ? 0 : 2;
            mix.params = {{0.7f, nullptr, 0, 0}, {-1.3f, nullptr, 0, 1}};
            AveragerAN avg;
            avg.input = &na;
            avg.params = {{97.0f, nullptr, 0, 0}}; // the window, in samples
            float ring[97] = {};
            double sum = 0.0;
            int pos = 0;
            inBlocks(block, [&](int at, int n) {
                lists[0][0] = a.data() + at;
                lists[1][0] = b.data() + at;
                lists[2][0] = out.data() + at;
                avg.process(table, n);
                for (int i = at; i < at + n; ++i) {
                    pos = pos + 1 == 97 ? 0 : pos + 1;
                    sum -= ring[pos];
                    ring[pos] = std::fabs(a[i]);
                    sum += ring[pos];
                }
                ASSERT_EQ(avg.sum, sum) << block;
                mix.process(table, n);
            });
            Buffer want(kTotal);
            for (int i = 0; i < kTotal; ++i)
                want[i] = 0.7f * a0[i] + -1.3f * b[i];
            EXPECT_TRUE(sameBits(inPlace ? a : out, want)) << block << (inPlace ? " in place" : "");
        }
}

} // namespace
