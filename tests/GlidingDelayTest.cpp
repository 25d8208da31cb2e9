// The delay that lines an oversampling change's two lanes up: whole-sample delays
// read their samples exactly, a glide plays the signal time-warped as the glide
// says (within -60 dB of the exact warp on a 1 kHz tone, through the linear stretch
// under one sample too), and a glide starting from no delay reads what went out
// before it.
#include "blocks/GlidingDelay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr double kRate = 44100.0;

double tone(double at) {
    return 0.5 * std::sin(2.0 * M_PI * 1000.0 * at / kRate);
}

TEST(GlidingDelay, WholeDelaysAreExactAndAGlideWarpsTime) {
    for (int whole = 0; whole <= 5; ++whole) {
        GlidingDelay d;
        d.reset(static_cast<float>(whole));
        std::vector<float> x(64);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(i + 1);
        d.process(x.data(), 64, static_cast<float>(whole), 0.01f);
        for (size_t i = 0; i < x.size(); ++i)
            EXPECT_EQ(x[i], i < static_cast<size_t>(whole) ? 0.0f : float(i + 1 - whole)) << i;
    }
    // Up from none to 5 samples and back down, 0.01 of a sample a sample, as the
    // engine glides; what went out before the glide was remembered.
    for (const auto& [from, to] : {std::pair<float, float>{0.0f, 5.0f}, {5.0f, 0.0f}}) {
        SCOPED_TRACE(testing::Message() << from << " to " << to);
        constexpr int kBefore = 400, kLength = 1200;
        std::vector<float> before(kBefore), x(kLength);
        for (int i = 0; i < kBefore; ++i)
            before[static_cast<size_t>(i)] = static_cast<float>(tone(i));
        for (int i = 0; i < kLength; ++i)
            x[static_cast<size_t>(i)] = static_cast<float>(tone(kBefore + i));
        GlidingDelay d;
        d.reset(from);
        if (from == 0.0f)
            d.remember(before.data(), kBefore);
        else
            d.process(before.data(), kBefore, from, 0.01f);
        for (int at = 0; at < kLength; at += 100) // in calls of 100
            d.process(x.data() + at, 100, to, 0.01f);
        EXPECT_EQ(d.delay(), to);
        double error = 0.0, power = 0.0;
        for (int i = 0; i < kLength; ++i) {
            const double step = 0.01 * (i + 1);
            const double delay =
                from < to ? std::min<double>(to, from + step) : std::max<double>(to, from - step);
            const double want = tone(kBefore + i - delay);
            error += (x[static_cast<size_t>(i)] - want) * (x[static_cast<size_t>(i)] - want);
            power += want * want;
        }
        EXPECT_LT(10.0 * std::log10(error / power), -60.0);
    }
}

} // namespace
