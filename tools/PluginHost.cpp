#include "tools/PluginHost.h"

#include "au/quorleIds.h"
#include "tools/QuietStreams.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace {

// Opens a unit with standard output and standard error pointed at /dev/null: the
// unit announces its directory when it opens, and a host that prints results and
// one-line errors of its own keeps that line out of them. The descriptors belong
// to the whole process, so opens on several threads take turns.
OSStatus openQuietly(ComponentRoutine entry, AudioUnit* unit) {
    static std::mutex turns;
    std::lock_guard<std::mutex> lock(turns);
    QuietStreams quiet;
    return OpenAComponent(entry, &kQuorleDescription, unit);
}

} // namespace

PluginHost::~PluginHost() {
    if (mUnit) {
        AudioUnitUninitialize(mUnit);
        CloseComponent(mUnit);
    }
    if (mLibrary)
        dlclose(mLibrary);
}

bool PluginHost::load(const std::string& bundleDir, std::string& error) {
    const std::string path = bundleDir + "/" + kQuorleLibraryName;
    mLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mLibrary) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    mEntry = reinterpret_cast<ComponentRoutine>(dlsym(mLibrary, "quorleEntry"));
    if (!mEntry) {
        error = path + " has no entry point quorleEntry";
        return false;
    }
    OSStatus status = openQuietly(mEntry, &mUnit);
    if (status != noErr) {
        error = "the unit does not open: status " + std::to_string(status) + " (" +
                statusName(status) + ")";
        mUnit = nullptr;
        return false;
    }
    return true;
}

OSStatus PluginHost::start(double sampleRate, UInt32 channels, UInt32 maxFrames) {
    mChannels = channels;
    const AudioStreamBasicDescription format = CanonicalStreamFormat(sampleRate, channels);
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
        OSStatus status = AudioUnitSetProperty(mUnit, kAudioUnitProperty_StreamFormat, scope, 0,
                                               &format, sizeof(format));
        if (status != noErr)
            return status;
    }
    OSStatus status =
        AudioUnitSetProperty(mUnit, kAudioUnitProperty_MaximumFramesPerSlice,
                             kAudioUnitScope_Global, 0, &maxFrames, sizeof(maxFrames));
    if (status != noErr)
        return status;
    AURenderCallbackStruct callback = {&PluginHost::supplyInput, this};
    status = AudioUnitSetProperty(mUnit, kAudioUnitProperty_SetRenderCallback,
                                  kAudioUnitScope_Input, 0, &callback, sizeof(callback));
    if (status != noErr)
        return status;
    mOutputList.assign(AudioBufferListSize(channels), 0);
    return AudioUnitInitialize(mUnit);
}

OSStatus PluginHost::setParameter(AudioUnitParameterID id, float value) {
    return AudioUnitSetParameter(mUnit, id, kAudioUnitScope_Global, 0, value, 0);
}

OSStatus PluginHost::supplyInput(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                 UInt32, UInt32 frames, AudioBufferList* data) {
    auto* host = static_cast<PluginHost*>(refCon);
    for (UInt32 c = 0; c < data->mNumberBuffers && c < host->mChannels; ++c)
        std::memcpy(data->mBuffers[c].mData, host->mInputs[c], frames * sizeof(float));
    return noErr;
}

OSStatus PluginHost::render(const float* const* inputs, float* const* outputs, UInt32 frames) {
    mInputs = inputs;
    auto* list = reinterpret_cast<AudioBufferList*>(mOutputList.data());
    list->mNumberBuffers = mChannels;
    for (UInt32 c = 0; c < mChannels; ++c) {
        list->mBuffers[c].mNumberChannels = 1;
        list->mBuffers[c].mDataByteSize = frames * sizeof(float);
        list->mBuffers[c].mData = outputs[c];
    }
    AudioTimeStamp time = {};
    time.mSampleTime = mSampleTime;
    time.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    OSStatus status = AudioUnitRender(mUnit, &flags, &time, 0, frames, list);
    mSampleTime += frames;
    return status;
}

double PluginHost::sampleRate() {
    Float64 rate = 0.0;
    UInt32 size = sizeof(rate);
    if (AudioUnitGetProperty(mUnit, kAudioUnitProperty_SampleRate, kAudioUnitScope_Output, 0, &rate,
                             &size) != noErr)
        return 0.0;
    return rate;
}

std::vector<std::string> PluginHost::modelNames() {
    std::vector<std::string> names;
    for (UInt32 element = 0;; ++element) {
        char name[kModelNameSize] = "";
        UInt32 size = sizeof(name);
        if (AudioUnitGetProperty(mUnit, kQuorleProperty_ModelName, kAudioUnitScope_Global, element,
                                 name, &size) != noErr)
            break;
        names.emplace_back(name);
    }
    return names;
}

const char* statusName(OSStatus status) {
    switch (status) {
    case noErr: return "no error";
    case paramErr: return "bad argument";
    case fnfErr: return "file not found";
    case memFullErr: return "out of memory";
    case -1: return "the plug-in failed";
    case kAudioUnitErr_InvalidProperty: return "invalid property";
    case kAudioUnitErr_InvalidParameter: return "invalid parameter";
    case kAudioUnitErr_InvalidElement: return "invalid element";
    case kAudioUnitErr_NoConnection: return "no connection";
    case kAudioUnitErr_FailedInitialization: return "initialisation failed";
    case kAudioUnitErr_TooManyFramesToProcess: return "too many frames";
    case kAudioUnitErr_FormatNotSupported: return "format not supported";
    case kAudioUnitErr_Uninitialized: return "uninitialised";
    case kAudioUnitErr_InvalidScope: return "invalid scope";
    case kAudioUnitErr_PropertyNotWritable: return "property not writable";
    case kAudioUnitErr_InvalidPropertyValue: return "invalid property value";
    case kAudioUnitErr_Initialized: return "already initialised";
    case badComponentSelector: return "bad component selector";
    default: return "unknown status";
    }
}

std::string defaultBundle() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dir = fs::read_symlink("/proc/self/exe", ec).parent_path();
    for (const fs::path& candidate :
         {dir / ".." / "lv2" / "quorle.lv2", dir / ".." / "lib" / "lv2" / "quorle.lv2",
          fs::path(QUORLE_INSTALLED_BUNDLE)})
        if (fs::exists(candidate / kQuorleLibraryName, ec))
            return fs::weakly_canonical(candidate, ec).string();
    return (dir / ".." / "lv2" / "quorle.lv2").string();
}
