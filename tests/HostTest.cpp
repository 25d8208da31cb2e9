// The plug-in as a host meets it: its shared object loaded with dlopen, the unit
// opened through quorleEntry and driven only through the client functions.
#include "ArchiveTestUtil.h"

#include "au/quorleIds.h"
#include "main/VorlixMac.h"
#include "tools/PluginHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numeric>

namespace {

namespace fs = std::filesystem;

std::vector<float> tone(double hz, double rate, size_t n, float amplitude = 0.3f) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * i / rate));
    return v;
}

testing::AssertionResult loaded(PluginHost& host, const std::string& dir = QUORLE_BUNDLE_DIR) {
    std::string error;
    return host.load(dir, error) ? testing::AssertionSuccess()
                                 : testing::AssertionFailure() << error;
}

template <class T>
OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID id, T& value, UInt32 element = 0,
                     AudioUnitScope scope = kAudioUnitScope_Global) {
    UInt32 size = sizeof(value);
    return AudioUnitGetProperty(unit, id, scope, element, &value, &size);
}

// Renders `in` (one channel) in blocks; the status of the first failing render.
OSStatus renderAll(PluginHost& host, const std::vector<float>& in, std::vector<float>& out,
                   UInt32 block = 512) {
    out.assign(in.size(), 0.0f);
    for (size_t at = 0; at < in.size(); at += block) {
        UInt32 frames = static_cast<UInt32>(std::min<size_t>(block, in.size() - at));
        const float* i = in.data() + at;
        float* o = out.data() + at;
        if (OSStatus status = host.render(&i, &o, frames))
            return status;
    }
    return noErr;
}

// Renders `in` in 512-frame blocks through a main effect of `dir` driven directly,
// with parameters 0, 1, ... set to `params` after init.
std::vector<float> renderDirect(const std::string& dir, float rate,
                                const std::vector<float>& params, const std::vector<float>& in) {
    gFxDir = dir + "/";
    VorlixMac fx;
    fx.setSampleRate(rate);
    fx.init();
    fx.dispatcher(10, 0, 0, nullptr, rate);
    for (size_t p = 0; p < params.size(); ++p)
        fx.setParameter(static_cast<int32_t>(p), params[p]);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 512) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = out.data() + at;
        fx.process(&i, &o, static_cast<int32_t>(std::min<size_t>(512, in.size() - at)));
    }
    return out;
}

// A bundle of the built plug-in with an archive of our own.
struct CustomBundle {
    PluginDir dir;
    explicit CustomBundle(const std::map<std::string, std::string>& entries) {
        fs::copy_file(fs::path(QUORLE_BUNDLE_DIR) / kQuorleLibraryName,
                      fs::path(dir.path) / kQuorleLibraryName);
        dir.archive("quorle.data", entries);
    }
};

const char* kTwoModels[] = {R"(<quorle><fx id="c" type="eq"/></quorle>)",
                            R"(<quorle><fx id="d" type="inv"/></quorle>)"};

TEST(Host, OpensWithItsParametersVersionAndDirectory) {
    PluginHost host;
    ASSERT_TRUE(loaded(host));
    AudioUnit unit = host.unit();
    for (UInt32 id = 0; id < 4; ++id) {
        float v = -1.0f;
        EXPECT_EQ(AudioUnitGetParameter(unit, id, kAudioUnitScope_Global, 0, &v), noErr);
        EXPECT_EQ(v, id == 3 ? 0.0f : 0.5f);
    }
    EXPECT_EQ(GetComponentVersion(unit), 0x00010100);

    AudioUnitParameterInfo info = {};
    ASSERT_EQ(getProperty(unit, kAudioUnitProperty_ParameterInfo, info, 1), noErr);
    EXPECT_STREQ(info.name, "Parameter One");
    EXPECT_EQ(info.unit, kAudioUnitParameterUnit_LinearGain);
    ASSERT_EQ(getProperty(unit, kAudioUnitProperty_ParameterInfo, info, 3), noErr);
    EXPECT_STREQ(info.name, "Preset");
    EXPECT_EQ(info.unit, kAudioUnitParameterUnit_Indexed);
    EXPECT_EQ(info.maxValue, 3.0f);
    EXPECT_EQ(info.flags, 0xC8000000u);
    EXPECT_EQ(getProperty(unit, kAudioUnitProperty_ParameterInfo, info, 1, kAudioUnitScope_Input),
              kAudioUnitErr_InvalidParameter);

    char dir[kDirectorySize] = "";
    ASSERT_EQ(getProperty(unit, kQuorleProperty_PluginDirectory, dir), noErr);
    EXPECT_EQ(fs::path(dir), fs::path(QUORLE_BUNDLE_DIR) / ""); // with a trailing slash
    char name[kModelNameSize];
    EXPECT_EQ(getProperty(unit, kQuorleProperty_ModelName, name), kAudioUnitErr_Uninitialized);
    AudioUnitCocoaViewInfo view;
    EXPECT_EQ(getProperty(unit, kAudioUnitProperty_CocoaUI, view), fnfErr); // no view ships here

    ASSERT_EQ(host.start(44100.0, 2, 512), noErr);
    EXPECT_EQ(host.modelNames(),
              (std::vector<std::string>{"1-clean", "2-crunch", "3-lead", "4-octave"}));
}

TEST(Host, ModelNamesAndAModelIndexBeyondTheList) {
    CustomBundle bundle({{"clean.xml", kTwoModels[0]},
                         {"crunch.xml", kTwoModels[1]},
                         {std::string(110, 'x') + ".xml", kTwoModels[0]}});
    PluginHost host;
    ASSERT_TRUE(loaded(host, bundle.dir.path));
    ASSERT_EQ(host.start(44100.0, 1, 512), noErr);
    EXPECT_EQ(host.modelNames(),
              (std::vector<std::string>{"clean", "crunch"})); // long name skipped
    char name[kModelNameSize];
    EXPECT_EQ(getProperty(host.unit(), kQuorleProperty_ModelName, name, 2),
              kAudioUnitErr_InvalidProperty);

    const std::vector<float> in = tone(440.0, 44100.0, 512);
    std::vector<float> out;
    host.setParameter(3, 3.0f);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(renderAll(host, in, out), -1); // every render retries and fails
    for (OSStatus expected : {-1, 0}) {          // reading the last render error clears it
        OSStatus last = 7;
        getProperty(host.unit(), kAudioUnitProperty_LastRenderError, last);
        EXPECT_EQ(last, expected);
    }
    host.setParameter(3, 1.0f);
    EXPECT_EQ(renderAll(host, in, out), noErr);
}

TEST(Host, HostPathMatchesTheEffectBitForBit) {
    const std::vector<float> in = tone(220.0, 48000.0, 6000, 0.5f);
    PluginHost host;
    ASSERT_TRUE(loaded(host));
    ASSERT_EQ(host.start(48000.0, 1, 512), noErr);
    host.setParameter(0, 0.7f);
    host.setParameter(2, 0.3f);
    host.setParameter(3, 2.0f);
    std::vector<float> viaHost;
    ASSERT_EQ(renderAll(host, in, viaHost), noErr);
    EXPECT_EQ(viaHost, renderDirect(QUORLE_BUNDLE_DIR, 48000.0f, {0.7f, 0.5f, 0.3f, 2.0f}, in));
}

TEST(Host, TheFirstSliceForwardsTheControlsAndKeepsTheLoadedModel) {
    // A bass preset far from the neutral tilt: if the kernel skipped "Pre bass" on its
    // first slice, the boost would stay and the outputs would differ.
    CustomBundle bundle({{"a.xml", kTwoModels[0]},
                         {"bass.fxp", fxp({0.0f, 0.0f, 0.1f, 0.03f, 0.9f, 0.95f, 1.0f})}});
    PluginHost host;
    ASSERT_TRUE(loaded(host, bundle.dir.path));
    ASSERT_EQ(host.start(44100.0, 1, 512), noErr);
    const std::vector<float> in = tone(110.0, 44100.0, 4000);
    std::vector<float> out;
    ASSERT_EQ(renderAll(host, in, out), noErr);
    EXPECT_EQ(out, renderDirect(bundle.dir.path, 44100.0f, {0.5f, 0.5f, 0.5f}, in));
}

TEST(Host, StereoChannelsHaveIndependentEffects) {
    PluginHost host;
    ASSERT_TRUE(loaded(host));
    ASSERT_EQ(host.start(44100.0, 2, 1024), noErr);
    host.setParameter(3, 3.0f); // the octave model, with its slapback delay
    std::vector<float> left = tone(330.0, 44100.0, 1024), silent(1024, 0.0f), outL(1024),
                       outR(1024);
    const float* ins[2] = {left.data(), silent.data()};
    float* outs[2] = {outL.data(), outR.data()};
    for (int block = 0; block < 8; ++block) // past the 80 ms slap
        ASSERT_EQ(host.render(ins, outs, 1024), noErr);
    EXPECT_GT(std::inner_product(outL.begin(), outL.end(), outL.begin(), 0.0), 1.0);
    EXPECT_EQ(outR, silent); // nothing of the left channel reaches the right one
}

// The fixed stage's low-mid notch (full bass tilt) at a stream `rate`: the tone of
// least gain, small enough that the clipper stays linear.
double notchHz(double rate) {
    double best = 0.0, lowest = 1e9;
    const size_t n = static_cast<size_t>(rate), from = n / 2;
    for (double hz = 380.0; hz <= 660.0; hz += 10.0) {
        PluginHost host;
        std::vector<float> out;
        if (!loaded(host) || host.start(rate, 1, 1024) != noErr)
            return -1.0;
        host.setParameter(2, 1.0f); // full tilt: a 13 dB notch at 500 Hz in the fixed stage
        host.setParameter(3, 1.0f);
        if (renderAll(host, tone(hz, rate, n, 0.005f), out, 1024) != noErr)
            return -1.0;
        // Correlate with the tone over whole periods of the second half.
        const size_t to = from + static_cast<size_t>(std::lround(
                                     static_cast<size_t>((n - from) * hz / rate) * rate / hz));
        double re = 0, im = 0;
        for (size_t i = from; i < to; ++i) {
            re += out[i] * std::sin(2.0 * M_PI * hz * i / rate);
            im += out[i] * std::cos(2.0 * M_PI * hz * i / rate);
        }
        const double gain = std::hypot(re, im) / static_cast<double>(to - from);
        if (gain < lowest) {
            lowest = gain;
            best = hz;
        }
    }
    return best;
}

TEST(Host, FilterCornersStayPutAcrossSampleRates) {
    // A filter left at 44.1 kHz in a 96 kHz stream would put the notch at 1090 Hz.
    double at44 = notchHz(44100.0), at96 = notchHz(96000.0);
    EXPECT_NEAR(at44, 500.0, 30.0);
    EXPECT_NEAR(at96, at44, 20.0);
}

TEST(Host, SavedStateRestoresIntoAnotherInstance) {
    PluginHost a, b;
    ASSERT_TRUE(loaded(a));
    ASSERT_TRUE(loaded(b));
    a.setParameter(0, 0.9f);
    a.setParameter(3, 2.0f);
    CFPropertyListRef state = nullptr;
    ASSERT_EQ(getProperty(a.unit(), kAudioUnitProperty_ClassInfo, state), noErr);
    ASSERT_EQ(AudioUnitSetProperty(b.unit(), kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global,
                                   0, &state, sizeof(state)),
              noErr);
    CFRelease(state);
    float v = 0;
    AudioUnitGetParameter(b.unit(), 0, kAudioUnitScope_Global, 0, &v);
    EXPECT_EQ(v, 0.9f);
    AudioUnitGetParameter(b.unit(), 3, kAudioUnitScope_Global, 0, &v);
    EXPECT_EQ(v, 2.0f);
}

TEST(Host, AMissingArchiveFailsInitialisationCleanly) {
    CustomBundle bundle(std::map<std::string, std::string>{{"readme.txt", "no models"}});
    PluginHost host;
    ASSERT_TRUE(loaded(host, bundle.dir.path));
    EXPECT_EQ(host.start(44100.0, 1, 512), -1); // the effect finds no model
    std::vector<float> in(64), out;
    EXPECT_EQ(renderAll(host, in, out), kAudioUnitErr_Uninitialized);
}

TEST(Host, LongBundlePathsAndSlicesLongerThanTheWorkBuffers) {
    // A directory path over 500 bytes: reported whole, with its own size.
    PluginDir root;
    std::string deep = root.path;
    for (int i = 0; i < 12; ++i)
        deep += "/a-rather-long-folder-name-for-testing-paths";
    fs::create_directories(deep);
    for (const char* file : {kQuorleLibraryName, "quorle.data"})
        fs::copy_file(fs::path(QUORLE_BUNDLE_DIR) / file, fs::path(deep) / file);
    PluginHost host;
    ASSERT_TRUE(loaded(host, deep));
    UInt32 size = 0;
    Boolean writable = true;
    ASSERT_EQ(AudioUnitGetPropertyInfo(host.unit(), kQuorleProperty_PluginDirectory,
                                       kAudioUnitScope_Global, 0, &size, &writable),
              noErr);
    ASSERT_EQ(size, deep.size() + 2);
    std::vector<char> dir(size);
    ASSERT_EQ(AudioUnitGetProperty(host.unit(), kQuorleProperty_PluginDirectory,
                                   kAudioUnitScope_Global, 0, dir.data(), &size),
              noErr);
    EXPECT_EQ(std::string(dir.data()), deep + "/");

    // One render call longer than the effect's 144100-frame work buffers.
    ASSERT_EQ(host.start(44100.0, 1, 200000), noErr);
    std::vector<float> out;
    ASSERT_EQ(renderAll(host, tone(200.0, 44100.0, 200000), out, 200000), noErr);
    EXPECT_NE(out[199999], 0.0f);
}

} // namespace
