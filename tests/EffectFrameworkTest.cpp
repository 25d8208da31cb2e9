// The effect record, the dispatchers, the entry functions and the host questions.
#include "effect/AudioEffectX.h"
#include "effect/EffectEditor.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace {

// An effect that records what the framework calls on it.
class ProbeEffect : public AudioEffectX {
  public:
    explicit ProbeEffect(HostCallback cb, int32_t programs = 4, int* deaths = nullptr)
        : AudioEffectX(cb, programs, 3), deaths(deaths) {}
    ~ProbeEffect() override {
        if (deaths)
            ++*deaths;
    }
    void process(float**, float**, int32_t frames) override { lastFrames = frames; }
    void processReplacing(float**, float**, int32_t frames) override { lastFrames = -frames; }
    void setParameter(int32_t index, float value) override {
        lastIndex = index;
        lastValue = value;
    }
    float getParameter(int32_t index) override { return index * 0.25f; }
    void suspend() override { ++suspends; }
    void resume() override { ++resumes; }
    float getVu() override { return vu; }

    int* deaths;
    int32_t lastFrames = 0, lastIndex = -1;
    float lastValue = 0.0f, vu = 0.5f;
    int suspends = 0, resumes = 0;
};

// One dispatcher call through the record, with index 0 and no pointer.
intptr_t call(AEffect* e, int32_t opcode, intptr_t value = 0, float opt = 0.0f) {
    return e->dispatcher(e, opcode, 0, value, nullptr, opt);
}

TEST(EffectRecord, NewEffectHasTheDocumentedValuesAndForwardsItsEntries) {
    ProbeEffect fx(masterCallback, 4);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(std::tuple(e->magic, e->uniqueId, e->numPrograms, e->numParams, e->numInputs,
                         e->numOutputs, e->flags, e->version, e->ioRatio, e->object),
              std::tuple(0x56737450, 0x4E6F4566, 4, 3, 1, 2, 0, 1, 1.0f, &fx));
    EXPECT_EQ(std::tuple(fx.getSampleRate(), fx.getBlockSize(), fx.getProgram()),
              std::tuple(44100.0f, 1024, 0));
    // Each entry function reaches the owning effect.
    e->setParameter(e, 2, 0.75f);
    EXPECT_EQ(std::make_pair(fx.lastIndex, fx.lastValue), std::make_pair(2, 0.75f));
    EXPECT_EQ(e->getParameter(e, 3), 0.75f);
    e->process(e, nullptr, nullptr, 64);
    EXPECT_EQ(fx.lastFrames, 64);
    e->processReplacing(e, nullptr, nullptr, 64);
    EXPECT_EQ(fx.lastFrames, -64);
    // Closing through the record destroys the effect once.
    int deaths = 0;
    EXPECT_EQ(call((new ProbeEffect(masterCallback, 1, &deaths))->getAeffect(), 1), 1);
    EXPECT_EQ(deaths, 1);
}

// Program selection stays within the programs (four here).
TEST(Dispatcher, ProgramSelectionFixedAnswersVuAndSuspendResume) {
    ProbeEffect fx(nullptr);
    AEffect* e = fx.getAeffect();
    call(e, 2, 3);
    EXPECT_EQ(call(e, 3), 3);
    call(e, 2, 4);                 // equal to the count: ignored
    call(e, 2, -1);                // negative: ignored
    call(e, 2, intptr_t(1) << 32); // would wrap to 0
    EXPECT_EQ(fx.getProgram(), 3);
    // Opcode, answer: keys not required (57), the version (58), no current MIDI
    // program (63), the VU level 0.5 (9).
    const std::pair<int32_t, intptr_t> answers[] = {
        {16, 0}, {17, 0},          {18, 0}, {20, 0},    {21, 0},  {77, 0},   {200, 0},
        {-1, 0}, {22, 0x4E764566}, {57, 1}, {58, 2300}, {63, -1}, {9, 16383}};
    for (auto [op, answer] : answers)
        EXPECT_EQ(call(e, op), answer) << "opcode " << op;
    fx.vu = std::numeric_limits<float>::infinity(); // bounded, not an overflowing conversion
    EXPECT_EQ(call(e, 9), INT32_MAX);
    call(e, 12, 0); // suspend
    EXPECT_EQ(std::make_pair(fx.suspends, fx.resumes), std::make_pair(1, 0));
    call(e, 12, 5); // resume
    EXPECT_EQ(std::make_pair(fx.suspends, fx.resumes), std::make_pair(1, 1));
    call(e, 10, 0, 96000.0f);
    call(e, 11, 256);
    EXPECT_EQ(fx.getSampleRate(), 96000.0f);
    EXPECT_EQ(fx.getBlockSize(), 256);
}

// The shipped host callback answers the pin question for one input; without a
// host every question has its fallback.
TEST(HostQuestions, MasterCallbackAndNoHostAnswers) {
    for (HostCallback host : {HostCallback(masterCallback), HostCallback(nullptr)}) {
        SCOPED_TRACE(host ? "master callback" : "no host");
        ProbeEffect fx(host);
        EXPECT_TRUE(fx.isInputConnected(0));
        EXPECT_EQ(fx.isInputConnected(7), !host);
        EXPECT_TRUE(fx.isOutputConnected(host ? 0 : 3));
        EXPECT_EQ(fx.getMasterVersion(), 1);
        fx.setSampleRate(48000.0f);
        EXPECT_EQ(fx.updateSampleRate(), 48000.0f);
        EXPECT_EQ(fx.updateBlockSize(), 1024);
        fx.setParameterAutomated(1, 0.3f);
        EXPECT_EQ(std::make_pair(fx.lastIndex, fx.lastValue), std::make_pair(1, 0.3f));
    }
}

// A host that answers every question with 7 and records opcode, index, value and option.
std::vector<std::tuple<int32_t, int32_t, intptr_t, float>> gCalls;
intptr_t recordingHost(AEffect*, int32_t opcode, int32_t index, intptr_t value, void*, float opt) {
    gCalls.emplace_back(opcode, index, value, opt);
    return 7;
}

TEST(HostQuestions, EachWrapperSendsItsOpcodeAndArguments) {
    gCalls.clear();
    ProbeEffect fx(recordingHost);
    fx.setParameterAutomated(2, 0.6f);
    EXPECT_EQ(fx.lastValue, 0.6f); // set as well as reported
    EXPECT_EQ(fx.getMasterVersion(), 7);
    EXPECT_FALSE(fx.isOutputConnected(3)); // any non-zero answer means not connected
    EXPECT_TRUE(fx.sizeWindow(640, 480));
    EXPECT_EQ(fx.updateSampleRate(), 7.0f);
    fx.getPreviousPlug(5);
    int file = 0;
    EXPECT_TRUE(fx.offlineStart(reinterpret_cast<VstAudioFile*>(&file), 3, 9));
    EXPECT_FALSE(fx.openFileSelector(nullptr));    // not sent at all
    EXPECT_FALSE(fx.sendVstEventsToHost(nullptr)); // only an answer of 1 counts
    // Opcode, index, value, option. getPreviousPlug does not send its pin number;
    // offlineStart sends the new-file count as the index and the file count as the value.
    const std::tuple<int32_t, int32_t, intptr_t, float> expected[] = {
        {0, 2, 0, 0.6f},  {1, 0, 0, 0.0f},  {4, 3, 1, 0.0f},  {15, 640, 480, 0.0f},
        {16, 0, 0, 0.0f}, {20, 0, 0, 0.0f}, {25, 9, 3, 0.0f}, {8, 0, 0, 0.0f},
    };
    EXPECT_EQ(gCalls, std::vector(std::begin(expected), std::end(expected)));
}

TEST(SpeakerArrangements, MatchCopiesTypeAndEverySpeaker) {
    ProbeEffect fx(nullptr);
    VstSpeakerArrangement *from = nullptr, *to = nullptr;
    ASSERT_TRUE(fx.allocateArrangement(&from, 3));
    from->type = 5;
    for (int i = 0; i < 3; ++i) {
        from->speakers()[i].azimuth = 0.1f * i;
        from->speakers()[i].type = i + 1;
        std::snprintf(from->speakers()[i].name, 64, "speaker %d", i);
    }
    std::memset(from->speakers()[2].future, 0x5a, 28);
    ASSERT_TRUE(fx.allocateArrangement(&to, 1)); // replaced, not leaked
    ASSERT_TRUE(fx.matchArrangement(&to, from));
    EXPECT_EQ(std::tuple(to->type, to->numChannels, std::string(to->speakers()[2].name),
                         to->speakers()[2].type, to->speakers()[1].azimuth,
                         to->speakers()[2].future[27]),
              std::tuple(5, 3, "speaker 2", 3, 0.1f, 0x5a));
    EXPECT_FALSE(fx.matchArrangement(&to, nullptr));
    EXPECT_FALSE(fx.copySpeaker(nullptr, from->speakers()));
    EXPECT_FALSE(fx.allocateArrangement(&to, -1));
    EXPECT_EQ(to, nullptr);
    EXPECT_TRUE(fx.deallocateArrangement(&from));
    EXPECT_EQ(from, nullptr);
}

} // namespace

namespace {

// An editor that records the calls the dispatcher makes on it; its owner deletes it.
struct RecordingEditor : EffectEditor {
    explicit RecordingEditor(std::vector<std::string>& log) : log(log) {}
    ~RecordingEditor() override { log.push_back("deleted"); }
    intptr_t getRect(EditorRect** rect) override {
        *rect = &area;
        return 11;
    }
    intptr_t open(void*) override { return 12; }
    void close() override { log.push_back("close"); }
    void idle() override { log.push_back("idle"); }
    intptr_t onKeyDown(EditorKey& key) override {
        log.push_back("down " + std::to_string(key.character) + " " +
                      std::to_string(key.virtualKey) + " " + std::to_string(key.modifier));
        return 1;
    }
    intptr_t onKeyUp(EditorKey&) override { return 2; }
    intptr_t setKnobMode(intptr_t mode) override { return mode + 100; }
    EditorRect area{1, 2, 3, 4};
    std::vector<std::string>& log;
};

struct EditedEffect : ProbeEffect {
    explicit EditedEffect(std::vector<std::string>& log) : ProbeEffect(nullptr) {
        editor = new RecordingEditor(log);
    }
};

TEST(Dispatcher, EditorOpcodesReachAnInstalledEditor) {
    std::vector<std::string> log;
    {
        EditedEffect fx(log);
        AEffect* e = fx.getAeffect();
        EditorRect* rect = nullptr;
        EXPECT_EQ(e->dispatcher(e, 13, 0, 0, &rect, 0.0f), 11);
        ASSERT_NE(rect, nullptr);
        EXPECT_EQ(rect->right, 4);
        // Opcode, index, value, option and the answer: open, close, idle, keys, knob mode.
        const std::tuple<int32_t, int32_t, intptr_t, float, intptr_t> calls[] = {
            {14, 0, 0, 0.0f, 12}, {15, 0, 0, 0.0f, 0},  {19, 0, 0, 0.0f, 0},
            {59, 65, 7, 3.0f, 1}, {60, 65, 7, 3.0f, 2}, {61, 0, 5, 0.0f, 105}};
        for (auto [op, index, value, opt, answer] : calls)
            EXPECT_EQ(e->dispatcher(e, op, index, value, nullptr, opt), answer) << "opcode " << op;
        EXPECT_NE(fx.getEditor(), nullptr);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"close", "idle", "down 65 7 3", "deleted"}));
}

} // namespace
