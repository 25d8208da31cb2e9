// Value-to-text operations: every text the effects show on a display.
#include "effect/AudioEffectX.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

class TextEffect : public AudioEffectX {
  public:
    TextEffect() : AudioEffectX(nullptr, 1, 0) {}
    void process(float**, float**, int32_t) override {}
};

// An effect that shows every number as "n"; the unit conversions must go through it.
class OverridingEffect : public TextEffect {
  public:
    void float2string(float, char* text) override { std::strcpy(text, "n"); }
};

struct Case {
    float value;
    const char* text;
};

TEST(ValueText, FloatTruncatesToEightCharactersAndLongIsRightAlignedAndCut) {
    const Case cases[] = {
        {0.0f, "0.000000"},
        {0.5f, "0.500000"},
        {12.25f, "12.25000"},
        {100.0f, "100.0000"},
        {1234567.0f, "1234567."},
        {-1.5f, "-1.50000"},
        {-123456.0f, "-123456."},
        {134217728.0f, "Huge!"},
        {-0.0f, "0.000000"},
        {2.0f / 3.0f, "0.666666"},
        {9999999.0f, "9999999."},
        {-999999.0f, "-999999."},
        // Integer parts too long to show whole are "Huge!", never a number missing its
        // leading digits.
        {12345678.0f, "Huge!"},
        {99999999.0f, "Huge!"},
        {-1000000.0f, "Huge!"},
        {-9999999.0f, "Huge!"},
        {std::numeric_limits<float>::infinity(), "Huge!"},
        {-std::numeric_limits<float>::infinity(), "Huge!"},
        {std::numeric_limits<float>::quiet_NaN(), "NaN"},
    };
    TextEffect fx;
    char text[kTextSize];
    for (const Case& c : cases) {
        fx.float2string(c.value, text);
        EXPECT_STREQ(text, c.text) << "value " << c.value;
    }
    // Whole numbers are right-aligned and cut.
    const std::pair<int32_t, const char*> longs[] = {
        {5, "      5"},       {-5, "     -5"},          {99999999, "99999999"},
        {100000000, "Huge!"}, {-123456789, "-1234567"}, {INT32_MIN, "-2147483"},
    };
    for (auto& [value, expected] : longs) {
        fx.long2string(value, text);
        EXPECT_STREQ(text, expected) << "value " << value;
    }
}

// Each unit conversion, on the plain effect and on one whose float text is "n"
// (the conversions must go through the virtual float text).
TEST(ValueText, UnitConversionsGoThroughTheVirtualFloatText) {
    using Convert = void (AudioEffectX::*)(float, char*);
    const struct {
        Convert convert;
        float rate, value;
        const char* text;
    } cases[] = {
        {&AudioEffectX::dB2string, 44100.0f, 1.0f, "0.000000"},
        {&AudioEffectX::dB2string, 44100.0f, 2.0f, "6.020599"},
        {&AudioEffectX::dB2string, 44100.0f, 0.5f, "-6.02059"},
        {&AudioEffectX::dB2string, 44100.0f, 0.0f, "-oo"},
        {&AudioEffectX::dB2string, 44100.0f, -3.0f, "-oo"},
        {&AudioEffectX::Hz2string, 44100.0f, 0.0f, "0.000000"},
        {&AudioEffectX::Hz2string, 44100.0f, 100.0f, "441.0000"},
        {&AudioEffectX::ms2string, 44100.0f, 44100.0f, "1000.000"},
        {&AudioEffectX::ms2string, 48000.0f, 24.0f, "0.500000"},
    };
    for (const auto& c : cases) {
        TextEffect fx;
        OverridingEffect overriding;
        char text[kTextSize];
        fx.setSampleRate(c.rate);
        (fx.*c.convert)(c.value, text);
        EXPECT_STREQ(text, c.text) << "value " << c.value;
        if (std::strcmp(c.text, "-oo") != 0) {
            (overriding.*c.convert)(c.value, text);
            EXPECT_STREQ(text, "n") << "value " << c.value;
        }
    }
}

} // namespace
