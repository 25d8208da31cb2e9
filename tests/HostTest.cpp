// The plug-in as a host meets it: its shared object loaded with dlopen, the unit
// opened through quorleEntry and driven only through the client functions.
#include "ArchiveTestUtil.h"

#include "au/quorleIds.h"
#include "main/VorlixMac.h"
#include "tools/PluginHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::vector<float> tone(double hz, double rate, size_t n, float amplitude = 0.3f) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * i / rate));
    return v;
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
    std::string error;
    ASSERT_TRUE(host.load(QUORLE_BUNDLE_DIR, error)) << error;
    AudioUnit unit = host.unit();
    for (UInt32 id = 0; id < 4; ++id) {
        float v = -1.0f;
        EXPECT_EQ(AudioUnitGetParameter(unit, id, kAudioUnitScope_Global, 0, &v), noErr);
        EXPECT_EQ(v, id == 3 ? 0.0f : 0.5f);
    }
    EXPECT_EQ(GetComponentVersion(unit), 0x00010100);

    AudioUnitParameterInfo info = {};
    UInt32 size = sizeof(info);
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global,
                                   3, &info, &size),
              noErr);
    EXPECT_STREQ(info.name, "Preset");
    EXPECT_EQ(info.unit, kAudioUnitParameterUnit_Indexed);
    EXPECT_EQ(info.maxValue, 3.0f);
    EXPECT_EQ(info.flags, 0xC8000000u);
    size = sizeof(info);
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global,
                                   1, &info, &size),
              noErr);
    EXPECT_STREQ(info.name, "Parameter One");
    EXPECT_EQ(info.unit, kAudioUnitParameterUnit_LinearGain);
    size = sizeof(info);
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Input, 1,
                                   &info, &size),
              kAudioUnitErr_InvalidParameter);

    char dir[kDirectorySize] = "";
    size = sizeof(dir);
    ASSERT_EQ(AudioUnitGetProperty(unit, kQuorleProperty_PluginDirectory, kAudioUnitScope_Global, 0,
                                   dir, &size),
              noErr);
    EXPECT_EQ(fs::path(dir), fs::path(QUORLE_BUNDLE_DIR) / "");
    EXPECT_EQ(dir[std::strlen(dir) - 1], '/');

    char name[kModelNameSize];
    size = sizeof(name);
    EXPECT_EQ(AudioUnitGetProperty(unit, kQuorleProperty_ModelName, kAudioUnitScope_Global, 0, name,
                                   &size),
              kAudioUnitErr_Uninitialized);
    AudioUnitCocoaViewInfo view;
    size = sizeof(view);
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global, 0,
                                   &view, &size),
              fnfErr); // no view ships on this platform

    ASSERT_EQ(host.start(44100.0, 2, 512), noErr);
    EXPECT_EQ(host.modelNames(),
              (std::vector<std::string>{"1-clean", "2-crunch", "3-lead", "4-octave"}));
}

TEST(Host, ModelNamesAndAModelIndexBeyondTheList) {
    CustomBundle bundle({{"clean.xml", kTwoModels[0]},
                         {"crunch.xml", kTwoModels[1]},
                         {std::string(110, 'x') + ".xml", kTwoModels[0]}});
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(bundle.dir.path, error)) << error;
    ASSERT_EQ(host.start(44100.0, 1, 512), noErr);
    EXPECT_EQ(host.modelNames(),
              (std::vector<std::string>{"clean", "crunch"})); // long name skipped
    char name[kModelNameSize];
    UInt32 size = sizeof(name);
    EXPECT_EQ(AudioUnitGetProperty(host.unit(), kQuorleProperty_ModelName, kAudioUnitScope_Global,
                                   2, name, &size),
              kAudioUnitErr_InvalidProperty);

    const std::vector<float> in = tone(440.0, 44100.0, 512);
    std::vector<float> out;
    host.setParameter(3, 3.0f);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(renderAll(host, in, out), -1); // every render retries and fails
    OSStatus last = 0;
    size = sizeof(last);
    AudioUnitGetProperty(host.unit(), kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global, 0,
                         &last, &size);
    EXPECT_EQ(last, -1);
    size = sizeof(last);
    AudioUnitGetProperty(host.unit(), kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global, 0,
                         &last, &size);
    EXPECT_EQ(last, 0);
    host.setParameter(3, 1.0f);
    EXPECT_EQ(renderAll(host, in, out), noErr);
}

// The same input and settings driven through the whole host path and straight
// into a main effect give the same samples.
TEST(Host, HostPathMatchesTheEffectBitForBit) {
    const double rate = 48000.0;
    const std::vector<float> in = tone(220.0, rate, 6000, 0.5f);
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(QUORLE_BUNDLE_DIR, error)) << error;
    ASSERT_EQ(host.start(rate, 1, 512), noErr);
    host.setParameter(0, 0.7f);
    host.setParameter(2, 0.3f);
    host.setParameter(3, 2.0f);
    std::vector<float> viaHost;
    ASSERT_EQ(renderAll(host, in, viaHost), noErr);

    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    VorlixMac fx;
    fx.setSampleRate(static_cast<float>(rate));
    fx.init();
    fx.dispatcher(10, 0, 0, nullptr, static_cast<float>(rate));
    fx.setParameter(0, 0.7f);
    fx.setParameter(1, 0.5f);
    fx.setParameter(2, 0.3f);
    fx.setParameter(3, 2.0f);
    std::vector<float> direct(in.size());
    for (size_t at = 0; at < in.size(); at += 512) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = direct.data() + at;
        fx.process(&i, &o, static_cast<int32_t>(std::min<size_t>(512, in.size() - at)));
    }
    EXPECT_EQ(viaHost, direct);
}

TEST(Host, StereoChannelsHaveIndependentEffects) {
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(QUORLE_BUNDLE_DIR, error)) << error;
    ASSERT_EQ(host.start(44100.0, 2, 1024), noErr);
    host.setParameter(3, 3.0f); // the octave model, with its slapback delay
    std::vector<float> left = tone(330.0, 44100.0, 1024), silent(1024, 0.0f);
    std::vector<float> outL(1024), outR(1024);
    const float* ins[2] = {left.data(), silent.data()};
    float* outs[2] = {outL.data(), outR.data()};
    for (int block = 0; block < 8; ++block) // past the 80 ms slap
        ASSERT_EQ(host.render(ins, outs, 1024), noErr);
    double energyL = 0, energyR = 0;
    for (size_t i = 0; i < 1024; ++i) {
        energyL += outL[i] * outL[i];
        energyR += outR[i] * outR[i];
    }
    EXPECT_GT(energyL, 1.0);
    EXPECT_EQ(energyR, 0.0); // nothing of the left channel reaches the right one
}

// Gain at `hz` through the host at `rate`, small enough that the clipper stays linear.
double hostGain(double rate, double hz) {
    PluginHost host;
    std::string error;
    if (!host.load(QUORLE_BUNDLE_DIR, error) || host.start(rate, 1, 1024) != noErr)
        return -1.0;
    host.setParameter(2, 1.0f); // full tilt: a 13 dB notch at 500 Hz in the fixed stage
    host.setParameter(3, 1.0f);
    const size_t n = static_cast<size_t>(rate);
    const std::vector<float> in = tone(hz, rate, n, 0.005f);
    std::vector<float> out;
    if (renderAll(host, in, out, 1024) != noErr)
        return -1.0;
    double re = 0, im = 0;
    const size_t from = n / 2;
    const size_t periods = static_cast<size_t>((n - from) * hz / rate);
    const size_t to = from + static_cast<size_t>(std::lround(periods * rate / hz));
    for (size_t i = from; i < to; ++i) {
        re += out[i] * std::sin(2.0 * M_PI * hz * i / rate);
        im += out[i] * std::cos(2.0 * M_PI * hz * i / rate);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(to - from) / 0.005;
}

// The fixed stage's low-mid notch (full bass tilt) sits at 500 Hz at any stream
// rate; a filter left at 44.1 kHz in a 96 kHz stream would put it at 1090 Hz.
double notchHz(double rate) {
    double best = 0.0, lowest = 1e9;
    for (double hz = 380.0; hz <= 660.0; hz += 10.0) {
        double g = hostGain(rate, hz);
        if (g > 0.0 && g < lowest) {
            lowest = g;
            best = hz;
        }
    }
    return best;
}

TEST(Host, FilterCornersStayPutAcrossSampleRates) {
    double at44 = notchHz(44100.0), at96 = notchHz(96000.0);
    EXPECT_NEAR(at44, 500.0, 30.0);
    EXPECT_NEAR(at96, at44, 20.0);
}

TEST(Host, SavedStateRestoresIntoAnotherInstance) {
    PluginHost a, b;
    std::string error;
    ASSERT_TRUE(a.load(QUORLE_BUNDLE_DIR, error)) << error;
    ASSERT_TRUE(b.load(QUORLE_BUNDLE_DIR, error)) << error;
    a.setParameter(0, 0.9f);
    a.setParameter(3, 2.0f);
    CFPropertyListRef state = nullptr;
    UInt32 size = sizeof(state);
    ASSERT_EQ(AudioUnitGetProperty(a.unit(), kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global,
                                   0, &state, &size),
              noErr);
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
    std::string error;
    ASSERT_TRUE(host.load(bundle.dir.path, error)) << error;
    EXPECT_EQ(host.start(44100.0, 1, 512), -1); // the effect finds no model
    std::vector<float> in(64), out;
    EXPECT_EQ(renderAll(host, in, out), kAudioUnitErr_Uninitialized);
}

} // namespace

namespace {

// Renders `in` through a fresh effect driven directly, with the settings a kernel
// forwards on its first slice for a host holding the defaults.
std::vector<float> directDefaults(const std::string& dir, const std::vector<float>& in) {
    gFxDir = dir + "/";
    VorlixMac fx;
    fx.init();
    fx.dispatcher(10, 0, 0, nullptr, 44100.0f);
    for (int p = 0; p < 3; ++p)
        fx.setParameter(p, 0.5f);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 512) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = out.data() + at;
        fx.process(&i, &o, static_cast<int32_t>(std::min<size_t>(512, in.size() - at)));
    }
    return out;
}

TEST(Host, TheFirstSliceForwardsTheControlsAndKeepsTheLoadedModel) {
    // A bass preset far from the neutral tilt: if the kernel skipped "Pre bass" on its
    // first slice, the boost would stay and the outputs would differ.
    CustomBundle bundle({{"a.xml", kTwoModels[0]},
                         {"bass.fxp", fxp({0.0f, 0.0f, 0.1f, 0.03f, 0.9f, 0.95f, 1.0f})}});
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(bundle.dir.path, error)) << error;
    ASSERT_EQ(host.start(44100.0, 1, 512), noErr);
    const std::vector<float> in = tone(110.0, 44100.0, 4000);
    std::vector<float> out;
    ASSERT_EQ(renderAll(host, in, out), noErr);
    EXPECT_EQ(out, directDefaults(bundle.dir.path, in));
}

TEST(Host, LongBundlePathsAndSlicesLongerThanTheWorkBuffers) {
    // A directory path over 500 bytes: reported whole, with its own size.
    const std::string root = PluginDir().path; // a unique name, removed again at once
    std::string deep = root;
    for (int i = 0; i < 12; ++i)
        deep += "/a-rather-long-folder-name-for-testing-paths";
    fs::create_directories(deep);
    fs::copy_file(fs::path(QUORLE_BUNDLE_DIR) / kQuorleLibraryName,
                  fs::path(deep) / kQuorleLibraryName);
    fs::copy_file(fs::path(QUORLE_BUNDLE_DIR) / "quorle.data", fs::path(deep) / "quorle.data");
    {
        PluginHost host;
        std::string error;
        ASSERT_TRUE(host.load(deep, error)) << error;
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
        const std::vector<float> in = tone(200.0, 44100.0, 200000);
        std::vector<float> out;
        ASSERT_EQ(renderAll(host, in, out, 200000), noErr);
        EXPECT_NE(out[199999], 0.0f);
    }
    fs::remove_all(root);
}

} // namespace
