// The delay building block, measured on audio.
#include "blocks/ADelay.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

using Buffer = std::vector<float>;
const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Reports every pin connected (so two channels run) and counts automation calls.
int gAutomated = 0;
intptr_t allConnected(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    gAutomated += opcode == 0;
    return 0;
}

// Frames from an impulse at the input to its arrival at the output, on a fresh effect.
int32_t measuredDelay(float rate, float control) {
    ADelay d(masterCallback);
    d.setSampleRate(rate);
    d.setParameter(0, control);
    Buffer in(ADelay::kBufferSize + 10, 0.0f), out(in.size(), 0.0f);
    in[0] = 1.0f;
    float *i = in.data(), *o = out.data();
    d.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
    for (size_t n = 0; n < out.size(); ++n)
        if (out[n] != 0.0f)
            return static_cast<int32_t>(n);
    return -1;
}

TEST(Delay, LengthFollowsControlAndRateWithinTheLines) {
    EXPECT_EQ(measuredDelay(44100.0f, 0.5f), 4410);
    EXPECT_EQ(measuredDelay(44100.0f, 1.0f), 8820);
    EXPECT_EQ(measuredDelay(96000.0f, 1.0f), 19200);
    EXPECT_EQ(measuredDelay(384000.0f, 1.0f), ADelay::kBufferSize); // bounded
    EXPECT_EQ(measuredDelay(44100.0f, 5.0f), ADelay::kBufferSize);
    // Lengths 0 and 1 are one sample: the output is never the current input.
    for (float v : {0.0f, 1.0f / 8820.0f, -0.5f, kNan})
        EXPECT_EQ(measuredDelay(44100.0f, v), 1) << v;

    // Rate and control changes in either order keep the length within the lines; a
    // full line of two-channel audio after each one stays inside them (sanitizers).
    ADelay d(allConnected);
    Buffer a(ADelay::kBufferSize + 3, 0.25f), b(a.size());
    float* ins[2] = {a.data(), a.data()};
    float* outs[2] = {b.data(), b.data()};
    for (float rate : {-44100.0f, 0.0f, 8000.0f, 200001.0f, 1e30f, kInf, kNan})
        for (float v : {-1.0f, 0.5f, 1.0f, 7.0f, kInf, -kInf, kNan}) {
            d.setParameter(0, v);
            d.setSampleRate(rate);
            ASSERT_GE(d.getDelaySamples(), 0) << rate << " " << v;
            ASSERT_LE(d.getDelaySamples(), ADelay::kBufferSize) << rate << " " << v;
            d.processReplacing(ins, outs, static_cast<int32_t>(a.size()));
        }
}

TEST(Delay, ProcessAddsReplacingOverwritesOneChannelByDefault) {
    Buffer in(64), other(64, 3.0f);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.5f + static_cast<float>(i);
    for (bool add : {false, true}) {
        ADelay d(masterCallback); // second input not connected
        d.setSampleRate(1000.0f);
        d.setDelay(0.02f); // 4 samples
        Buffer out(64, 10.0f);
        float* ins[2] = {in.data(), in.data()};
        float* outs[2] = {out.data(), other.data()};
        add ? d.process(ins, outs, 64) : d.processReplacing(ins, outs, 64);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], (add ? 10.0f : 0.0f) + (i >= 4 ? in[i - 4] : 0.0f)) << add << i;
        EXPECT_EQ(other, Buffer(64, 3.0f));
    }
}

TEST(Delay, ChannelsShareOnePositionAcrossBlocksAndWorkInPlace) {
    ADelay d(allConnected);
    d.setSampleRate(1000.0f);
    d.setParameter(0, 0.5f); // 100 samples
    const size_t total = 700;
    Buffer in0(total), in1(total), out0(total), io1(total);
    for (size_t i = 0; i < total; ++i) {
        in0[i] = static_cast<float>(i + 1);
        in1[i] = io1[i] = -static_cast<float>(i + 1);
    }
    // Channel 1 runs in place; blocks of 70 frames do not divide the length.
    for (size_t at = 0; at < total; at += 70) {
        float* ins[2] = {in0.data() + at, io1.data() + at};
        float* outs[2] = {out0.data() + at, io1.data() + at};
        d.processReplacing(ins, outs, 70);
    }
    for (size_t i = 0; i < total; ++i) {
        ASSERT_EQ(out0[i], i < 100 ? 0.0f : in0[i - 100]) << i;
        ASSERT_EQ(io1[i], i < 100 ? 0.0f : in1[i - 100]) << i;
    }
    d.resume(); // clears both lines
    Buffer silence(total, 0.0f);
    float* ins[2] = {silence.data(), silence.data()};
    float* outs[2] = {out0.data(), io1.data()};
    d.processReplacing(ins, outs, static_cast<int32_t>(total));
    EXPECT_EQ(out0, silence);
    EXPECT_EQ(io1, silence);
}

TEST(Delay, ProgramsKeepTheirControlsAndBadNumbersChangeNothing) {
    ADelay d(masterCallback);
    char text[kTextSize];
    for (int32_t p = 0; p < ADelay::kNumPrograms; ++p) {
        d.setProgram(p);
        d.getProgramName(text);
        EXPECT_EQ(std::string(text), "Init " + std::to_string(p + 1));
        ASSERT_TRUE(d.getProgramNameIndexed(0, p, text));
        EXPECT_STREQ(text, "Init");
    }
    EXPECT_FALSE(d.getProgramNameIndexed(0, -1, text));
    EXPECT_FALSE(d.getProgramNameIndexed(0, 16, text));

    d.setProgram(3);
    d.setParameter(0, 0.25f);
    d.setProgram(0);
    EXPECT_EQ(d.getDelaySamples(), 4410);
    d.setProgram(3);
    for (int32_t bad : {-1, 16, 1 << 30})
        d.setProgram(bad);
    EXPECT_EQ(d.getProgram(), 3);
    EXPECT_EQ(d.getDelaySamples(), 2205);

    char longName[] = "a name far longer than twenty-three characters", init[] = "Init";
    d.setProgramName(longName);
    d.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(longName, 23));
    d.setProgramName(init);
    d.getProgramName(text);
    EXPECT_STREQ(text, "Init 4");
}

TEST(Delay, TextsTypedValuesAndHostNotes) {
    gAutomated = 0;
    ADelay d(allConnected);
    EXPECT_EQ(gAutomated, 3); // the first program's three controls
    const char* expected[4][3] = {{"Delay", "100.0000", "ms"},
                                  {"FeedBack", "0.500000", "amount"},
                                  {"Volume", "-2.49877", "dB"},
                                  {"kept", "kept", "kept"}};
    char text[kTextSize];
    for (int32_t i = 0; i < 4; ++i) {
        std::snprintf(text, sizeof(text), "kept");
        d.getParameterName(i, text);
        EXPECT_STREQ(text, expected[i][0]);
        d.getParameterDisplay(i, text);
        EXPECT_STREQ(text, expected[i][1]);
        d.getParameterLabel(i, text);
        EXPECT_STREQ(text, expected[i][2]);
    }
    char ms[] = "50 ms", words[] = "ms 50";
    EXPECT_TRUE(d.string2parameter(0, ms));
    EXPECT_FALSE(d.string2parameter(0, words));
    EXPECT_TRUE(d.string2parameter(0, nullptr));
    EXPECT_EQ(d.getParameter(0), 0.25f);
    d.setDelay(0.1f);
    d.setParameter(9, 0.1f);
    EXPECT_EQ(gAutomated, 5); // string2parameter once, index 9 once, setDelay never

    ADelay quiet(nullptr); // no host to tell
    quiet.setParameter(0, 1.0f);
    EXPECT_EQ(quiet.getDelaySamples(), 8820);
}

} // namespace
