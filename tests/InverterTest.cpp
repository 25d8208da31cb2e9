// The inverter building block, measured on audio.
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using Buffer = std::vector<float>;

int gCalls = 0;
intptr_t allConnected(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
    ++gCalls;
    return 0;
}

Buffer tone() {
    Buffer b(256);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<float>(0.7 * std::sin(0.05 * static_cast<double>(i)));
    return b;
}

TEST(Inverter, ReplacingFlipsTheSignBitOnConnectedChannels) {
    Buffer x = tone(), zeros(256, 0.0f), out0(256, 5.0f), out1(256, 5.0f), io = x;
    QrInv one(masterCallback); // second input not connected
    float* ins[2] = {zeros.data(), x.data()};
    float* outs[2] = {out0.data(), out1.data()};
    one.processReplacing(ins, outs, 256);
    for (float v : out0)
        ASSERT_TRUE(v == 0.0f && std::signbit(v));
    EXPECT_EQ(out1, Buffer(256, 5.0f));

    QrInv both(allConnected);
    ins[0] = outs[0] = io.data(); // in place
    both.processReplacing(ins, outs, 256);
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_EQ(io[i], -x[i]) << i;
        ASSERT_EQ(out1[i], -x[i]) << i;
    }
}

TEST(Inverter, ProcessSubtractsTheInputFromTheOutput) {
    Buffer x = tone(), same = x;
    QrInv inv(masterCallback);
    float *in = x.data(), *out = same.data();
    inv.process(&in, &out, 256);
    EXPECT_EQ(same, Buffer(256, 0.0f));
}

TEST(Inverter, ParametersDoNothingAndNamesAreBounded) {
    QrInv inv(allConnected);
    gCalls = 0;
    inv.setParameter(0, 0.7f);
    EXPECT_EQ(inv.getParameter(0), 0.0f);
    EXPECT_EQ(gCalls, 0); // no automation sent
    char text[kTextSize] = "kept";
    inv.getParameterName(0, text);
    inv.getParameterDisplay(0, text);
    EXPECT_STREQ(text, "kept");
    inv.getParameterLabel(0, text);
    EXPECT_STREQ(text, "");
    char longName[] = "a program name well beyond thirty-one characters";
    inv.setProgramName(longName);
    inv.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(longName, kTextSize - 1));
}

} // namespace
