#include "effect/AudioEffectX.h"

#include "effect/EffectEditor.h"
#include "effect/EffectOpcodes.h"

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
    if (identity)
        return identity->plugCategory;
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
namespace {
// Copies `text` (when there is one) into a host's buffer of kTextSize bytes.
bool identityText(char* to, const char* text) {
    if (!text)
        return false;
    std::snprintf(to, kTextSize, "%s", text);
    return true;
}
} // namespace

bool AudioEffectX::getEffectName(char* name) {
    return identityText(name, identity ? identity->effectName : nullptr);
}
bool AudioEffectX::getErrorText(char*) {
    return false;
}
bool AudioEffectX::getVendorString(char* text) {
    return identityText(text, identity ? identity->vendor : nullptr);
}
bool AudioEffectX::getProductString(char* text) {
    return identityText(text, identity ? identity->product : nullptr);
}
int32_t AudioEffectX::getVendorVersion() {
    return identity ? identity->vendorVersion : 0;
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
    callHost(kHostWantEvents, 0, filter, nullptr, 0.0f, 0);
}

VstTimeInfo* AudioEffectX::getTimeInfo(int32_t filter) {
    return reinterpret_cast<VstTimeInfo*>(callHost(kHostGetTimeInfo, 0, filter, nullptr, 0.0f, 0));
}

bool AudioEffectX::sendVstEventsToHost(VstEvents* events) {
    return callHost(kHostSendEvents, 0, 0, events, 0.0f, 0) == 1;
}

int32_t AudioEffectX::tempoAt(int32_t pos) {
    return static_cast<int32_t>(callHost(kHostTempoAt, 0, pos, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getNumAutomatableParameters() {
    return static_cast<int32_t>(callHost(kHostGetNumAutomatableParameters, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getParameterQuantization() {
    return static_cast<int32_t>(callHost(kHostGetParameterQuantization, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::ioChanged() {
    return callHost(kHostIoChanged, 0, 0, nullptr, 0.0f, 0) != 0;
}
bool AudioEffectX::needIdle() {
    return callHost(kHostNeedIdle, 0, 0, nullptr, 0.0f, 0) != 0;
}

bool AudioEffectX::sizeWindow(int32_t width, int32_t height) {
    return callHost(kHostSizeWindow, width, height, nullptr, 0.0f, 0) != 0;
}

float AudioEffectX::updateSampleRate() {
    intptr_t answer = callHost(kHostUpdateSampleRate, 0, 0, nullptr, 0.0f, 0);
    if (answer > 0)
        sampleRate = static_cast<float>(answer);
    return sampleRate;
}

int32_t AudioEffectX::updateBlockSize() {
    intptr_t answer = callHost(kHostUpdateBlockSize, 0, 0, nullptr, 0.0f, 0);
    if (answer > 0)
        blockSize = static_cast<int32_t>(answer);
    return blockSize;
}

int32_t AudioEffectX::getInputLatency() {
    return static_cast<int32_t>(callHost(kHostGetInputLatency, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getOutputLatency() {
    return static_cast<int32_t>(callHost(kHostGetOutputLatency, 0, 0, nullptr, 0.0f, 0));
}

// The pin number is not part of the question.
AEffect* AudioEffectX::getPreviousPlug(int32_t) {
    return reinterpret_cast<AEffect*>(callHost(kHostGetPreviousPlug, 0, 0, nullptr, 0.0f, 0));
}

AEffect* AudioEffectX::getNextPlug(int32_t) {
    return reinterpret_cast<AEffect*>(callHost(kHostGetNextPlug, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::willProcessReplacing() {
    return static_cast<int32_t>(callHost(kHostWillProcessReplacing, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getCurrentProcessLevel() {
    return static_cast<int32_t>(callHost(kHostGetCurrentProcessLevel, 0, 0, nullptr, 0.0f, 0));
}

int32_t AudioEffectX::getAutomationState() {
    return static_cast<int32_t>(callHost(kHostGetAutomationState, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::offlineStart(VstAudioFile* files, int32_t numAudioFiles,
                                int32_t numNewAudioFiles) {
    return callHost(kHostOfflineStart, numNewAudioFiles, numAudioFiles, files, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineRead(VstOfflineTask* task, int32_t option, bool readSource) {
    return callHost(kHostOfflineRead, readSource, option, task, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineWrite(VstOfflineTask* task, int32_t option) {
    return callHost(kHostOfflineWrite, 0, option, task, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineGetCurrentPass() {
    return callHost(kHostOfflineGetCurrentPass, 0, 0, nullptr, 0.0f, 0) != 0;
}

bool AudioEffectX::offlineGetCurrentMetaPass() {
    return callHost(kHostOfflineGetCurrentMetaPass, 0, 0, nullptr, 0.0f, 0) != 0;
}

void AudioEffectX::setOutputSamplerate(float rate) {
    callHost(kHostSetOutputSampleRate, 0, 0, nullptr, rate, 0);
}

VstSpeakerArrangement* AudioEffectX::getOutputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(
        callHost(kHostGetOutputSpeakerArrangement, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::getHostVendorString(char* text) {
    return callHost(kHostGetVendorString, 0, 0, text, 0.0f, 0) != 0;
}

bool AudioEffectX::getHostProductString(char* text) {
    return callHost(kHostGetProductString, 0, 0, text, 0.0f, 0) != 0;
}

int32_t AudioEffectX::getHostVendorVersion() {
    return static_cast<int32_t>(callHost(kHostGetVendorVersion, 0, 0, nullptr, 0.0f, 0));
}

intptr_t AudioEffectX::hostVendorSpecific(int32_t index, intptr_t value, void* ptr, float opt) {
    return callHost(kHostVendorSpecific, index, value, ptr, opt, 0);
}

bool AudioEffectX::canHostDo(char* text) {
    return callHost(kHostCanDo, 0, 0, text, 0.0f, 0) != 0;
}

int32_t AudioEffectX::getHostLanguage() {
    return static_cast<int32_t>(callHost(kHostGetLanguage, 0, 0, nullptr, 0.0f, 0));
}

void* AudioEffectX::openWindow(VstWindow* window) {
    return reinterpret_cast<void*>(callHost(kHostOpenWindow, 0, 0, window, 0.0f, 0));
}

bool AudioEffectX::closeWindow(VstWindow* window) {
    return callHost(kHostCloseWindow, 0, 0, window, 0.0f, 0) != 0;
}

void* AudioEffectX::getDirectory() {
    return reinterpret_cast<void*>(callHost(kHostGetDirectory, 0, 0, nullptr, 0.0f, 0));
}

bool AudioEffectX::updateDisplay() {
    return callHost(kHostUpdateDisplay, 0, 0, nullptr, 0.0f, 0) != 0;
}
bool AudioEffectX::beginEdit(int32_t index) {
    return callHost(kHostBeginEdit, index, 0, nullptr, 0.0f, 0) != 0;
}
bool AudioEffectX::endEdit(int32_t index) {
    return callHost(kHostEndEdit, index, 0, nullptr, 0.0f, 0) != 0;
}

bool AudioEffectX::openFileSelector(VstFileSelect* select) {
    return select && callHost(kHostOpenFileSelector, 0, 0, select, 0.0f, 0) != 0;
}

bool AudioEffectX::closeFileSelector(VstFileSelect* select) {
    return select && callHost(kHostCloseFileSelector, 0, 0, select, 0.0f, 0) != 0;
}

bool AudioEffectX::getChunkFile(void* nativePath) {
    return nativePath && callHost(kHostGetChunkFile, 0, 0, nativePath, 0.0f, 0) != 0;
}

VstSpeakerArrangement* AudioEffectX::getInputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(
        callHost(kHostGetInputSpeakerArrangement, 0, 0, nullptr, 0.0f, 0));
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
    case kOpProcessEvents: return processEvents(static_cast<VstEvents*>(ptr));
    case kOpCanParameterBeAutomated: return canParameterBeAutomated(index) ? 1 : 0;
    case kOpStringToParameter: return string2parameter(index, text) ? 1 : 0;
    case kOpGetNumCategories: return getNumCategories();
    case kOpGetProgramNameIndexed: return getProgramNameIndexed(v32, index, text) ? 1 : 0;
    case kOpCopyProgram: return copyProgram(index) ? 1 : 0;
    case kOpInputConnected: inputConnected(index, value != 0); return 1;
    case kOpOutputConnected: outputConnected(index, value != 0); return 1;
    case kOpGetInputProperties:
        return getInputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case kOpGetOutputProperties:
        return getOutputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case kOpGetPlugCategory: return getPlugCategory();
    case kOpReportCurrentPosition: return reportCurrentPosition();
    case kOpReportDestinationBuffer: return reinterpret_cast<intptr_t>(reportDestinationBuffer());
    case kOpOfflineNotify:
        return offlineNotify(static_cast<VstAudioFile*>(ptr), v32, index != 0) ? 1 : 0;
    case kOpOfflinePrepare: return offlinePrepare(static_cast<VstOfflineTask*>(ptr), v32) ? 1 : 0;
    case kOpOfflineRun: return offlineRun(static_cast<VstOfflineTask*>(ptr), v32) ? 1 : 0;
    case kOpProcessVariableIo: return processVariableIo(static_cast<VstVariableIo*>(ptr)) ? 1 : 0;
    case kOpSetSpeakerArrangement:
        return setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                     static_cast<VstSpeakerArrangement*>(ptr))
                   ? 1
                   : 0;
    case kOpSetBlockSizeAndSampleRate: setBlockSizeAndSampleRate(v32, opt); return 1;
    case kOpSetBypass: return setBypass(value != 0) ? 1 : 0;
    case kOpGetEffectName: return getEffectName(text) ? 1 : 0;
    case kOpGetErrorText: return getErrorText(text) ? 1 : 0;
    case kOpGetVendorString: return getVendorString(text) ? 1 : 0;
    case kOpGetProductString: return getProductString(text) ? 1 : 0;
    case kOpGetVendorVersion: return getVendorVersion();
    case kOpVendorSpecific: return vendorSpecific(index, value, ptr, opt);
    case kOpCanDo: return canDo(text);
    case kOpGetTailSize: return getGetTailSize();
    case kOpFxIdle: return fxIdle();
    case kOpGetIcon: return reinterpret_cast<intptr_t>(getIcon());
    case kOpSetViewPosition: return setViewPosition(index, v32) ? 1 : 0;
    case kOpGetParameterProperties:
        return getParameterProperties(index, static_cast<VstParameterProperties*>(ptr)) ? 1 : 0;
    case kOpKeysRequired: return keysRequired() ? 0 : 1;
    case kOpGetInterfaceVersion: return getVstVersion();
    case kOpEditorKeyDown:
    case kOpEditorKeyUp:
    case kOpEditorSetKnobMode: {
        if (!editor)
            return 0;
        if (opcode == kOpEditorSetKnobMode)
            return editor->setKnobMode(value);
        int modifier = static_cast<int>(std::fmin(std::fmax(opt, 0.0f), 255.0f));
        EditorKey key{index, static_cast<uint8_t>(value), static_cast<uint8_t>(modifier), {0, 0}};
        return opcode == kOpEditorKeyDown ? editor->onKeyDown(key) : editor->onKeyUp(key);
    }
    case kOpGetMidiProgramName:
        return getMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
    case kOpGetCurrentMidiProgram:
        return getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
    case kOpGetMidiProgramCategory:
        return getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
    case kOpHasMidiProgramsChanged: return hasMidiProgramsChanged(index) ? 1 : 0;
    case kOpGetMidiKeyName: return getMidiKeyName(index, static_cast<MidiKeyName*>(ptr)) ? 1 : 0;
    case kOpBeginSetProgram: return beginSetProgram() ? 1 : 0;
    case kOpEndSetProgram: return endSetProgram() ? 1 : 0;
    case kOpGetSpeakerArrangement:
        return getSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement**>(value),
                                     static_cast<VstSpeakerArrangement**>(ptr))
                   ? 1
                   : 0;
    case kOpGetNextShellPlugin: return getNextShellPlugin(text);
    case kOpStartProcess: return startProcess();
    case kOpStopProcess: return stopProcess();
    case kOpSetTotalSampleToProcess: return setTotalSampleToProcess(v32);
    case kOpSetPanLaw: return setPanLaw(v32, opt) ? 1 : 0;
    case kOpBeginLoadBank: return beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr));
    case kOpBeginLoadProgram: return beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr));
    default: return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}
