#include "effect/AudioEffectX.h"

#include "effect/EffectEditor.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

AudioEffectX::AudioEffectX(HostCallback callback, int32_t programs, int32_t params)
    : AudioEffect(callback, programs, params) {}

AudioEffectX::~AudioEffectX() = default;

// --- Defaults of the extended operations: nothing supported. ---

int32_t AudioEffectX::processEvents(VstEvents*) {
    return 0;
}
bool AudioEffectX::canParameterBeAutomated(int32_t) {
    return true;
}
bool AudioEffectX::string2parameter(int32_t, char*) {
    return false;
}
float AudioEffectX::getChannelParameter(int32_t, int32_t) {
    return 0.0f;
}
bool AudioEffectX::getProgramNameIndexed(int32_t, int32_t, char*) {
    return false;
}
bool AudioEffectX::copyProgram(int32_t) {
    return false;
}
void AudioEffectX::inputConnected(int32_t, bool) {}
void AudioEffectX::outputConnected(int32_t, bool) {}
bool AudioEffectX::getInputProperties(int32_t, VstPinProperties*) {
    return false;
}
bool AudioEffectX::getOutputProperties(int32_t, VstPinProperties*) {
    return false;
}
int32_t AudioEffectX::getPlugCategory() {
    return (effectRecord.flags & kFlagIsSynth) ? 2 : 0;
}
int32_t AudioEffectX::reportCurrentPosition() {
    return 0;
}
float* AudioEffectX::reportDestinationBuffer() {
    return nullptr;
}
bool AudioEffectX::offlineNotify(VstAudioFile*, int32_t, bool) {
    return false;
}
bool AudioEffectX::offlinePrepare(VstOfflineTask*, int32_t) {
    return false;
}
bool AudioEffectX::offlineRun(VstOfflineTask*, int32_t) {
    return false;
}
int32_t AudioEffectX::offlineGetNumPasses() {
    return 0;
}
int32_t AudioEffectX::offlineGetNumMetaPasses() {
    return 0;
}
bool AudioEffectX::processVariableIo(VstVariableIo*) {
    return false;
}
bool AudioEffectX::setSpeakerArrangement(VstSpeakerArrangement*, VstSpeakerArrangement*) {
    return false;
}
bool AudioEffectX::getSpeakerArrangement(VstSpeakerArrangement** input,
                                         VstSpeakerArrangement** output) {
    if (input)
        *input = nullptr;
    if (output)
        *output = nullptr;
    return false;
}
void AudioEffectX::setBlockSizeAndSampleRate(int32_t frames, float rate) {
    blockSize = frames;
    sampleRate = rate;
}
bool AudioEffectX::setBypass(bool) {
    return false;
}
bool AudioEffectX::getEffectName(char*) {
    return false;
}
bool AudioEffectX::getErrorText(char*) {
    return false;
}
bool AudioEffectX::getVendorString(char*) {
    return false;
}
bool AudioEffectX::getProductString(char*) {
    return false;
}
int32_t AudioEffectX::getVendorVersion() {
    return 0;
}
intptr_t AudioEffectX::vendorSpecific(int32_t, intptr_t, void*, float) {
    return 0;
}
int32_t AudioEffectX::canDo(char*) {
    return 0;
}
void* AudioEffectX::getIcon() {
    return nullptr;
}
bool AudioEffectX::setViewPosition(int32_t, int32_t) {
    return false;
}
int32_t AudioEffectX::getGetTailSize() {
    return 0;
}
int32_t AudioEffectX::fxIdle() {
    return 0;
}
bool AudioEffectX::getParameterProperties(int32_t, VstParameterProperties*) {
    return false;
}
bool AudioEffectX::keysRequired() {
    return false;
}
int32_t AudioEffectX::getMidiProgramName(int32_t, MidiProgramName*) {
    return 0;
}
int32_t AudioEffectX::getCurrentMidiProgram(int32_t, MidiProgramName*) {
    return -1;
}
int32_t AudioEffectX::getMidiProgramCategory(int32_t, MidiProgramCategory*) {
    return 0;
}
bool AudioEffectX::hasMidiProgramsChanged(int32_t) {
    return false;
}
bool AudioEffectX::getMidiKeyName(int32_t, MidiKeyName*) {
    return false;
}
bool AudioEffectX::beginSetProgram() {
    return false;
}
bool AudioEffectX::endSetProgram() {
    return false;
}
int32_t AudioEffectX::getNextShellPlugin(char*) {
    return 0;
}
int32_t AudioEffectX::startProcess() {
    return 0;
}
int32_t AudioEffectX::stopProcess() {
    return 0;
}
bool AudioEffectX::setPanLaw(int32_t, float) {
    return false;
}
int32_t AudioEffectX::beginLoadBank(VstPatchChunkInfo*) {
    return 0;
}
int32_t AudioEffectX::beginLoadProgram(VstPatchChunkInfo*) {
    return 0;
}

// --- Extended host questions: one host opcode each. ---

void AudioEffectX::wantEvents(int32_t filter) {
    callHost(6, 0, filter, nullptr, 0.0f, 0);
}

VstTimeInfo* AudioEffectX::getTimeInfo(int32_t filter) {
    return reinterpret_cast<VstTimeInfo*>(callHost(7, 0, filter, nullptr, 0.0f, 0));
}

bool AudioEffectX::sendVstEventsToHost(VstEvents* events) {
    return callHost(8, 0, 0, events, 0.0f, 0) == 1;
}

int32_t AudioEffectX::tempoAt(int32_t pos) {
    return static_cast<int32_t>(callHost(10, 0, pos, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getNumAutomatableParameters() {
    return static_cast<int32_t>(callHost(11, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getParameterQuantization() {
    return static_cast<int32_t>(callHost(12, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::ioChanged() {
    return callHost(13, 0, 0, nullptr, 0.0f, 0) != 0;
}
bool AudioEffectX::needIdle() {
    return callHost(14, 0, 0, nullptr, 0.0f, 0) != 0;
}

bool AudioEffectX::sizeWindow(int32_t width, int32_t height) {
    return callHost(15, width, height, nullptr, 0.0f, 0) != 0;
}

float AudioEffectX::updateSampleRate() {
    intptr_t answer = callHost(16, 0, 0, nullptr, 0.0f, 0);
    if (answer > 0)
        sampleRate = static_cast<float>(answer);
    return sampleRate;
}

int32_t AudioEffectX::updateBlockSize() {
    intptr_t answer = callHost(17, 0, 0, nullptr, 0.0f, 0);
    if (answer > 0)
        blockSize = static_cast<int32_t>(answer);
    return blockSize;
}

int32_t AudioEffectX::getInputLatency() {
    return static_cast<int32_t>(callHost(18, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getOutputLatency() {
    return static_cast<int32_t>(callHost(19, 0, 0, nullptr, 0.0f, 0));
}

// The pin number is not part of the question.
AEffect* AudioEffectX::getPreviousPlug(int32_t) {
    return reinterpret_cast<AEffect*>(callHost(20, 0, 0, nullptr, 0.0f, 0));
}

AEffect* AudioEffectX::getNextPlug(int32_t) {
    return reinterpret_cast<AEffect*>(callHost(21, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::willProcessReplacing() {
    return static_cast<int32_t>(callHost(22, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getCurrentProcessLevel() {
    return static_cast<int32_t>(callHost(23, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getAutomationState() {
    return static_cast<int32_t>(callHost(24, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::offlineStart(VstAudioFile* files, int32_t numAudioFiles,
                                int32_t numNewAudioFiles) {
    return callHost(25, numNewAudioFiles, numAudioFiles, files, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineRead(VstOfflineTask* task, int32_t option, bool readSource) {
    return callHost(26, readSource, option, task, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineWrite(VstOfflineTask* task, int32_t option) {
    return callHost(27, 0, option, task, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineGetCurrentPass() {
    return callHost(28, 0, 0, nullptr, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineGetCurrentMetaPass() {
    return callHost(29, 0, 0, nullptr, 0.0f, 0) != 0;
}

void AudioEffectX::setOutputSamplerate(float rate) {
    callHost(30, 0, 0, nullptr, rate, 0);
}

VstSpeakerArrangement* AudioEffectX::getOutputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(callHost(31, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::getHostVendorString(char* text) {
    return callHost(32, 0, 0, text, 0.0f, 0) != 0;
}

bool AudioEffectX::getHostProductString(char* text) {
    return callHost(33, 0, 0, text, 0.0f, 0) != 0;
}

int32_t AudioEffectX::getHostVendorVersion() {
    return static_cast<int32_t>(callHost(34, 0, 0, nullptr, 0.0f, 0));
}

intptr_t AudioEffectX::hostVendorSpecific(int32_t index, intptr_t value, void* ptr, float opt) {
    return callHost(35, index, value, ptr, opt, 0);
}

bool AudioEffectX::canHostDo(char* text) {
    return callHost(37, 0, 0, text, 0.0f, 0) != 0;
}

int32_t AudioEffectX::getHostLanguage() {
    return static_cast<int32_t>(callHost(38, 0, 0, nullptr, 0.0f, 0));
}

void* AudioEffectX::openWindow(VstWindow* window) {
    return reinterpret_cast<void*>(callHost(39, 0, 0, window, 0.0f, 0));
}

bool AudioEffectX::closeWindow(VstWindow* window) {
    return callHost(40, 0, 0, window, 0.0f, 0) != 0;
}

void* AudioEffectX::getDirectory() {
    return reinterpret_cast<void*>(callHost(41, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::updateDisplay() {
    return callHost(42, 0, 0, nullptr, 0.0f, 0) != 0;
}
bool AudioEffectX::beginEdit(int32_t index) {
    return callHost(43, index, 0, nullptr, 0.0f, 0) != 0;
}
bool AudioEffectX::endEdit(int32_t index) {
    return callHost(44, index, 0, nullptr, 0.0f, 0) != 0;
}

bool AudioEffectX::openFileSelector(VstFileSelect* select) {
    return select && callHost(45, 0, 0, select, 0.0f, 0) != 0;
}

bool AudioEffectX::closeFileSelector(VstFileSelect* select) {
    return select && callHost(46, 0, 0, select, 0.0f, 0) != 0;
}

bool AudioEffectX::getChunkFile(void* nativePath) {
    return nativePath && callHost(48, 0, 0, nativePath, 0.0f, 0) != 0;
}

VstSpeakerArrangement* AudioEffectX::getInputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(callHost(49, 0, 0, nullptr, 0.0f, 0));
}

// --- Speaker arrangements. ---

bool AudioEffectX::allocateArrangement(VstSpeakerArrangement** arrangement, int32_t channels) {
    if (*arrangement) {
        std::free(*arrangement);
        *arrangement = nullptr;
    }
    if (channels < 0)
        return false;
    size_t bytes = sizeof(VstSpeakerArrangement) +
                   static_cast<size_t>(channels) * sizeof(VstSpeakerProperties);
    auto* block = static_cast<VstSpeakerArrangement*>(std::calloc(1, bytes));
    if (!block)
        return false;
    block->numChannels = channels;
    *arrangement = block;
    return true;
}

bool AudioEffectX::deallocateArrangement(VstSpeakerArrangement** arrangement) {
    if (*arrangement) {
        std::free(*arrangement);
        *arrangement = nullptr;
    }
    return true;
}

bool AudioEffectX::copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
    if (!to || !from)
        return false;
    // The source name need not be terminated: at most 63 characters are read.
    std::snprintf(to->name, sizeof(to->name), "%.*s", static_cast<int>(sizeof(to->name) - 1),
                  from->name);
    to->type = from->type;
    to->azimuth = from->azimuth;
    to->elevation = from->elevation;
    to->radius = from->radius;
    to->reserved = from->reserved;
    std::memcpy(to->future, from->future, sizeof(to->future));
    return true;
}

bool AudioEffectX::matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
    if (!from)
        return false;
    if (!deallocateArrangement(to) || !allocateArrangement(to, from->numChannels))
        return false;
    (*to)->type = from->type;
    for (int32_t i = 0; i < from->numChannels; ++i)
        if (!copySpeaker(&(*to)->speakers()[i], &from->speakers()[i]))
            return false;
    return true;
}

// --- Dispatcher for the extended opcodes; the rest go to the base. ---

intptr_t AudioEffectX::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                  float opt) {
    auto text = static_cast<char*>(ptr);
    auto v32 = static_cast<int32_t>(value);
    switch (opcode) {
    case 25: return processEvents(static_cast<VstEvents*>(ptr));
    case 26: return canParameterBeAutomated(index) ? 1 : 0;
    case 27: return string2parameter(index, text) ? 1 : 0;
    case 28: return getNumCategories();
    case 29: return getProgramNameIndexed(v32, index, text) ? 1 : 0;
    case 30: return copyProgram(index) ? 1 : 0;
    case 31: inputConnected(index, value != 0); return 1;
    case 32: outputConnected(index, value != 0); return 1;
    case 33: return getInputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case 34: return getOutputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case 35: return getPlugCategory();
    case 36: return reportCurrentPosition();
    case 37: return reinterpret_cast<intptr_t>(reportDestinationBuffer());
    case 38: return offlineNotify(static_cast<VstAudioFile*>(ptr), v32, index != 0) ? 1 : 0;
    case 39: return offlinePrepare(static_cast<VstOfflineTask*>(ptr), v32) ? 1 : 0;
    case 40: return offlineRun(static_cast<VstOfflineTask*>(ptr), v32) ? 1 : 0;
    case 41: return processVariableIo(static_cast<VstVariableIo*>(ptr)) ? 1 : 0;
    case 42:
        return setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                     static_cast<VstSpeakerArrangement*>(ptr))
                   ? 1
                   : 0;
    case 43: setBlockSizeAndSampleRate(v32, opt); return 1;
    case 44: return setBypass(value != 0) ? 1 : 0;
    case 45: return getEffectName(text) ? 1 : 0;
    case 46: return getErrorText(text) ? 1 : 0;
    case 47: return getVendorString(text) ? 1 : 0;
    case 48: return getProductString(text) ? 1 : 0;
    case 49: return getVendorVersion();
    case 50: return vendorSpecific(index, value, ptr, opt);
    case 51: return canDo(text);
    case 52: return getGetTailSize();
    case 53: return fxIdle();
    case 54: return reinterpret_cast<intptr_t>(getIcon());
    case 55: return setViewPosition(index, v32) ? 1 : 0;
    case 56:
        return getParameterProperties(index, static_cast<VstParameterProperties*>(ptr)) ? 1 : 0;
    case 57: return keysRequired() ? 0 : 1;
    case 58: return getVstVersion();
    case 59:
    case 60:
    case 61: {
        if (!editor)
            return 0;
        if (opcode == 61)
            return editor->setKnobMode(value);
        int modifier = static_cast<int>(std::fmin(std::fmax(opt, 0.0f), 255.0f));
        EditorKey key{index, static_cast<uint8_t>(value), static_cast<uint8_t>(modifier), {0, 0}};
        return opcode == 59 ? editor->onKeyDown(key) : editor->onKeyUp(key);
    }
    case 62: return getMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
    case 63: return getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
    case 64: return getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
    case 65: return hasMidiProgramsChanged(index) ? 1 : 0;
    case 66: return getMidiKeyName(index, static_cast<MidiKeyName*>(ptr)) ? 1 : 0;
    case 67: return beginSetProgram() ? 1 : 0;
    case 68: return endSetProgram() ? 1 : 0;
    case 69:
        return getSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement**>(value),
                                     static_cast<VstSpeakerArrangement**>(ptr))
                   ? 1
                   : 0;
    case 70: return getNextShellPlugin(text);
    case 71: return startProcess();
    case 72: return stopProcess();
    case 73: return setTotalSampleToProcess(v32);
    case 74: return setPanLaw(v32, opt) ? 1 : 0;
    case 75: return beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr));
    case 76: return beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr));
    default: return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}
