// The inverter building block, measured on audio.
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using Buffer = std::vector<float>;

TEST(Inverter, FlipsTheSignBitSubtractsWhenAddingAndIgnoresParameters) {
    Buffer x(256), io(256), other(256, 5.0f);
    for (size_t i = 0; i < x.size(); ++i)
        io[i] = x[i] = static_cast<float>(0.7 * std::sin(0.05 * static_cast<double>(i)));
    QrInv inv(masterCallback); // second input not connected: channel 1 is left alone
    float* ins[2] = {io.data(), x.data()};
    float* outs[2] = {io.data(), other.data()};
    inv.processReplacing(ins, outs, 256); // in place
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(io[i], -x[i]) << i;
    EXPECT_TRUE(std::signbit(io[0])); // x[0] is +0: a zero comes out as -0
    EXPECT_EQ(other, Buffer(256, 5.0f));
    // process subtracts the input from the output: on a copy of the input, zeros.
    io = x;
    ins[0] = x.data();
    inv.process(ins, outs, 256);
    EXPECT_EQ(io, Buffer(256, 0.0f));

    inv.setParameter(0, 0.7f); // changes nothing
    EXPECT_EQ(inv.getParameter(0), 0.0f);
    std::string name(100, 'n'); // cut to the 31 characters the program name holds
    char text[kTextSize];
    inv.setProgramName(name.data());
    inv.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(kTextSize - 1, 'n'));
}

} // namespace
