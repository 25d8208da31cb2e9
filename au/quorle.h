// The plug-in as a host sees it: an effect unit with four parameters (drive,
// post gain, bass tilt, model), the model names (property 64000), the plug-in
// directory (64001) and the view location (31). Each channel runs through its own
// kernel, and each kernel owns one main effect.
#pragma once

#include "au/AUEffectBase.h"
#include "au/quorleIds.h"

#include <string>

class VorlixMac;

// The plug-in directory, ending in "/" (shared with the data archive).
extern std::string gFxDir;
// The name of parameters 0, 1 and 2.
extern const char* const kParameterOneName;

class quorle : public AUEffectBase {
  public:
    explicit quorle(ComponentInstance instance);
    ~quorle() override;

    ComponentResult Version() override { return kQuorleVersion; }
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;
    OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                              AudioUnitParameterInfo& outInfo) override;
    OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID id,
                                      CFTypeRef* outStrings) override;
    bool SupportsTail() override { return false; }
    AUKernelBase* NewKernel() override;
};

// One channel: forwards changed parameters to its main effect, then runs it.
class quorleKernel : public AUKernelBase {
  public:
    // Creates and initialises the effect at the unit's sample rate; an error from
    // the effect's initialisation leaves the constructor (the effect is released).
    explicit quorleKernel(AUEffectBase* unit);
    ~quorleKernel() override;

    void Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                 UInt32 inNumChannels, bool& ioSilence) override;
    // The effect's delay lines and filter history survive a host reset.
    void Reset() override {}

    VorlixMac* effect() const { return mEffect; }

  private:
    float mLastValues[4];
    VorlixMac* mEffect;
};

extern "C" ComponentResult quorleEntry(ComponentParameters* params, void* storage);
