// The plug-in as a host meets it: its shared object loaded with dlopen, the unit
// opened through quorleEntry and driven only through the client functions.
#include "ArchiveTestUtil.h"
#include "Lv2TestHost.h"
#include "QuorleUnitHost.h"
#include "UnitStateUtil.h"

#include "au/quorleIds.h"
#include "main/VorlixMac.h"
#include "tools/PluginHost.h"

#include <gtest/gtest.h>

#include <tuple>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numeric>
#include <set>

namespace {

namespace fs = std::filesystem;

using quorletest::tone;

testing::AssertionResult loaded(PluginHost& host, const std::string& dir = QUORLE_BUNDLE_DIR) {
    std::string error;
    return host.load(dir, error) ? testing::AssertionSuccess()
                                 : testing::AssertionFailure() << error;
}

// Loaded from `dir` and started for one channel at 44.1 kHz, 512 frames a call.
testing::AssertionResult started(PluginHost& host, const std::string& dir = QUORLE_BUNDLE_DIR) {
    testing::AssertionResult result = loaded(host, dir);
    if (result)
        if (OSStatus status = host.start(44100.0, 1, 512))
            return testing::AssertionFailure() << "start: status " << status;
    return result;
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

// What `host` renders of `in`; a failing render fails the test.
std::vector<float> played(PluginHost& host, const std::vector<float>& in, UInt32 block = 512) {
    std::vector<float> out;
    if (OSStatus status = renderAll(host, in, out, block))
        ADD_FAILURE() << "render: status " << status;
    return out;
}

using quorletest::renderDirect;

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
    // The list is not known yet: up to model 3.
    EXPECT_EQ(std::tuple(std::string(info.name), info.unit, info.maxValue, info.flags),
              std::tuple("Preset", kAudioUnitParameterUnit_Indexed, 3.0f, 0xC8000000u));
    EXPECT_EQ(getProperty(unit, kAudioUnitProperty_ParameterInfo, info, 1, kAudioUnitScope_Input),
              kAudioUnitErr_InvalidParameter);

    char dir[kDirectorySize] = "";
    ASSERT_EQ(getProperty(unit, kQuorleProperty_PluginDirectory, dir), noErr);
    EXPECT_EQ(fs::path(dir), fs::path(QUORLE_BUNDLE_DIR) / ""); // with a trailing slash
    char name[kModelNameSize];
    EXPECT_EQ(getProperty(unit, kQuorleProperty_ModelName, name), kAudioUnitErr_Uninitialized);
    AudioUnitCocoaViewInfo view;
    EXPECT_EQ(getProperty(unit, kAudioUnitProperty_CocoaUI, view), fnfErr); // no view ships here
    // It processes in place, and the view and model names are read-only, of fixed sizes.
    UInt32 inPlace = 0;
    EXPECT_EQ(getProperty(unit, kAudioUnitProperty_InPlaceProcessing, inPlace), noErr);
    EXPECT_EQ(inPlace, 1u);
    for (auto [id, size] : {std::pair{UInt32(kAudioUnitProperty_CocoaUI), sizeof(view)},
                            std::pair{kQuorleProperty_ModelName, sizeof(name)}}) {
        UInt32 told = 0;
        Boolean writable = true;
        EXPECT_EQ(AudioUnitGetPropertyInfo(unit, id, kAudioUnitScope_Global, 0, &told, &writable),
                  noErr);
        EXPECT_EQ(std::pair(told, writable), std::pair(UInt32(size), Boolean(false))) << id;
    }

    ASSERT_EQ(host.start(44100.0, 2, 512), noErr);
    EXPECT_EQ(host.modelNames(),
              (std::vector<std::string>{"1-clean", "2-edge", "3-crunch", "4-lead", "5-high-gain",
                                        "6-octave-fuzz"}));
    // Once the list is known the model range reaches its last model.
    ASSERT_EQ(getProperty(unit, kAudioUnitProperty_ParameterInfo, info, 3), noErr);
    EXPECT_EQ(info.maxValue, 5.0f);
}

TEST(Host, ModelNamesAndAModelIndexBeyondTheList) {
    CustomBundle bundle({{"clean.xml", kTwoModels[0]},
                         {"crunch.xml", kTwoModels[1]},
                         {std::string(110, 'x') + ".xml", kTwoModels[0]}});
    PluginHost host;
    ASSERT_TRUE(started(host, bundle.dir.path));
    EXPECT_EQ(host.modelNames(),
              (std::vector<std::string>{"clean", "crunch"})); // long name skipped
    char name[kModelNameSize];
    EXPECT_EQ(getProperty(host.unit(), kQuorleProperty_ModelName, name, 2),
              kAudioUnitErr_InvalidProperty);
    // The list is two long here, whatever the published maximum says.
    EXPECT_EQ(host.setParameter(3, 2.0f), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(host.setParameter(3, 1.0f), noErr);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

float parameter(PluginHost& host, AudioUnitParameterID id) {
    float value = -7.0f;
    AudioUnitGetParameter(host.unit(), id, kAudioUnitScope_Global, 0, &value);
    return value;
}

using quorletest::allFinite;

// Renders `in` through a fresh unit of the shipped bundle with parameters 0.. set
// to `params` first; empty when it cannot.
std::vector<float> renderFresh(const std::vector<float>& params, const std::vector<float>& in) {
    PluginHost host;
    if (!started(host))
        return {};
    for (size_t p = 0; p < params.size(); ++p)
        if (host.setParameter(static_cast<AudioUnitParameterID>(p), params[p]) != noErr)
            return {};
    return played(host, in);
}

// A NaN or infinite input sample is heard as 0 and leaves nothing behind, in every
// model; after a host reset the unit sounds as a fresh one.
TEST(Host, NonFiniteInputSamplesAreHeardAsZero) {
    const std::vector<float> in = tone(220.0, 44100.0, 2048, 0.5f);
    const std::vector<float> later = tone(330.0, 44100.0, 1024, 0.4f);
    std::vector<float> zeroed = in;
    zeroed[700] = 0.0f;
    for (int model = 0; model < 4; ++model) {
        const float m = static_cast<float>(model);
        const std::vector<float> expected = renderFresh({0.5f, 0.5f, 0.5f, m}, zeroed);
        const std::vector<float> expectedLater = renderFresh({0.5f, 0.5f, 0.5f, m}, later);
        ASSERT_FALSE(expected.empty());
        ASSERT_TRUE(allFinite(expected));
        for (float bad : {kNaN, kInf, -kInf}) {
            SCOPED_TRACE(testing::Message() << "model " << model << ", input " << bad);
            PluginHost host;
            ASSERT_TRUE(started(host));
            ASSERT_EQ(host.setParameter(3, m), noErr);
            std::vector<float> poisoned = in;
            poisoned[700] = bad;
            EXPECT_EQ(played(host, poisoned), expected); // finite, as asserted above

            ASSERT_EQ(AudioUnitReset(host.unit(), kAudioUnitScope_Global, 0), noErr);
            EXPECT_EQ(played(host, later), expectedLater);
        }
    }
}

// Drive, post gain and bass are stored within 0..1 (NaN as 0.5), and the unit
// sounds as one set to the stored value, during and after the bad value.
TEST(Host, ControlValuesAreHeldWithinTheirRange) {
    const std::pair<float, float> values[] = {{kNaN, 0.5f},  {kInf, 1.0f},   {-kInf, 0.0f},
                                              {1e30f, 1.0f}, {-1e30f, 0.0f}, {1.5f, 1.0f},
                                              {-0.25f, 0.0f}};
    const std::vector<float> in = tone(150.0, 44100.0, 1024, 0.6f);
    for (AudioUnitParameterID id = 0; id < 3; ++id) {
        for (auto [bad, stored] : values) {
            SCOPED_TRACE(testing::Message() << "parameter " << id << " at " << bad);
            PluginHost host, reference;
            ASSERT_TRUE(started(host));
            ASSERT_TRUE(started(reference));
            EXPECT_EQ(host.setParameter(id, bad), noErr);
            EXPECT_EQ(parameter(host, id), stored);
            reference.setParameter(id, stored);
            for (float next : {0.7f, 0.2f}) {
                const std::vector<float> out = played(host, in);
                EXPECT_TRUE(allFinite(out));
                EXPECT_EQ(out, played(reference, in));
                host.setParameter(id, next);
                reference.setParameter(id, next);
            }
        }
    }
}

// Scheduled events reach the stored values without the unit's checks; the kernel
// still gives its effect only values it can take, and renders go on.
TEST(Host, ScheduledEventsWithBadValuesKeepTheOutputPlaying) {
    const std::vector<float> in = tone(150.0, 44100.0, 1024, 0.6f);
    PluginHost host;
    ASSERT_TRUE(started(host));
    const std::pair<AudioUnitParameterID, float> bad[] = {
        {0, kNaN}, {1, kInf}, {2, -1e30f}, {3, 99.0f}};
    std::vector<AudioUnitParameterEvent> events;
    for (auto [id, value] : bad) {
        events.push_back({kAudioUnitScope_Global, 0, id, kParameterEvent_Immediate, {}});
        events.back().eventValues.immediate = {0, value};
    }
    ASSERT_EQ(
        AudioUnitScheduleParameters(host.unit(), events.data(), static_cast<UInt32>(events.size())),
        noErr);
    EXPECT_EQ(played(host, in), renderFresh({0.5f, 1.0f, 0.0f, 0.0f}, in));
}

// Refused, the current model playing on: an index beyond the four shipped models,
// negative, NaN or infinite. Before initialisation the list is not known: only
// what cannot be an index is refused, and an index beyond the list goes back to
// model 0 when the unit initialises.
TEST(Host, AModelIndexOutsideTheListIsRefused) {
    const std::vector<float> in = tone(196.0, 44100.0, 512, 0.5f);
    const float refusedAlways[] = {-1.0f, -0.5f, kNaN, kInf, -kInf, 1e10f};
    PluginHost host;
    ASSERT_TRUE(started(host));
    ASSERT_EQ(host.setParameter(3, 1.0f), noErr);
    std::vector<float> all, repeated;
    for (float v : {-1.0f, -0.5f, kNaN, kInf, -kInf, 1e10f, 6.0f, 99.0f, 1e9f}) { // last 3: beyond
        SCOPED_TRACE(testing::Message() << "initialised, model " << v);
        EXPECT_EQ(host.setParameter(3, v), kAudioUnitErr_InvalidParameter);
        EXPECT_EQ(parameter(host, 3), 1.0f);
        const std::vector<float> out = played(host, in);
        all.insert(all.end(), out.begin(), out.end());
        repeated.insert(repeated.end(), in.begin(), in.end());
    }
    // 1.7 after 1 names the same model: it plays on without being built again.
    EXPECT_EQ(host.setParameter(3, 1.7f), noErr);
    const std::vector<float> out = played(host, in);
    all.insert(all.end(), out.begin(), out.end());
    repeated.insert(repeated.end(), in.begin(), in.end());
    EXPECT_EQ(all, renderFresh({0.5f, 0.5f, 0.5f, 1.0f}, repeated)); // model 1 throughout

    PluginHost uninitialised;
    ASSERT_TRUE(loaded(uninitialised));
    for (float v : refusedAlways) {
        EXPECT_EQ(uninitialised.setParameter(3, v), kAudioUnitErr_InvalidParameter) << v;
        EXPECT_EQ(parameter(uninitialised, 3), 0.0f) << v;
    }
    const std::pair<float, float> accepted[] = {{6.0f, 0.0f}, {99.0f, 0.0f}, {2.5f, 2.5f}};
    for (auto [v, after] : accepted) {
        SCOPED_TRACE(testing::Message() << "uninitialised, model " << v);
        PluginHost unit;
        ASSERT_TRUE(loaded(unit));
        EXPECT_EQ(unit.setParameter(3, v), noErr);
        ASSERT_EQ(unit.start(44100.0, 1, 512), noErr);
        EXPECT_EQ(parameter(unit, 3), after);
        EXPECT_EQ(played(unit, in), renderFresh({0.5f, 0.5f, 0.5f, std::trunc(after)}, in));
    }
}

// The host path renders bit for bit as the effect driven directly, controls set
// or not. A bass preset far from the neutral tilt: if the kernel skipped "Pre
// bass" on its first slice, the boost would stay and the outputs would differ.
TEST(Host, HostPathMatchesTheEffectBitForBit) {
    CustomBundle bundle({{"a.xml", kTwoModels[0]},
                         {"bass.fxp", fxp({0.0f, 0.0f, 0.1f, 0.03f, 0.9f, 0.95f, 1.0f})}});
    const struct {
        std::string dir;
        double rate;
        std::vector<float> params;
        std::vector<float> in;
    } cases[] = {
        {QUORLE_BUNDLE_DIR, 48000.0, {0.7f, 0.5f, 0.3f, 2.0f}, tone(220.0, 48000.0, 6000, 0.5f)},
        {bundle.dir.path, 44100.0, {}, tone(110.0, 44100.0, 4000)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        PluginHost host;
        ASSERT_TRUE(loaded(host, c.dir));
        ASSERT_EQ(host.start(c.rate, 1, 512), noErr);
        for (size_t p = 0; p < c.params.size(); ++p)
            host.setParameter(static_cast<AudioUnitParameterID>(p), c.params[p]);
        const std::vector<float> direct =
            c.params.empty() ? std::vector<float>{0.5f, 0.5f, 0.5f} : c.params;
        EXPECT_EQ(played(host, c.in),
                  renderDirect(c.dir, static_cast<float>(c.rate), direct, c.in));
    }
}

// The fixed stage's low-mid notch (full bass tilt) at a stream `rate`: the tone of
// least gain, small enough that the clipper stays linear.
double notchHz(double rate) {
    double best = 0.0, lowest = 1e9;
    const size_t n = static_cast<size_t>(rate), from = n / 2;
    for (double hz = 380.0; hz <= 660.0; hz += 10.0) {
        PluginHost host;
        // The first tone stage had a 500 Hz peak, a 13 dB notch at full tilt.
        if (!loaded(host, QUORLE_REFERENCE_BUNDLE_DIR) || host.start(rate, 1, 1024) != noErr)
            return -1.0;
        host.setParameter(2, 1.0f);
        host.setParameter(3, 1.0f);
        const std::vector<float> out = played(host, tone(hz, rate, n, 0.005f), 1024);
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

// A state's data holding the global parameters `values` alone, as the unit
// writes it: a block header (scope, element, count), then (id, value) pairs,
// every word big-endian.
CFDataRef storedValues(const std::vector<std::pair<UInt32, float>>& values) {
    std::vector<uint8_t> bytes;
    auto put = [&](uint32_t word) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(word >> shift));
    };
    put(kAudioUnitScope_Global);
    put(0);
    put(static_cast<uint32_t>(values.size()));
    for (auto [id, value] : values) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        put(id);
        put(bits);
    }
    return CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()));
}

// A saved state restores into another instance. One holding values no control
// takes and a model beyond the list restores to a unit that plays: controls held
// within 0..1, the model left as it was (or, when the list is not known yet, put
// back to model 0 at initialisation).
TEST(Host, SavedStatesRestoreAndBadValuesRestoreToAPlayingUnit) {
    PluginHost source, copy;
    ASSERT_TRUE(loaded(source));
    ASSERT_TRUE(loaded(copy));
    source.setParameter(0, 0.9f);
    source.setParameter(3, 2.0f);
    CFDictionaryRef state = unitstate::save(source.unit());
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(unitstate::restore(copy.unit(), state), noErr);
    EXPECT_EQ(parameter(copy, 0), 0.9f);
    EXPECT_EQ(parameter(copy, 3), 2.0f);

    CFDataRef bad = storedValues({{0, kNaN}, {1, -kInf}, {2, 1e30f}, {3, 99.0f}});
    const std::vector<float> in = tone(180.0, 44100.0, 1024, 0.5f);

    struct Case {
        bool initialised;
        float modelBefore;
        float modelAfter;
    };
    for (Case c : {Case{true, 2.0f, 2.0f}, Case{false, 2.0f, 0.0f}}) {
        SCOPED_TRACE(c.initialised ? "initialised" : "uninitialised");
        PluginHost host;
        ASSERT_TRUE(loaded(host));
        if (c.initialised) {
            ASSERT_EQ(host.start(44100.0, 1, 512), noErr);
        }
        ASSERT_EQ(host.setParameter(3, c.modelBefore), noErr);
        EXPECT_EQ(unitstate::restoreEdited(host.unit(), state, "data", bad), noErr);
        if (!c.initialised) {
            ASSERT_EQ(host.start(44100.0, 1, 512), noErr);
        }
        const std::vector<float> expected = {0.5f, 0.0f, 1.0f, c.modelAfter};
        for (AudioUnitParameterID id = 0; id < 4; ++id)
            EXPECT_EQ(parameter(host, id), expected[id]) << "parameter " << id;
        EXPECT_EQ(played(host, in), renderFresh(expected, in));
    }

    // What can never be a model index leaves the model as it was, initialised or not.
    CFRelease(bad);
    bad = storedValues({{3, kNaN}});
    PluginHost host;
    ASSERT_TRUE(loaded(host));
    ASSERT_EQ(host.setParameter(3, 3.0f), noErr);
    EXPECT_EQ(unitstate::restoreEdited(host.unit(), state, "data", bad), noErr);
    EXPECT_EQ(parameter(host, 3), 3.0f);
    CFRelease(bad);
    CFRelease(state);
}

// A host's standard output may carry its audio: opening, initialising, rendering
// and closing the unit write nothing there. The bundle line goes to standard error.
TEST(Host, NothingIsWrittenToStandardOutput) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // Nothing in here may print: the statuses are checked once the streams are back.
    // A unit opened as a host opens it and closed (the shared host opens quietly),
    // then one initialised, rendered and closed through the shared host.
    OSStatus statuses[4] = {-1, -1, -1, -1};
    const std::string library = std::string(QUORLE_BUNDLE_DIR) + "/" + kQuorleLibraryName;
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry =
        handle ? reinterpret_cast<ComponentRoutine>(dlsym(handle, "quorleEntry")) : nullptr;
    AudioUnit unit = nullptr;
    if (entry && (statuses[0] = OpenAComponent(entry, &kQuorleDescription, &unit)) == noErr)
        statuses[1] = CloseComponent(unit);
    if (handle)
        dlclose(handle);
    std::string error;
    {
        PluginHost host;
        if (host.load(QUORLE_BUNDLE_DIR, error) &&
            (statuses[2] = host.start(44100.0, 2, 256)) == noErr) {
            std::vector<float> in(256, 0.1f), left(256), right(256);
            const float* ins[2] = {in.data(), in.data()};
            float* outs[2] = {left.data(), right.data()};
            statuses[3] = host.render(ins, outs, 256);
        }
    }

    const std::string written = testing::internal::GetCapturedStdout();
    const std::string diagnostics = testing::internal::GetCapturedStderr();

    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(error, "");
    for (OSStatus status : statuses)
        EXPECT_EQ(status, noErr);
    EXPECT_EQ(written, "");
    EXPECT_NE(diagnostics.find("path:" + fs::canonical(QUORLE_BUNDLE_DIR).string() + ";"),
              std::string::npos)
        << diagnostics;
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
    ASSERT_EQ(noErr, AudioUnitGetPropertyInfo(host.unit(), kQuorleProperty_PluginDirectory,
                                              kAudioUnitScope_Global, 0, &size, &writable));
    ASSERT_EQ(size, deep.size() + 2);
    std::vector<char> dir(size);
    ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit(), kQuorleProperty_PluginDirectory,
                                          kAudioUnitScope_Global, 0, dir.data(), &size));
    EXPECT_EQ(std::string(dir.data()), deep + "/");

    // One render call longer than the effect's 144100-frame work buffers.
    ASSERT_EQ(host.start(44100.0, 1, 200000), noErr);
    EXPECT_NE(played(host, tone(200.0, 44100.0, 200000), 200000).at(199999), 0.0f);
}

// --- The LV2 plug-in ---

double energy(const std::vector<float>& v) {
    return std::inner_product(v.begin(), v.end(), v.begin(), 0.0);
}

// Renders `in` through a fresh mono instance at 44.1 kHz with the model port at
// `model`, in runs of the given lengths (repeated until the input is used up).
// With `heardBefore`, the instance is activated, runs it in one go, and is
// deactivated and activated again first.
std::vector<float> lv2Render(const quorletest::Lv2Library& library, float model,
                             const std::vector<float>& in, const std::vector<uint32_t>& runs,
                             const std::vector<float>& heardBefore = {}) {
    quorletest::Lv2Mono plugin(library.mono, nullptr, nullptr, nullptr, 44100.0);
    plugin.controls[0] = 0.6f;
    plugin.controls[3] = model;
    std::vector<float> out(std::max(in.size(), heardBefore.size()), -9.0f);
    if (!heardBefore.empty()) {
        plugin.d->activate(plugin.h);
        plugin.run(heardBefore.data(), out.data(), static_cast<uint32_t>(heardBefore.size()));
        if (plugin.d->deactivate)
            plugin.d->deactivate(plugin.h);
        plugin.d->activate(plugin.h);
    }
    out.resize(in.size());
    for (size_t at = 0, r = 0; at < in.size(); ++r) {
        const uint32_t n =
            static_cast<uint32_t>(std::min<size_t>(runs[r % runs.size()], in.size() - at));
        plugin.run(in.data() + at, out.data() + at, n);
        at += n;
    }
    return out;
}

// The model port's value is rounded and held within the model list. Model 3's
// graph (the lead) has no block-dependent parameters, so any run lengths give the
// same output when every run renders at its own sample time. Its filters and
// saturators hold what they heard: a host's deactivate/activate must start the
// instance afresh.
TEST(Lv2Plugin, TheModelPortIsHeldWithinTheListAndRunLengthsOrReactivationChangeNothing) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.mono, nullptr) << dlerror();
    ASSERT_NE(library.mono->activate, nullptr);
    const std::vector<float> in = tone(217.0, 44100.0, 10000, 0.4f);
    const std::vector<float> last = lv2Render(library, 5.0f, in, {512}),
                             first = lv2Render(library, 0.0f, in, {512});
    ASSERT_GT(energy(last), 1.0);
    EXPECT_FALSE(lv2Render(library, 4.0f, in, {512}) == last); // the port does choose the model
    for (float beyond : {6.0f, 9.0f, 1e9f, 4.6f})
        EXPECT_TRUE(lv2Render(library, beyond, in, {512}) == last) << beyond;
    for (float below : {-1.0f, -1e9f, 0.4f})
        EXPECT_TRUE(lv2Render(library, below, in, {512}) == first) << below;

    const std::vector<float> whole = lv2Render(library, 3.0f, in, {10000});
    ASSERT_GT(energy({whole.begin() + 8192, whole.end()}), 1.0); // the last slice sounds
    for (const std::vector<uint32_t>& runs :
         std::vector<std::vector<uint32_t>>{{4096}, {1}, {1, 1, 5000, 3, 4097}, {512}})
        EXPECT_TRUE(lv2Render(library, 3.0f, in, runs) == whole) << runs.size() << " lengths";
    std::vector<float> noise(4096);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = (i * 7919 % 201) / 100.0f - 1.0f;
    EXPECT_TRUE(lv2Render(library, 3.0f, in, {512}, noise) == whole);
}

// --- The shared host: the statuses it names ---

// An archive without a model fails initialisation cleanly, and each status the
// unit returns has a name of its own.
TEST(SharedHost, AnArchiveWithoutModelsFailsCleanlyAndTheStatusesHaveNames) {
    std::vector<OSStatus> statuses;
    {
        PluginDir noData; // the plug-in without its data archive
        fs::copy_file(fs::path(QUORLE_BUNDLE_DIR) / kQuorleLibraryName,
                      fs::path(noData.path) / kQuorleLibraryName);
        PluginHost host;
        ASSERT_TRUE(loaded(host, noData.path));
        statuses.push_back(host.start(44100.0, 1, 256));
    }
    CustomBundle noModels(std::map<std::string, std::string>{{"readme.txt", "no models"}});
    PluginHost host, slow, empty;
    ASSERT_TRUE(loaded(host));
    ASSERT_TRUE(loaded(slow));
    ASSERT_TRUE(loaded(empty, noModels.dir.path));
    EXPECT_EQ(empty.start(44100.0, 1, 512), -1); // the effect finds no model
    std::vector<float> in(257), out(257);
    const float* i = in.data();
    float* o = out.data();
    EXPECT_EQ(empty.render(&i, &o, 64), kAudioUnitErr_Uninitialized);
    statuses.push_back(slow.start(1.0, 1, 256));
    ASSERT_EQ(host.start(44100.0, 1, 256), noErr);
    statuses.push_back(host.setParameter(3, 99.0f));
    statuses.push_back(host.render(&i, &o, 257));

    std::set<std::string> names;
    for (OSStatus status : statuses) {
        EXPECT_NE(status, noErr);
        EXPECT_STRNE(statusName(status), statusName(12345)) << status; // not "unknown"
        names.insert(statusName(status));
    }
    EXPECT_EQ(names.size(), statuses.size()); // each failure named apart
}

} // namespace
