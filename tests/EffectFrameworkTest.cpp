// The effect record, the dispatchers, the entry functions and the host questions.
#include "effect/AudioEffectX.h"
#include "effect/CapabilityWords.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <cstring>
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
    void close() override { ++closes; }
    float getVu() override { return vu; }
    int32_t setChunk(void*, int32_t size, bool isPreset) override {
        return isPreset ? size : -size;
    }

    int* deaths;
    int32_t lastFrames = 0, lastIndex = -1;
    float lastValue = 0.0f, vu = 0.5f;
    int suspends = 0, resumes = 0, closes = 0;
};

// A host that answers every question with a fixed value and records the calls.
struct HostCall {
    int32_t opcode, index;
    intptr_t value;
    void* ptr;
    float opt;
};
std::vector<HostCall> gCalls;
intptr_t gAnswer = 0;
intptr_t recordingHost(AEffect*, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                       float opt) {
    gCalls.push_back({opcode, index, value, ptr, opt});
    return gAnswer;
}

TEST(EffectRecord, NewEffectHasTheDocumentedValues) {
    ProbeEffect fx(masterCallback, 4);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->uniqueId, 0x4E6F4566);
    EXPECT_EQ(e->numPrograms, 4);
    EXPECT_EQ(e->numParams, 3);
    EXPECT_EQ(e->numInputs, 1);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, 0);
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_EQ(e->object, &fx);
    EXPECT_EQ(e->user, nullptr);
    for (char c : e->future)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(fx.getSampleRate(), 44100.0f);
    EXPECT_EQ(fx.getBlockSize(), 1024);
    EXPECT_EQ(fx.getProgram(), 0);
    EXPECT_EQ(e->dispatcher, &dispatchEffectClass);
    EXPECT_EQ(e->processReplacing, &processClassReplacing);
}

TEST(EffectRecord, FlagSettersSetAndClearTheirBits) {
    ProbeEffect fx(nullptr);
    fx.hasClip(true);
    fx.canMono(true);
    fx.canProcessReplacing(true);
    fx.noTail(true);
    fx.hasExternalBuffer(true);
    EXPECT_EQ(fx.getAeffect()->flags, 2 | 8 | 16 | 512 | 2048);
    fx.canMono(false);
    fx.hasClip(false);
    EXPECT_EQ(fx.getAeffect()->flags, 16 | 512 | 2048);
    fx.isSynth(true);
    EXPECT_EQ(fx.getPlugCategory(), 2);
    fx.isSynth(false);
    EXPECT_EQ(fx.getPlugCategory(), 0);
}

TEST(EntryFunctions, ForwardToTheOwningEffect) {
    ProbeEffect fx(nullptr);
    AEffect* e = fx.getAeffect();
    e->setParameter(e, 2, 0.75f);
    EXPECT_EQ(fx.lastIndex, 2);
    EXPECT_EQ(fx.lastValue, 0.75f);
    EXPECT_EQ(e->getParameter(e, 3), 0.75f);
    e->process(e, nullptr, nullptr, 64);
    EXPECT_EQ(fx.lastFrames, 64);
    e->processReplacing(e, nullptr, nullptr, 64);
    EXPECT_EQ(fx.lastFrames, -64);
}

TEST(EntryFunctions, CloseThroughTheRecordDestroysTheEffectOnce) {
    int deaths = 0;
    auto* fx = new ProbeEffect(masterCallback, 1, &deaths);
    AEffect* e = fx->getAeffect();
    EXPECT_EQ(e->dispatcher(e, 1, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(deaths, 1);
}

TEST(Dispatcher, ProgramSelectionStaysWithinThePrograms) {
    ProbeEffect fx(nullptr, 4);
    AEffect* e = fx.getAeffect();
    e->dispatcher(e, 2, 0, 3, nullptr, 0.0f);
    EXPECT_EQ(e->dispatcher(e, 3, 0, 0, nullptr, 0.0f), 3);
    e->dispatcher(e, 2, 0, 4, nullptr, 0.0f);                 // equal to the count: ignored
    e->dispatcher(e, 2, 0, -1, nullptr, 0.0f);                // negative: ignored
    e->dispatcher(e, 2, 0, intptr_t(1) << 32, nullptr, 0.0f); // would wrap to 0
    EXPECT_EQ(fx.getProgram(), 3);
}

TEST(Dispatcher, BasicOpcodes) {
    ProbeEffect fx(nullptr);
    AEffect* e = fx.getAeffect();
    for (int32_t op : {16, 17, 18, 20, 21, 77, 200, -1, 13, 14, 59, 60, 61})
        EXPECT_EQ(e->dispatcher(e, op, 0, 0, nullptr, 0.0f), 0) << "opcode " << op;
    EXPECT_EQ(e->dispatcher(e, 22, 0, 0, nullptr, 0.0f), 0x4E764566);
    EXPECT_EQ(e->dispatcher(e, 9, 0, 0, nullptr, 0.0f), 16383);
    fx.vu = std::numeric_limits<float>::infinity();
    EXPECT_EQ(e->dispatcher(e, 9, 0, 0, nullptr, 0.0f), INT32_MAX);

    e->dispatcher(e, 12, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, 12, 0, 5, nullptr, 0.0f);
    EXPECT_EQ(fx.suspends, 1);
    EXPECT_EQ(fx.resumes, 1);

    e->dispatcher(e, 10, 0, 0, nullptr, 96000.0f);
    e->dispatcher(e, 11, 0, 256, nullptr, 0.0f);
    EXPECT_EQ(fx.getSampleRate(), 96000.0f);
    EXPECT_EQ(fx.getBlockSize(), 256);
    EXPECT_EQ(e->dispatcher(e, 43, 0, 64, nullptr, 48000.0f), 1);
    EXPECT_EQ(fx.getSampleRate(), 48000.0f);
    EXPECT_EQ(fx.getBlockSize(), 64);

    char text[kTextSize] = "xx";
    e->dispatcher(e, 8, 0, 0, text, 0.0f);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(e->dispatcher(e, 24, 1, 10, nullptr, 0.0f), 10);
    EXPECT_EQ(e->dispatcher(e, 24, 0, 10, nullptr, 0.0f), -10);
}

TEST(Dispatcher, ExtendedOpcodeResults) {
    ProbeEffect fx(nullptr);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(e->dispatcher(e, 57, 0, 0, nullptr, 0.0f), 1); // keys not required
    EXPECT_EQ(e->dispatcher(e, 58, 0, 0, nullptr, 0.0f), 2300);
    EXPECT_EQ(e->dispatcher(e, 26, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(e->dispatcher(e, 28, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(e->dispatcher(e, 31, 0, 1, nullptr, 0.0f), 1);
    EXPECT_EQ(e->dispatcher(e, 32, 0, 1, nullptr, 0.0f), 1);
    EXPECT_EQ(e->dispatcher(e, 63, 0, 0, nullptr, 0.0f), -1);
    EXPECT_EQ(e->dispatcher(e, 73, 0, 4410, nullptr, 0.0f), 4410);
    EXPECT_EQ(e->dispatcher(e, 51, 0, 0, const_cast<char*>("bypass"), 0.0f), 0);
    for (int32_t op : {25, 27, 29, 30, 33, 34, 35, 36, 37, 44, 45, 52, 54, 55, 69, 70, 74})
        EXPECT_EQ(e->dispatcher(e, op, 0, 0, nullptr, 0.0f), 0) << "opcode " << op;

    VstSpeakerArrangement dummy{};
    VstSpeakerArrangement* in = &dummy;
    VstSpeakerArrangement* out = &dummy;
    EXPECT_EQ(e->dispatcher(e, 69, 0, reinterpret_cast<intptr_t>(&in), &out, 0.0f), 0);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(out, nullptr);
}

TEST(HostQuestions, MasterCallbackAnswersOnlyThePinQuestion) {
    ProbeEffect fx(masterCallback);
    EXPECT_TRUE(fx.isInputConnected(0));
    EXPECT_FALSE(fx.isInputConnected(1));
    EXPECT_TRUE(fx.isOutputConnected(0));
    EXPECT_FALSE(fx.isOutputConnected(1));
    EXPECT_EQ(fx.getMasterVersion(), 1);
    fx.setSampleRate(48000.0f);
    fx.setBlockSize(128);
    EXPECT_EQ(fx.updateSampleRate(), 48000.0f);
    EXPECT_EQ(fx.updateBlockSize(), 128);
    EXPECT_FALSE(fx.sendVstEventsToHost(nullptr));
    EXPECT_FALSE(fx.canHostDo(const_cast<char*>("offline")));
    EXPECT_EQ(fx.getTimeInfo(0), nullptr);
}

TEST(HostQuestions, WithoutAHostEveryQuestionHasItsFallback) {
    ProbeEffect fx(nullptr);
    EXPECT_TRUE(fx.isInputConnected(0));
    EXPECT_TRUE(fx.isInputConnected(7));
    EXPECT_TRUE(fx.isOutputConnected(3));
    EXPECT_EQ(fx.getMasterVersion(), 1);
    EXPECT_EQ(fx.getCurrentUniqueId(), 0);
    EXPECT_EQ(fx.updateSampleRate(), 44100.0f);
    EXPECT_EQ(fx.updateBlockSize(), 1024);
    EXPECT_FALSE(fx.ioChanged());
    EXPECT_FALSE(fx.beginEdit(0));
    fx.setParameterAutomated(1, 0.3f);
    EXPECT_EQ(fx.lastIndex, 1);
    EXPECT_EQ(fx.lastValue, 0.3f);
}

TEST(HostQuestions, EachWrapperSendsItsOpcodeAndArguments) {
    gCalls.clear();
    gAnswer = 7;
    ProbeEffect fx(recordingHost);
    fx.setParameterAutomated(2, 0.6f);
    EXPECT_EQ(fx.lastValue, 0.6f); // set before the host hears of it
    EXPECT_EQ(fx.getMasterVersion(), 7);
    EXPECT_FALSE(fx.isOutputConnected(3)); // any non-zero answer means not connected
    EXPECT_TRUE(fx.sizeWindow(640, 480));
    EXPECT_EQ(fx.updateSampleRate(), 7.0f);
    fx.getPreviousPlug(5);
    int file = 0;
    EXPECT_TRUE(fx.offlineStart(reinterpret_cast<VstAudioFile*>(&file), 3, 9));
    EXPECT_FALSE(fx.openFileSelector(nullptr));    // not sent at all
    EXPECT_FALSE(fx.sendVstEventsToHost(nullptr)); // only an answer of 1 counts

    ASSERT_EQ(gCalls.size(), 8u);
    EXPECT_EQ(gCalls[0].opcode, 0);
    EXPECT_EQ(gCalls[0].index, 2);
    EXPECT_EQ(gCalls[0].opt, 0.6f);
    EXPECT_EQ(gCalls[1].opcode, 1);
    EXPECT_EQ(gCalls[2].opcode, 4);
    EXPECT_EQ(gCalls[2].index, 3);
    EXPECT_EQ(gCalls[2].value, 1);
    EXPECT_EQ(gCalls[3].opcode, 15);
    EXPECT_EQ(gCalls[3].index, 640);
    EXPECT_EQ(gCalls[3].value, 480);
    EXPECT_EQ(gCalls[4].opcode, 16);
    EXPECT_EQ(gCalls[5].opcode, 20);
    EXPECT_EQ(gCalls[5].index, 0); // the pin number is not sent
    EXPECT_EQ(gCalls[6].opcode, 25);
    EXPECT_EQ(gCalls[6].index, 9);
    EXPECT_EQ(gCalls[6].value, 3);
    EXPECT_EQ(gCalls[7].opcode, 8);
    gAnswer = 0;
}

TEST(SpeakerArrangements, MatchCopiesTypeAndEverySpeaker) {
    ProbeEffect fx(nullptr);
    VstSpeakerArrangement* from = nullptr;
    ASSERT_TRUE(fx.allocateArrangement(&from, 3));
    from->type = 5;
    for (int i = 0; i < 3; ++i) {
        from->speakers()[i].azimuth = 0.1f * i;
        from->speakers()[i].type = i + 1;
        std::snprintf(from->speakers()[i].name, 64, "speaker %d", i);
    }
    std::memset(from->speakers()[2].future, 0x5a, 28);

    VstSpeakerArrangement* to = nullptr;
    ASSERT_TRUE(fx.allocateArrangement(&to, 1)); // replaced, not leaked
    ASSERT_TRUE(fx.matchArrangement(&to, from));
    EXPECT_EQ(to->type, 5);
    EXPECT_EQ(to->numChannels, 3);
    EXPECT_STREQ(to->speakers()[2].name, "speaker 2");
    EXPECT_EQ(to->speakers()[2].type, 3);
    EXPECT_EQ(to->speakers()[1].azimuth, 0.1f);
    EXPECT_EQ(to->speakers()[2].future[27], 0x5a);

    EXPECT_FALSE(fx.matchArrangement(&to, nullptr));
    EXPECT_FALSE(fx.copySpeaker(nullptr, from->speakers()));
    EXPECT_FALSE(fx.allocateArrangement(&to, -1));
    EXPECT_EQ(to, nullptr);
    EXPECT_TRUE(fx.deallocateArrangement(&from));
    EXPECT_EQ(from, nullptr);
}

TEST(CapabilityWords, TablesHoldBothWordLists) {
    ASSERT_EQ(kNumEffectCanDoWords, 26u);
    ASSERT_EQ(kNumHostCanDoWords, 17u);
    EXPECT_STREQ(kEffectCanDoWords[0], "sendVstEvents");
    EXPECT_STREQ(kEffectCanDoWords[25], "bypass");
    EXPECT_STREQ(kHostCanDoWords[16], "startStopProcess");
}

} // namespace
