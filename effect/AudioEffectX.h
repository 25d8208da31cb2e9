// The extended effect: the full set of dispatcher opcodes (25..76), the extended
// host questions, and harmless defaults for every extended operation. Concrete
// effects derive from this class and override what they support.
#pragma once

#include "effect/AudioEffect.h"

// What an effect tells hosts about itself. A null text is one the effect does not
// give (its getter returns false); texts longer than kTextSize - 1 are cut there.
struct EffectIdentity {
    const char* effectName;
    const char* vendor;
    const char* product;
    int32_t vendorVersion;
    int32_t plugCategory;
};

class AudioEffectX : public AudioEffect {
  public:
    AudioEffectX(HostCallback callback, int32_t numPrograms, int32_t numParams);
    ~AudioEffectX() override;

    intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                        float opt) override;

    virtual EffectEditor* getEditor() { return editor; }
    virtual void wantEvents(int32_t filter = 1);
    virtual VstTimeInfo* getTimeInfo(int32_t filter);
    virtual int32_t tempoAt(int32_t pos);
    virtual int32_t processEvents(VstEvents* events);
    virtual int32_t getNumAutomatableParameters();
    virtual int32_t getParameterQuantization();
    virtual bool canParameterBeAutomated(int32_t index);
    virtual bool string2parameter(int32_t index, char* text);
    virtual float getChannelParameter(int32_t channel, int32_t index);
    virtual int32_t getNumCategories() { return 1; }
    virtual bool getProgramNameIndexed(int32_t category, int32_t index, char* text);
    virtual bool copyProgram(int32_t destination);
    virtual bool ioChanged();
    virtual bool needIdle();
    virtual bool sizeWindow(int32_t width, int32_t height);
    virtual float updateSampleRate(); // Hz
    virtual int32_t updateBlockSize();
    virtual int32_t getInputLatency();
    virtual int32_t getOutputLatency();
    virtual AEffect* getPreviousPlug(int32_t input);
    virtual AEffect* getNextPlug(int32_t output);
    virtual void inputConnected(int32_t index, bool state);
    virtual void outputConnected(int32_t index, bool state);
    virtual bool getInputProperties(int32_t index, VstPinProperties* properties);
    virtual bool getOutputProperties(int32_t index, VstPinProperties* properties);
    virtual int32_t getPlugCategory();
    virtual int32_t willProcessReplacing();
    virtual int32_t getCurrentProcessLevel();
    virtual int32_t getAutomationState();
    virtual void wantAsyncOperation(bool state) { setFlag(kFlagAsyncOperation, state); }
    virtual void hasExternalBuffer(bool state) { setFlag(kFlagExternalBuffer, state); }
    virtual int32_t reportCurrentPosition();
    virtual float* reportDestinationBuffer();
    virtual bool offlineRead(VstOfflineTask* task, int32_t option, bool readSource = true);
    virtual bool offlineWrite(VstOfflineTask* task, int32_t option);
    virtual bool offlineStart(VstAudioFile* files, int32_t numAudioFiles, int32_t numNewAudioFiles);
    virtual bool offlineGetCurrentPass();
    virtual bool offlineGetCurrentMetaPass();
    virtual bool offlineNotify(VstAudioFile* files, int32_t numAudioFiles, bool start);
    virtual bool offlinePrepare(VstOfflineTask* tasks, int32_t count);
    virtual bool offlineRun(VstOfflineTask* tasks, int32_t count);
    virtual int32_t offlineGetNumPasses();
    virtual int32_t offlineGetNumMetaPasses();
    virtual void setOutputSamplerate(float rate);
    virtual VstSpeakerArrangement* getInputSpeakerArrangement();
    virtual VstSpeakerArrangement* getOutputSpeakerArrangement();
    virtual bool getHostVendorString(char* text);
    virtual bool getHostProductString(char* text);
    virtual int32_t getHostVendorVersion();
    virtual intptr_t hostVendorSpecific(int32_t index, intptr_t value, void* ptr, float opt);
    virtual bool canHostDo(char* text);
    virtual void isSynth(bool state) { setFlag(kFlagIsSynth, state); }
    virtual void noTail(bool state) { setFlag(kFlagNoTail, state); }
    virtual int32_t getHostLanguage();
    virtual void* openWindow(VstWindow* window);
    virtual bool closeWindow(VstWindow* window);
    virtual void* getDirectory();
    virtual bool updateDisplay();
    virtual bool processVariableIo(VstVariableIo* io);
    virtual bool setSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output);
    virtual bool getSpeakerArrangement(VstSpeakerArrangement** input,
                                       VstSpeakerArrangement** output);
    virtual void setBlockSizeAndSampleRate(int32_t frames, float rate);
    virtual bool setBypass(bool onOff);
    virtual bool getEffectName(char* name);
    virtual bool getErrorText(char* text);
    virtual bool getVendorString(char* text);
    virtual bool getProductString(char* text);
    virtual int32_t getVendorVersion();
    virtual intptr_t vendorSpecific(int32_t index, intptr_t value, void* ptr, float opt);
    virtual int32_t canDo(char* text);
    virtual void* getIcon();
    virtual bool setViewPosition(int32_t x, int32_t y);
    virtual int32_t getGetTailSize();
    virtual int32_t fxIdle();
    virtual bool getParameterProperties(int32_t index, VstParameterProperties* properties);
    virtual bool keysRequired();
    virtual int32_t getVstVersion() { return 2300; }
    virtual int32_t getMidiProgramName(int32_t channel, MidiProgramName* name);
    virtual int32_t getCurrentMidiProgram(int32_t channel, MidiProgramName* current);
    virtual int32_t getMidiProgramCategory(int32_t channel, MidiProgramCategory* category);
    virtual bool hasMidiProgramsChanged(int32_t channel);
    virtual bool getMidiKeyName(int32_t channel, MidiKeyName* keyName);
    virtual bool beginSetProgram();
    virtual bool endSetProgram();
    virtual bool beginEdit(int32_t index);
    virtual bool endEdit(int32_t index);
    virtual bool openFileSelector(VstFileSelect* select);
    virtual int32_t setTotalSampleToProcess(int32_t value) { return value; }
    virtual int32_t getNextShellPlugin(char* name);
    virtual int32_t startProcess();
    virtual int32_t stopProcess();
    virtual bool setPanLaw(int32_t type, float value);
    virtual int32_t beginLoadBank(VstPatchChunkInfo* info);
    virtual int32_t beginLoadProgram(VstPatchChunkInfo* info);
    // Speaker arrangements live in one heap block: header plus `channels` speakers.
    virtual bool allocateArrangement(VstSpeakerArrangement** arrangement, int32_t channels);
    virtual bool deallocateArrangement(VstSpeakerArrangement** arrangement);
    virtual bool copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from);
    virtual bool matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from);

    bool sendVstEventsToHost(VstEvents* events);
    bool closeFileSelector(VstFileSelect* select);
    bool getChunkFile(void* nativePath);

  protected:
    // The texts and numbers getEffectName, getVendorString, getProductString,
    // getVendorVersion and getPlugCategory answer with; `id` outlives the effect
    // (a constant). Without it they give nothing, version 0 and the category the
    // synth flag implies.
    void setIdentity(const EffectIdentity& id) { identity = &id; }

  private:
    const EffectIdentity* identity = nullptr;
};
