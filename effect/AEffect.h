// The plain record through which a host drives an effect, and the types around it.
//
// Integers are 32-bit. The dispatcher's value argument and result, and the host
// callback's result, are pointer-sized: several opcodes pass or return pointers
// through them, and on a 64-bit build a 32-bit integer would cut those in half.
#pragma once

#include <cstdint>

class AudioEffect;
struct AEffect;

// Host callback: (calling effect's record, opcode, index, value, pointer, option).
using HostCallback = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                  void* ptr, float opt);

using DispatcherProc = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                    void* ptr, float opt);
using ProcessProc = void (*)(AEffect* effect, float** inputs, float** outputs, int32_t frames);
using SetParameterProc = void (*)(AEffect* effect, int32_t index, float value);
using GetParameterProc = float (*)(AEffect* effect, int32_t index);

// Builds a big-endian four-character code: fourCC('q','r','i','i').
constexpr int32_t fourCC(char a, char b, char c, char d) {
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) |
                                static_cast<uint32_t>(static_cast<uint8_t>(d)));
}

constexpr int32_t kEffectMagic = fourCC('V', 's', 't', 'P');
constexpr int32_t kDefaultUniqueId = fourCC('N', 'o', 'E', 'f');
constexpr int32_t kIdentifyAnswer = fourCC('N', 'v', 'E', 'f');

// Flag bits of AEffect::flags.
enum EffectFlags : int32_t {
    kFlagHasClip = 1 << 1,
    kFlagHasVu = 1 << 2,
    kFlagCanMono = 1 << 3,
    kFlagCanProcessReplacing = 1 << 4,
    kFlagProgramsAreChunks = 1 << 5,
    kFlagIsSynth = 1 << 8,
    kFlagNoTail = 1 << 9,
    kFlagAsyncOperation = 1 << 10,
    kFlagExternalBuffer = 1 << 11,
};

struct AEffect {
    int32_t magic;
    DispatcherProc dispatcher;
    ProcessProc process;
    SetParameterProc setParameter;
    GetParameterProc getParameter;
    int32_t numPrograms;
    int32_t numParams;
    int32_t numInputs;
    int32_t numOutputs;
    int32_t flags;
    int32_t reserved1;
    int32_t reserved2;
    int32_t initialDelay; // samples
    int32_t realtimeQualities;
    int32_t offlineQualities;
    float ioRatio;
    AudioEffect* object; // the owning effect
    void* user;          // free for the host
    int32_t uniqueId;
    int32_t version;
    ProcessProc processReplacing;
    char future[60];
};

// Records of the interface that the framework only passes through by pointer.
struct VstEvents;
struct VstTimeInfo;
struct VstPinProperties;
struct VstOfflineTask;
struct VstOfflineOption;
struct VstAudioFile;
struct VstWindow;
struct VstVariableIo;
struct VstFileSelect;
struct VstPatchChunkInfo;
struct VstParameterProperties;
struct MidiProgramName;
struct MidiProgramCategory;
struct MidiKeyName;

// One speaker: 112 bytes.
struct VstSpeakerProperties {
    float azimuth;
    float elevation;
    float radius;
    float reserved;
    char name[64];
    int32_t type;
    char future[28];
};
static_assert(sizeof(VstSpeakerProperties) == 112, "speaker record is 112 bytes");

// A header of two 32-bit fields; `numChannels` speaker records follow it in the same block.
struct VstSpeakerArrangement {
    int32_t type;
    int32_t numChannels;

    VstSpeakerProperties* speakers() { return reinterpret_cast<VstSpeakerProperties*>(this + 1); }
    const VstSpeakerProperties* speakers() const {
        return reinterpret_cast<const VstSpeakerProperties*>(this + 1);
    }
};
static_assert(sizeof(VstSpeakerArrangement) == 8, "arrangement header is two 32-bit fields");
