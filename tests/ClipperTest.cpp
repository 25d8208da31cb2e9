// The clipper building block, measured on audio where the behaviour shows there.
#include "blocks/QrClipper.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using P = QrClipper::Param;

// One block through processReplacing.
Buffer run(QrClipper& c, const Buffer& in) {
    Buffer out(in.size(), 0.25f);
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    c.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
    return out;
}

std::string display(QrClipper& c, int32_t index) {
    char text[kTextSize] = "";
    c.getParameterDisplay(index, text);
    return text;
}

// Sets parameters from index 0 on: pre-gain, clip positive, clip negative, post-gain, time.
void set(QrClipper& c, std::initializer_list<float> values) {
    int32_t index = 0;
    for (float v : values)
        c.setParameter(index++, v);
}

// The averaging window as it shows on audio, 0 for hard clipping. At unity gains and
// levels +0.5 / -0.25, a fresh detector fed -1 hard-clips to -0.25 at once; a window of
// L samples holds the mean at k/L after k samples and first gives exactly -0.5 at L.
int32_t measuredWindow(QrClipper& c) {
    set(c, {0.0625f, 0.5f, 0.25f, 0.0625f}); // the window stays as it is
    const Buffer out = run(c, Buffer(300, -1.0f));
    if (out == Buffer(300, -0.25f))
        return 0;
    const auto at = std::find(out.begin(), out.end(), -0.5f);
    return at == out.end() ? -1 : static_cast<int32_t>(at - out.begin() + 1);
}

TEST(Clipper, HardClipIsStrictChecksThePositiveLevelFirstAndAppliesBothGains) {
    QrClipper c(masterCallback); // unity gains, levels +-0.5
    EXPECT_EQ(run(c, {0.7f, 0.5f, -0.5f, -0.9f, 0.25f}), Buffer({0.5f, 0.5f, -0.5f, -0.5f, 0.25f}));
    set(c, {0.125f, 0.25f, 0.75f, 0.1875f, 0.0f}); // x2 in, x3 out
    EXPECT_EQ(run(c, {0.1f, 0.2f, -0.25f, -0.5f}), Buffer({0.6f, 0.75f, -1.5f, -2.25f}));
    // Levels of zero tell > from >= by the sign of a zero sample: -0 is not above +0 and
    // passes as -0 (>= would give the level, +0); likewise +0 against -clipNeg = -0.
    set(c, {0.0625f, 0.0f, 0.0f, 0.0625f, 0.0f});
    const Buffer zeros = run(c, {-0.0f, 0.0f});
    EXPECT_TRUE(std::signbit(zeros[0]) && !std::signbit(zeros[1]));
    // Crossed levels (-clipNeg = 0.3 above clipPos = 0.1): above 0.1 gives 0.1.
    set(c, {0.0625f, 0.1f, -0.3f, 0.0625f, 0.0f});
    EXPECT_EQ(run(c, {0.2f, 0.05f, -1.0f}), Buffer({0.1f, 0.3f, 0.3f}));
}

TEST(Clipper, AveragingComparisonIsStrict) {
    // A window of 2 whose mean lands exactly on the level: the samples pass as they are,
    // where scaling the second by level / mean would change it.
    QrClipper c(masterCallback);
    c.setSampleRate(2000.0f);
    set(c, {0.0625f, 0.7f, 0.5f, 0.0625f, 1.0f}); // 2 samples
    EXPECT_EQ(run(c, {1.352f, 0.048f}), Buffer({1.352f, 0.048f}));
}

TEST(Clipper, WindowLengthsOnAudioAndInTheDisplay) {
    // Sample rate, time, window as measured (0 for hard clipping), display. Windows of 0 or
    // 1 sample hard-clip; 100 or more, NaN included, give exactly 100; negative times 0.
    const std::tuple<float, float, int32_t, const char*> cases[] = {
        {44100, 0.0f, 0, "0.00 ms"},   {44100, 0.03f, 0, "0.02 ms"},  // 1.32: one sample
        {44100, 0.06f, 2, "0.05 ms"},  {44100, 2.26f, 99, "2.24 ms"}, // cut, not rounded
        {44100, 3.0f, 100, "2.27 ms"}, {48000, 1e6f, 100, "2.08 ms"}, // 132 and more
        {44100, NAN, 100, "2.27 ms"},  {44100, -1.0f, 0, "0.00 ms"},
    };
    for (auto [rate, value, window, text] : cases) {
        QrClipper c(masterCallback);
        c.setSampleRate(rate);
        c.setParameter(P::kAverageTime, value);
        EXPECT_EQ(display(c, P::kAverageTime), text) << value << " at " << rate;
        EXPECT_EQ(measuredWindow(c), window) << value << " at " << rate;
    }
}

TEST(Clipper, WindowIsFixedWhenSetAndRestartsItsPositionWhenShrunk) {
    // The write position at 30 is beyond a new window of 22: it restarts at 0, so no
    // magnitude from outside the window stays in the sum and a constant still settles.
    QrClipper c(masterCallback);
    c.setParameter(P::kAverageTime, 1.2f); // 52 samples
    run(c, Buffer(30, 1.0f));
    c.setParameter(P::kAverageTime, 0.5f); // 22 samples
    EXPECT_EQ(display(c, P::kAverageTime), "0.50 ms");
    EXPECT_EQ(measuredWindow(c), 22);
    EXPECT_EQ(run(c, Buffer(100, 1.0f)), Buffer(100, 0.5f));
    // A later sample-rate change leaves the window at 22 samples, now shown as 0.46 ms.
    c.getAeffect()->dispatcher(c.getAeffect(), 10, 0, 0, nullptr, 48000.0f);
    EXPECT_EQ(display(c, P::kAverageTime), "0.46 ms");
}

TEST(Clipper, IdentityAndTextsStayWithinTheirBuffers) {
    // The clipper in a larger block whose bytes after the object must stay as they were.
    alignas(QrClipper) unsigned char block[sizeof(QrClipper) + 64];
    std::memset(block, 0xA5, sizeof(block));
    auto* c = new (block) QrClipper(masterCallback);
    char text[kTextSize];
    std::string name(200, 'n');
    c->setProgramName(name.data());
    c->getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(31, 'n'));
    // Huge values keep every display within the text buffer.
    set(*c, {1e37f, -3e38f, 1.0f, 1.0f, 100.0f});
    c->setSampleRate(1e-30f);
    for (int32_t index = 0; index < 5; ++index) {
        char wide[2 * kTextSize];
        std::memset(wide, '#', sizeof(wide));
        c->getParameterDisplay(index, wide);
        EXPECT_EQ(std::string(wide + kTextSize, kTextSize), std::string(kTextSize, '#'));
    }
    c->~QrClipper();
    for (size_t n = sizeof(QrClipper); n < sizeof(block); ++n)
        ASSERT_EQ(block[n], 0xA5) << n - sizeof(QrClipper);
}

} // namespace
