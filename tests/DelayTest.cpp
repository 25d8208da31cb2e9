// The delay building block, measured on audio.
#include "blocks/ADelay.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Buffer = std::vector<float>;

// Frames from an impulse at the input to its arrival at the output, on a fresh effect.
int32_t measuredDelay(float rate, float control) {
    ADelay d(masterCallback);
    d.setSampleRate(rate);
    d.setParameter(0, control);
    EXPECT_TRUE(d.getDelaySamples() >= 0 && d.getDelaySamples() <= ADelay::kBufferSize);
    Buffer in(ADelay::kBufferSize + 10, 0.0f), silence(in.size(), 0.0f), out(in.size(), 0.0f);
    in[0] = 1.0f;
    // The second input is not connected, so only channel 0 runs: a second channel would
    // write its silence over the same output.
    float* ins[2] = {in.data(), silence.data()};
    float* outs[2] = {out.data(), out.data()};
    d.processReplacing(ins, outs, static_cast<int32_t>(in.size()));
    return static_cast<int32_t>(std::find(out.begin(), out.end(), 1.0f) - out.begin());
}

TEST(Delay, LengthFollowsControlAndRateWithinTheLines) {
    // Rate, control, delay. Lengths 0 and 1 are one sample: the output is never the current
    // input. High rates, controls above 1, negative controls and NaN stay within the lines.
    const int32_t full = ADelay::kBufferSize;
    const std::tuple<float, float, int32_t> cases[] = {
        {44100, 1.0f, 8820}, {96000, 1.0f, 19200},    {44100, 5.0f, full}, {384000, 1.0f, full},
        {44100, 0.0f, 1},    {44100, 1.0f / 8820, 1}, {44100, -0.5f, 1},   {44100, NAN, 1},
    };
    for (auto [rate, control, samples] : cases)
        EXPECT_EQ(measuredDelay(rate, control), samples) << control << " at " << rate;
    // A rate change after the control bounds the length too.
    ADelay d(masterCallback);
    d.setParameter(0, 1.0f);
    d.setSampleRate(384000.0f);
    EXPECT_EQ(d.getDelaySamples(), full);
}

TEST(Delay, ProgramNamesNumbersAndTypedValuesStayInRange) {
    ADelay d(masterCallback);
    char text[kTextSize];
    std::string longName(100, 'x'); // cut to the 23 characters a program name holds
    d.setProgramName(longName.data());
    d.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(23, 'x'));
    d.setProgram(3);
    for (int32_t bad : {-1, 16, 1 << 30})
        d.setProgram(bad);
    EXPECT_EQ(d.getProgram(), 3);
    d.setParameter(0, 0.1f);
    char hundred[] = "100", words[] = "ms 50";
    EXPECT_TRUE(d.string2parameter(0, hundred)); // 100 ms
    EXPECT_FALSE(d.string2parameter(0, words));  // leaves the control as it was
    EXPECT_EQ(d.getParameter(0), 0.5f);
}

} // namespace
