// The numbered questions of the effect interface, in both directions: what a host asks an
// effect through its record's dispatcher entry (EffectOpcode), and what an effect asks its
// host through the host callback (HostOpcode). The numbers are the interface's and never
// change; each name says what the effect or the host does when asked.
#pragma once

#include <cstdint>

// Asked of an effect through AudioEffect::dispatcher (0..24) and
// AudioEffectX::dispatcher (25..76). Numbers not listed (16..18, 20, 21 and any outside
// 0..76) call nothing and answer 0.
enum EffectOpcode : int32_t {
    kOpOpen = 0,
    kOpClose = 1, // through the record's entry, the effect is deleted afterwards
    kOpSetProgram = 2,
    kOpGetProgram = 3,
    kOpSetProgramName = 4,
    kOpGetProgramName = 5,
    kOpGetParameterLabel = 6,
    kOpGetParameterDisplay = 7,
    kOpGetParameterName = 8,
    kOpGetVu = 9,            // answers the VU reading times 32767
    kOpSetSampleRate = 10,   // rate in Hz in the float option
    kOpSetBlockSize = 11,    // frames in the value
    kOpSuspendOrResume = 12, // value 0 suspends, anything else resumes
    kOpEditorGetRect = 13,
    kOpEditorOpen = 14,
    kOpEditorClose = 15,
    kOpEditorIdle = 19,
    kOpFrameworkSignature = 22, // answers kIdentifyAnswer
    kOpGetChunk = 23,
    kOpSetChunk = 24,

    kOpProcessEvents = 25,
    kOpCanParameterBeAutomated = 26,
    kOpStringToParameter = 27,
    kOpGetNumCategories = 28,
    kOpGetProgramNameIndexed = 29,
    kOpCopyProgram = 30,
    kOpInputConnected = 31,
    kOpOutputConnected = 32,
    kOpGetInputProperties = 33,
    kOpGetOutputProperties = 34,
    kOpGetPlugCategory = 35,
    kOpReportCurrentPosition = 36,
    kOpReportDestinationBuffer = 37,
    kOpOfflineNotify = 38,
    kOpOfflinePrepare = 39,
    kOpOfflineRun = 40,
    kOpProcessVariableIo = 41,
    kOpSetSpeakerArrangement = 42,
    kOpSetBlockSizeAndSampleRate = 43,
    kOpSetBypass = 44,
    kOpGetEffectName = 45,
    kOpGetErrorText = 46,
    kOpGetVendorString = 47,
    kOpGetProductString = 48,
    kOpGetVendorVersion = 49,
    kOpVendorSpecific = 50,
    kOpCanDo = 51,
    kOpGetTailSize = 52,
    kOpFxIdle = 53,
    kOpGetIcon = 54,
    kOpSetViewPosition = 55,
    kOpGetParameterProperties = 56,
    kOpKeysRequired = 57, // answers 0 when keys are required (the question is inverted)
    kOpGetInterfaceVersion = 58,
    kOpEditorKeyDown = 59,
    kOpEditorKeyUp = 60,
    kOpEditorSetKnobMode = 61,
    kOpGetMidiProgramName = 62,
    kOpGetCurrentMidiProgram = 63,
    kOpGetMidiProgramCategory = 64,
    kOpHasMidiProgramsChanged = 65,
    kOpGetMidiKeyName = 66,
    kOpBeginSetProgram = 67,
    kOpEndSetProgram = 68,
    kOpGetSpeakerArrangement = 69,
    kOpGetNextShellPlugin = 70,
    kOpStartProcess = 71,
    kOpStopProcess = 72,
    kOpSetTotalSampleToProcess = 73,
    kOpSetPanLaw = 74,
    kOpBeginLoadBank = 75,
    kOpBeginLoadProgram = 76,
};

// Asked of the host through the host callback, one per host-callback wrapper of
// AudioEffect and AudioEffectX (named after the wrapper). Numbers 5, 9, 36 and 47 are
// not asked.
enum HostOpcode : int32_t {
    kHostParameterAutomated = 0, // index, the new value in the float option
    kHostGetVersion = 1,
    kHostGetCurrentUniqueId = 2,
    kHostIdle = 3,
    kHostIsPinConnected = 4, // index = pin, value 0 for an input, 1 for an output; 0 = yes
    kHostWantEvents = 6,
    kHostGetTimeInfo = 7,
    kHostSendEvents = 8,
    kHostTempoAt = 10,
    kHostGetNumAutomatableParameters = 11,
    kHostGetParameterQuantization = 12,
    kHostIoChanged = 13,
    kHostNeedIdle = 14,
    kHostSizeWindow = 15,
    kHostUpdateSampleRate = 16,
    kHostUpdateBlockSize = 17,
    kHostGetInputLatency = 18,
    kHostGetOutputLatency = 19,
    kHostGetPreviousPlug = 20,
    kHostGetNextPlug = 21,
    kHostWillProcessReplacing = 22,
    kHostGetCurrentProcessLevel = 23,
    kHostGetAutomationState = 24,
    kHostOfflineStart = 25,
    kHostOfflineRead = 26,
    kHostOfflineWrite = 27,
    kHostOfflineGetCurrentPass = 28,
    kHostOfflineGetCurrentMetaPass = 29,
    kHostSetOutputSampleRate = 30,
    kHostGetOutputSpeakerArrangement = 31,
    kHostGetVendorString = 32,
    kHostGetProductString = 33,
    kHostGetVendorVersion = 34,
    kHostVendorSpecific = 35,
    kHostCanDo = 37,
    kHostGetLanguage = 38,
    kHostOpenWindow = 39,
    kHostCloseWindow = 40,
    kHostGetDirectory = 41,
    kHostUpdateDisplay = 42,
    kHostBeginEdit = 43,
    kHostEndEdit = 44,
    kHostOpenFileSelector = 45,
    kHostCloseFileSelector = 46,
    kHostGetChunkFile = 48,
    kHostGetInputSpeakerArrangement = 49,
};
