// Behaviour earlier work stated as tested whose tests were trimmed away or never
// written: the averager's window under a failing allocation, the model size limit
// and damaged entries, the tail countdown and object release in the audio-unit
// base, the LV2 plug-in's model port, slicing and sample time, and the names the
// shared host gives the statuses the unit returns.
#include "AUTestUnit.h"
#include "ArchiveTestUtil.h"

#include "au/quorleIds.h"
#include "graph/AveragerAN.h"
#include "main/VorlixMac.h"
#include "tools/PluginHost.h"

#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>

#if defined(__SANITIZE_ADDRESS__)
#define QUORLE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORLE_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;

std::vector<float> tone(size_t n, double step = 0.031, float amplitude = 0.4f) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = amplitude * static_cast<float>(std::sin(step * static_cast<double>(i)));
    return v;
}

double energy(const std::vector<float>& v) {
    double e = 0.0;
    for (float x : v)
        e += static_cast<double>(x) * x;
    return e;
}

// --- The averager's window ---

TEST(AveragerWindow, TheLongestWindowIsTheBound) {
    AveragerAN avg, fresh;
    avg.setAverageSamples(AveragerAN::kMaxAverageSamples);
    EXPECT_EQ(avg.averageSamples, 768000);
    avg.setAverageSamples(AveragerAN::kMaxAverageSamples + 1); // kept
    EXPECT_EQ(avg.averageSamples, 768000);
    fresh.setAverageSamples(AveragerAN::kMaxAverageSamples + 1); // no window yet: one sample
    EXPECT_EQ(fresh.averageSamples, 1);
}

// Run in a child process whose address space is capped and then filled, so that
// the ring of a new window cannot be allocated. Exit codes name what went wrong.
[[maybe_unused]] int windowsUnderAFailingAllocation() {
    AveragerAN held, fresh;
    held.setAverageSamples(8);
    const float* ring = held.ring;
    std::vector<void*> hoard;
    hoard.reserve(1 << 20);
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    if (pages <= 0)
        return 10;
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                       (rlim_t(32) << 20);
    rlimit limit = {cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0)
        return 11;
    // Every free block of 64 KiB or more is taken, so a 3 MB ring cannot be found.
    while (hoard.size() < hoard.capacity()) {
        void* p = std::malloc(64 << 10);
        if (!p)
            break;
        hoard.push_back(p);
    }
    if (hoard.size() == hoard.capacity())
        return 12;
    held.setAverageSamples(AveragerAN::kMaxAverageSamples);
    fresh.setAverageSamples(AveragerAN::kMaxAverageSamples);
    const bool heldKept = held.averageSamples == 8 && held.ring == ring;
    const bool freshEmpty = fresh.averageSamples == 0 && fresh.getParam(0) == 0.0f;
    for (void* p : hoard)
        std::free(p);
    if (!heldKept)
        return 1;
    if (!freshEmpty)
        return 2;
    // With the memory back, the same request succeeds: it was the allocation that failed.
    held.setAverageSamples(AveragerAN::kMaxAverageSamples);
    return held.averageSamples == AveragerAN::kMaxAverageSamples ? 0 : 13;
}

// Exit codes: 1 the held window changed, 2 a window appeared without a ring;
// 10..13 the memory could not be exhausted as planned.
TEST(AveragerWindowDeathTest, AFailedAllocationKeepsTheLastGoodWindow) {
#ifdef QUORLE_ASAN
    GTEST_SKIP() << "AddressSanitizer's allocator does not fail as malloc does";
#else
    EXPECT_EXIT(std::_Exit(windowsUnderAFailingAllocation()), testing::ExitedWithCode(0), "");
#endif
}

// --- Model entries: the size limit and damage ---

// A model of exactly `size` bytes: one inverter and a comment of padding.
std::string modelOfSize(size_t size, const std::string& marker = "pad") {
    const std::string head = "<quorle><fx id=\"m\" type=\"inv\"/><!--" + marker,
                      tail = "--></quorle>";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST(ModelEntries, ModelsOverOneMebibyteAndDamagedEntriesAreRefusedAndTheOldGraphPlays) {
    PluginDir dir;
    {
        ZipWriter zip(dir.path + "/quorle.data");
        zip.add("a.xml", modelOfSize(200));
        zip.add("b.xml", modelOfSize(1 << 20));
        zip.add("c.xml", modelOfSize((1 << 20) + 1));
        zip.add("d.xml", modelOfSize(300, "DAMAGED"), true); // stored: its bytes are in the file
        zip.add("e.xml", modelOfSize(300, "INTACT"), true);
        ASSERT_TRUE(zip.close());
    }
    // One byte of d's data changed; it is still a valid model, so only the checksum
    // can tell.
    const std::string path = dir.path + "/quorle.data";
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const size_t at = bytes.find("DAMAGEDxx");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 8] = 'y';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    VorlixMac fx;
    fx.init();
    ASSERT_EQ(fx.modelNames.size(), 5u);
    EXPECT_TRUE(fx.loadXmlZ(1)); // exactly 1 MiB
    AudioNode* graph = fx.graph;
    ASSERT_NE(graph, nullptr);
    EXPECT_FALSE(fx.loadXmlZ(2)); // one byte more
    EXPECT_FALSE(fx.loadXmlZ(3)); // a bad checksum
    EXPECT_EQ(fx.graph, graph);
    EXPECT_EQ(fx.currentModel, 1);
    EXPECT_TRUE(fx.loadXmlZ(4)); // the same model undamaged
}

// --- The audio-unit base: tail countdown and release of the object ---

struct TailUnit : autest::TestUnit {
    using TestUnit::TestUnit;
    bool SupportsTail() override { return true; }
    Float64 GetTailTime() override { return tailSeconds; }
    Float64 tailSeconds = 0.0;
};

ComponentResult TailEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<TailUnit>::Dispatch(params, static_cast<TailUnit*>(storage));
}

OSStatus FeedInput(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*, UInt32,
                   UInt32 frames, AudioBufferList* data) {
    for (UInt32 c = 0; c < data->mNumberBuffers; ++c)
        for (UInt32 i = 0; i < frames; ++i)
            static_cast<Float32*>(data->mBuffers[c].mData)[i] = 0.5f;
    if (*static_cast<bool*>(refCon))
        *flags |= kAudioUnitRenderAction_OutputIsSilence;
    return noErr;
}

// Silent input after a sounding block: whether each 64-frame render comes out
// flagged silent, for a tail of `seconds` at 44.1 kHz.
std::vector<bool> silentRenders(Float64 seconds, int renders) {
    const ComponentDescription description = {kAudioUnitType_Effect, 0x74737431, 0x51747374, 0, 0};
    AudioUnit unit = nullptr;
    std::vector<bool> silent;
    if (OpenAComponent(TailEntry, &description, &unit) != noErr)
        return silent;
    static_cast<TailUnit*>(GetComponentInstanceStorage(unit))->tailSeconds = seconds;
    bool inputSilent = false;
    AURenderCallbackStruct callback = {FeedInput, &inputSilent};
    AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                         &callback, sizeof(callback));
    if (AudioUnitInitialize(unit) == noErr) {
        autest::BufferList out(2, 64);
        for (int r = 0; r <= renders; ++r) {
            inputSilent = r > 0;
            AudioTimeStamp time = {};
            time.mSampleTime = 64.0 * r;
            time.mFlags = kAudioTimeStampSampleTimeValid;
            AudioUnitRenderActionFlags flags = 0;
            if (AudioUnitRender(unit, &flags, &time, 0, 64, out.get()) != noErr)
                break;
            if (r > 0)
                silent.push_back(flags & kAudioUnitRenderAction_OutputIsSilence);
        }
    }
    CloseComponent(unit);
    return silent;
}

TEST(AUTailCountdown, CountsDownToSilenceAndIsClampedInsteadOfWrapping) {
    const struct {
        Float64 seconds;
        std::vector<bool> silent;
    } cases[] = {
        {0.0, {true, true, true}},
        {100.0 / 44100.0, {false, false, true, true}}, // 100 frames: two 64-frame renders
        {1.0e9, {false, false, false, false}},         // beyond the countdown's range
        {std::numeric_limits<Float64>::quiet_NaN(), {true, true}}, // no tail
    };
    for (const auto& c : cases)
        EXPECT_EQ(silentRenders(c.seconds, static_cast<int>(c.silent.size())), c.silent)
            << "tail " << c.seconds << " s";
}

int gLivingUnits = 0;
int gThrowAt = 0; // 1: PostConstructor, 2: PreDestructor

struct CountedUnit : AUEffectBase {
    explicit CountedUnit(ComponentInstance instance) : AUEffectBase(instance) { ++gLivingUnits; }
    ~CountedUnit() override { --gLivingUnits; }
    void PostConstructor() override {
        AUEffectBase::PostConstructor();
        if (gThrowAt == 1)
            throw static_cast<OSStatus>(-3001);
    }
    void PreDestructor() override {
        AUEffectBase::PreDestructor();
        if (gThrowAt == 2)
            throw std::runtime_error("while closing");
    }
    AUKernelBase* NewKernel() override { return nullptr; }
};

ComponentResult CountedEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<CountedUnit>::Dispatch(params, static_cast<CountedUnit*>(storage));
}

TEST(AUEntryRelease, AFailingPostConstructorOrPreDestructorStillDestroysTheUnit) {
    const ComponentDescription description = {kAudioUnitType_Effect, 1, 2, 0, 0};
    AudioUnit unit = nullptr;
    gLivingUnits = 0;
    gThrowAt = 1;
    EXPECT_EQ(OpenAComponent(CountedEntry, &description, &unit), -3001);
    EXPECT_EQ(unit, nullptr);
    EXPECT_EQ(gLivingUnits, 0);

    gThrowAt = 2;
    ASSERT_EQ(OpenAComponent(CountedEntry, &description, &unit), noErr);
    EXPECT_EQ(gLivingUnits, 1);
    EXPECT_EQ(CloseComponent(unit), -1);
    EXPECT_EQ(gLivingUnits, 0);
    gThrowAt = 0;
}

// --- The LV2 plug-in ---

// The LV2 library of the built bundle, opened for the test.
class Lv2Library {
  public:
    Lv2Library() {
        const std::string path = std::string(QUORLE_BUNDLE_DIR) + "/quorle_lv2.so";
        present = fs::exists(path);
        handle = present ? dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto at = handle ? reinterpret_cast<const LV2_Descriptor* (*)(uint32_t)>(
                               dlsym(handle, "lv2_descriptor"))
                         : nullptr;
        mono = at ? at(0) : nullptr;
    }
    ~Lv2Library() {
        if (handle)
            dlclose(handle);
    }
    // Renders `in` through a fresh mono instance at 44.1 kHz with the model port at
    // `model`, in runs of the given lengths (repeated until the input is used up).
    std::vector<float> render(float model, const std::vector<float>& in,
                              const std::vector<uint32_t>& runs) const {
        LV2_Handle plugin = mono->instantiate(mono, 44100.0, QUORLE_BUNDLE_DIR, nullptr);
        if (!plugin)
            return {};
        float controls[4] = {0.6f, 0.5f, 0.5f, model};
        for (uint32_t p = 0; p < 4; ++p)
            mono->connect_port(plugin, p, &controls[p]);
        std::vector<float> out(in.size(), -9.0f);
        for (size_t at = 0, r = 0; at < in.size(); ++r) {
            const uint32_t n =
                static_cast<uint32_t>(std::min<size_t>(runs[r % runs.size()], in.size() - at));
            mono->connect_port(plugin, 4, const_cast<float*>(in.data() + at));
            mono->connect_port(plugin, 5, out.data() + at);
            mono->run(plugin, n);
            at += n;
        }
        mono->cleanup(plugin);
        return out;
    }
    bool present = false;
    void* handle = nullptr;
    const LV2_Descriptor* mono = nullptr;
};

#define REQUIRE_LV2(library)                                                                       \
    if (!(library).present)                                                                        \
        GTEST_SKIP() << "quorle_lv2.so is not built (target quorle_lv2)";                          \
    ASSERT_NE((library).mono, nullptr) << dlerror()

TEST(Lv2Plugin, AModelPortValueIsRoundedAndHeldWithinTheModelList) {
    Lv2Library library;
    REQUIRE_LV2(library);
    const std::vector<float> in = tone(4096);
    const std::vector<uint32_t> runs = {512};
    const std::vector<float> last = library.render(5.0f, in, runs),
                             first = library.render(0.0f, in, runs);
    ASSERT_GT(energy(last), 1.0);
    EXPECT_FALSE(library.render(4.0f, in, runs) == last); // the port does choose the model
    for (float beyond : {6.0f, 9.0f, 1e9f, 4.6f})
        EXPECT_TRUE(library.render(beyond, in, runs) == last) << beyond;
    for (float below : {-1.0f, -1e9f, 0.4f})
        EXPECT_TRUE(library.render(below, in, runs) == first) << below;
}

// Model 3's graph (the lead) has no block-dependent parameters, so any run lengths
// give the same output when every run renders at its own sample time.
TEST(Lv2Plugin, LongRunsAreSlicedAndOneFrameRunsAdvanceTheSampleTime) {
    Lv2Library library;
    REQUIRE_LV2(library);
    const std::vector<float> in = tone(10000);
    const std::vector<float> whole = library.render(3.0f, in, {10000});
    ASSERT_GT(energy({whole.begin() + 8192, whole.end()}), 1.0); // the last slice sounds
    EXPECT_TRUE(library.render(3.0f, in, {4096}) == whole);
    EXPECT_TRUE(library.render(3.0f, in, {1}) == whole);
    EXPECT_TRUE(library.render(3.0f, in, {1, 1, 5000, 3, 4097}) == whole);
}

TEST(Lv2Plugin, ActivatingAgainForgetsWhatWasHeard) {
    // Model 3's filters and saturators hold the noise heard before; a
    // host's deactivate/activate must start the instance afresh.
    Lv2Library library;
    REQUIRE_LV2(library);
    const LV2_Descriptor* mono = library.mono;
    ASSERT_NE(mono->activate, nullptr);
    const std::vector<float> in = tone(4096);
    const std::vector<float> fresh = library.render(3.0f, in, {512});
    LV2_Handle plugin = mono->instantiate(mono, 44100.0, QUORLE_BUNDLE_DIR, nullptr);
    ASSERT_NE(plugin, nullptr);
    float controls[4] = {0.6f, 0.5f, 0.5f, 3.0f};
    for (uint32_t p = 0; p < 4; ++p)
        mono->connect_port(plugin, p, &controls[p]);
    std::vector<float> noise(4096), out(in.size());
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = (i * 7919 % 201) / 100.0f - 1.0f;
    mono->activate(plugin);
    mono->connect_port(plugin, 4, noise.data());
    mono->connect_port(plugin, 5, out.data());
    mono->run(plugin, 4096);
    mono->deactivate ? mono->deactivate(plugin) : void();
    mono->activate(plugin);
    for (size_t at = 0; at < in.size(); at += 512) {
        mono->connect_port(plugin, 4, const_cast<float*>(in.data() + at));
        mono->connect_port(plugin, 5, out.data() + at);
        mono->run(plugin, 512);
    }
    mono->cleanup(plugin);
    EXPECT_TRUE(out == fresh);
}

// --- The shared host: the statuses it names ---

TEST(SharedHost, TheStatusesTheUnitReturnsHaveNames) {
    std::vector<OSStatus> statuses;
    {
        PluginDir noData; // the plug-in without its data archive
        fs::copy_file(fs::path(QUORLE_BUNDLE_DIR) / kQuorleLibraryName,
                      fs::path(noData.path) / kQuorleLibraryName);
        PluginHost host;
        std::string error;
        ASSERT_TRUE(host.load(noData.path, error)) << error;
        statuses.push_back(host.start(44100.0, 1, 256));
    }
    PluginHost host, slow;
    std::string error;
    ASSERT_TRUE(host.load(QUORLE_BUNDLE_DIR, error)) << error;
    ASSERT_TRUE(slow.load(QUORLE_BUNDLE_DIR, error)) << error;
    statuses.push_back(slow.start(1.0, 1, 256));
    ASSERT_EQ(host.start(44100.0, 1, 256), noErr);
    statuses.push_back(host.setParameter(3, 99.0f));
    std::vector<float> in(257), out(257);
    const float* i = in.data();
    float* o = out.data();
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
