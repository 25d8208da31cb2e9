#include "au/quorle.h"

#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

const char* const kParameterOneName = "Parameter One";

namespace {

constexpr const char* kViewFactory = "Pellark__quorle_CocoaViewFactory";
constexpr size_t kPathBuffer = 200; // bytes the bundle path is first converted into
constexpr size_t kLongPathBuffer = 4096;

// Parameter names as string objects that live as long as the plug-in is loaded:
// hosts read them from the info record without releasing them. They are released
// when the library unloads.
struct NameString {
    explicit NameString(const char* text)
        : string(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8)) {}
    ~NameString() { CFRelease(string); }
    CFStringRef string;
};
CFStringRef parameterOneString() {
    static NameString s(kParameterOneName);
    return s.string;
}
CFStringRef presetString() {
    static NameString s("Preset");
    return s.string;
}

// The plug-in's own directory, or empty when the bundle cannot be found.
std::string bundleDirectory() {
    CFStringRef id =
        CFStringCreateWithCString(nullptr, kPluginBundleIdentifier, kCFStringEncodingUTF8);
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(id);
    CFRelease(id);
    if (!bundle)
        return {};
    CFURLRef url = CFBundleCopyBundleURL(bundle);
    if (!url)
        return {};
    // A path too long for the usual buffer is converted again into a larger one
    // rather than dropped.
    std::vector<uint8_t> path(kPathBuffer);
    bool converted =
        CFURLGetFileSystemRepresentation(url, true, path.data(), static_cast<CFIndex>(path.size()));
    if (!converted) {
        path.resize(kLongPathBuffer);
        converted = CFURLGetFileSystemRepresentation(url, true, path.data(),
                                                     static_cast<CFIndex>(path.size()));
    }
    CFRelease(url);
    return converted ? std::string(reinterpret_cast<const char*>(path.data())) : std::string();
}

const std::vector<std::string>* modelList(quorle& unit) {
    auto* kernel = static_cast<quorleKernel*>(unit.GetKernel(0));
    return kernel && kernel->effect() ? &kernel->effect()->modelNames : nullptr;
}

constexpr float kDefaultControl = 0.5f;

// The saved state's key for the oversampling factor (a 32-bit number).
constexpr const char* kOversamplingKey = "oversampling";

// Drive, post gain or bass as the effect may take it: 0..1, NaN as the default.
float controlValue(float value) {
    if (std::isnan(value))
        return kDefaultControl;
    return std::min(std::max(value, 0.0f), 1.0f);
}

// The model index a parameter value names, truncated toward zero; -1 for NaN, a
// negative value or one no int32_t holds.
int32_t modelIndex(float value) {
    if (!(value >= 0.0f && value < 2147483648.0f))
        return -1;
    return static_cast<int32_t>(value);
}

} // namespace

quorle::quorle(ComponentInstance instance) : AUEffectBase(instance, true) {
    CreateElements();
    Globals()->UseIndexedParameters(4);
    SetParameter(QrVorlixGeneric::kPreBass, 0.5f);
    SetParameter(QrVorlixGeneric::kPreGain, 0.5f);
    SetParameter(QrVorlixGeneric::kPostGain, 0.5f);
    SetParameter(QrVorlixGeneric::kModel, 0.0f);

    // Standard output may carry a host's audio: the one diagnostic line goes to
    // standard error.
    const std::string path = bundleDirectory();
    std::fprintf(stderr, "path:%s;\n", path.c_str());
    if (!path.empty()) {
        std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
        if (gFxDir.empty())
            gFxDir = path + "/";
    }
}

quorle::~quorle() = default;

AUKernelBase* quorle::NewKernel() {
    return new quorleKernel(this);
}

OSStatus quorle::Initialize() {
    // The archive is read once, here; every kernel plays that one copy.
    std::string dir, path;
    {
        std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
        dir = gFxDir;
    }
    std::shared_ptr<const ImpulseResponse> cabinet;
    {
        std::lock_guard<std::mutex> lock(mPathLock);
        path = mArchivePath;
        cabinet = mCabinetResponse;
    }
    mArchive = DataArchive::readDirectory(dir);
    if (!path.empty())
        mArchive = DataArchive::withPresetsOf(*DataArchive::readFile(path), *mArchive);
    const OSStatus status = AUEffectBase::Initialize();
    if (status != noErr)
        return status;
    if (cabinet && !InstallCabinet(*cabinet))
        return kAudioUnitErr_FailedInitialization;
    const std::vector<std::string>* names = modelList(*this);
    const UInt32 count = names ? static_cast<UInt32>(names->size()) : 0;
    mModelCount = count;
    const int32_t stored = modelIndex(GetParameter(QrVorlixGeneric::kModel));
    if (count > 0 && (stored < 0 || static_cast<UInt32>(stored) >= count))
        AUEffectBase::SetParameter(QrVorlixGeneric::kModel, 0.0f); // what init loaded
    return noErr;
}

void quorle::Cleanup() {
    AUEffectBase::Cleanup();
    mModelCount = 0;
    mArchive.reset();
}

bool quorle::InstallCabinet(const ImpulseResponse& response) {
    const ImpulseResponse ready = impulse::prepared(response, GetSampleRate());
    if (ready.channels.empty())
        return false;
    for (UInt32 k = 0; k < GetNumKernels(); ++k) {
        auto* kernel = static_cast<quorleKernel*>(GetKernel(k));
        if (!kernel)
            continue;
        ChannelEngine& engine = kernel->engine();
        std::unique_ptr<Convolver> convolver = cabinet::convolverFor(ready, k, engine.maxPiece());
        if (!engine.installCabinet(convolver))
            return false;
    }
    mTailSeconds = static_cast<Float64>(ready.channels[0].size()) / ready.rate;
    return true;
}

bool quorle::AcceptsModel(AudioUnitParameterValue value) const {
    const int32_t index = modelIndex(value);
    const UInt32 count = mModelCount;
    return index >= 0 && (count == 0 || static_cast<UInt32>(index) < count);
}

OSStatus quorle::SetParameter(AudioUnitParameterID id, AudioUnitScope scope,
                              AudioUnitElement element, AudioUnitParameterValue value,
                              UInt32 bufferOffset) {
    if (scope == kAudioUnitScope_Global && element == 0) {
        if (id < QrVorlixGeneric::kModel)
            value = controlValue(value);
        else if (id == QrVorlixGeneric::kModel && !AcceptsModel(value))
            return kAudioUnitErr_InvalidParameter;
    }
    return AUEffectBase::SetParameter(id, scope, element, value, bufferOffset);
}

OSStatus quorle::SaveState(CFPropertyListRef* outData) {
    const OSStatus status = AUEffectBase::SaveState(outData);
    if (status != noErr)
        return status;
    // The base hands out the mutable dictionary it made.
    auto* state = static_cast<CFMutableDictionaryRef>(const_cast<void*>(*outData));
    const SInt32 factor = static_cast<SInt32>(Oversampling());
    CFStringRef key = CFStringCreateWithCString(nullptr, kOversamplingKey, kCFStringEncodingUTF8);
    CFNumberRef value = CFNumberCreate(nullptr, kCFNumberSInt32Type, &factor);
    CFDictionarySetValue(state, key, value);
    CFRelease(value);
    CFRelease(key);
    return noErr;
}

OSStatus quorle::RestoreState(CFPropertyListRef data) {
    const float model = GetParameter(QrVorlixGeneric::kModel);
    // The base may have set some values before refusing the rest, so the stored
    // values are checked whatever it returns.
    const OSStatus status = AUEffectBase::RestoreState(data);
    for (AudioUnitParameterID id = 0; id < QrVorlixGeneric::kModel; ++id)
        AUEffectBase::SetParameter(id, controlValue(GetParameter(id)));
    if (!AcceptsModel(GetParameter(QrVorlixGeneric::kModel)))
        AUEffectBase::SetParameter(QrVorlixGeneric::kModel, model);
    if (status != noErr)
        return status;
    // States saved before the factor was saved have no key: the factor stays.
    CFStringRef key = CFStringCreateWithCString(nullptr, kOversamplingKey, kCFStringEncodingUTF8);
    CFTypeRef stored = CFDictionaryGetValue(static_cast<CFDictionaryRef>(data), key);
    CFRelease(key);
    SInt32 factor = 0;
    if (stored && CFGetTypeID(stored) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(stored), kCFNumberSInt32Type, &factor) &&
        Oversampler::isValidFactor(factor) && StoreFactor(static_cast<UInt32>(factor))) {
        PropertyChanged(kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0);
        PropertyChanged(kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0);
    }
    return noErr;
}

OSStatus quorle::GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                                  AudioUnitParameterInfo& outInfo) {
    outInfo.flags = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;
    if (scope != kAudioUnitScope_Global || id > QrVorlixGeneric::kModel)
        return kAudioUnitErr_InvalidParameter;
    const bool model = id == QrVorlixGeneric::kModel;
    const char* name = model ? "Preset" : kParameterOneName;
    std::snprintf(outInfo.name, sizeof(outInfo.name), "%s", name);
    outInfo.cfNameString = model ? presetString() : parameterOneString();
    outInfo.unit = model ? kAudioUnitParameterUnit_Indexed : kAudioUnitParameterUnit_LinearGain;
    outInfo.minValue = 0.0f;
    // The model range is 0..3, or up to the last model when the list holds more, so
    // that a host bounding the parameter by it can reach every model.
    const UInt32 count = mModelCount;
    outInfo.maxValue =
        model ? static_cast<float>(std::max<UInt32>(3, count > 0 ? count - 1 : 0)) : 1.0f;
    outInfo.defaultValue = model ? 0.0f : 0.5f;
    outInfo.flags |= kAudioUnitParameterFlag_HasCFNameString;
    return noErr;
}

OSStatus quorle::GetParameterValueStrings(AudioUnitScope, AudioUnitParameterID, CFTypeRef*) {
    return kAudioUnitErr_InvalidProperty;
}

OSStatus quorle::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, UInt32& outDataSize,
                                 Boolean& outWritable) {
    if (scope == kAudioUnitScope_Global) {
        switch (id) {
        case kAudioUnitProperty_CocoaUI:
            outDataSize = sizeof(AudioUnitCocoaViewInfo);
            outWritable = false;
            return noErr;
        case kQuorleProperty_ModelName:
            // Names are at most 99 bytes: the model list skips longer entry names.
            outDataSize = kModelNameSize;
            outWritable = false;
            return noErr;
        case kQuorleProperty_Oversampling:
        case kQuorleProperty_FadeModelSwitches:
            outDataSize = sizeof(UInt32);
            outWritable = true;
            return noErr;
        case kQuorleProperty_ArchivePath:
        case kQuorleProperty_Cabinet:
            outDataSize = kMaxArchivePathBytes;
            outWritable = !IsInitialized();
            return noErr;
        case kQuorleProperty_PluginDirectory: {
            // A longer directory reports its own size, so that a host can read it whole.
            std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
            outDataSize = static_cast<UInt32>(std::max(kDirectorySize, gFxDir.size() + 1));
            outWritable = false;
            return noErr;
        }
        default: break;
        }
    }
    return AUEffectBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
}

OSStatus quorle::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             void* outData) {
    if (scope == kAudioUnitScope_Global) {
        switch (id) {
        case kAudioUnitProperty_CocoaUI: {
            CFStringRef identifier =
                CFStringCreateWithCString(nullptr, kPluginBundleIdentifier, kCFStringEncodingUTF8);
            CFBundleRef bundle = CFBundleGetBundleWithIdentifier(identifier);
            CFRelease(identifier);
            if (!bundle)
                return fnfErr;
            CFStringRef name =
                CFStringCreateWithCString(nullptr, kViewFactory, kCFStringEncodingUTF8);
            CFStringRef type = CFStringCreateWithCString(nullptr, "bundle", kCFStringEncodingUTF8);
            CFURLRef url = CFBundleCopyResourceURL(bundle, name, type, nullptr);
            CFRelease(type);
            if (!url) {
                CFRelease(name);
                return fnfErr;
            }
            auto* info = static_cast<AudioUnitCocoaViewInfo*>(outData);
            info->mCocoaAUViewBundleLocation = url; // the caller releases both
            info->mCocoaAUViewClass[0] = name;
            return noErr;
        }
        case kQuorleProperty_ModelName: {
            if (!IsInitialized())
                return kAudioUnitErr_Uninitialized;
            const std::vector<std::string>* names = modelList(*this);
            if (!names || element >= names->size())
                return kAudioUnitErr_InvalidProperty;
            const std::string& entry = (*names)[element];
            // The entry name without its ".xml"; entries are found by that suffix.
            size_t length = entry.size() >= 4 ? entry.size() - 4 : 0;
            length = std::min(length, kModelNameSize - 1);
            std::memcpy(outData, entry.data(), length);
            static_cast<char*>(outData)[length] = 0;
            return noErr;
        }
        case kQuorleProperty_PluginDirectory: {
            std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
            std::memcpy(outData, gFxDir.c_str(), gFxDir.size() + 1);
            return noErr;
        }
        case kQuorleProperty_Oversampling:
        case kQuorleProperty_FadeModelSwitches: {
            const UInt32 value =
                id == kQuorleProperty_Oversampling ? Oversampling() : mFadeSwitches.load();
            std::memcpy(outData, &value, sizeof(value));
            return noErr;
        }
        case kQuorleProperty_ArchivePath:
        case kQuorleProperty_Cabinet: {
            // Always the whole buffer GetPropertyInfo promised, whatever is set meanwhile.
            std::lock_guard<std::mutex> lock(mPathLock);
            const std::string& text =
                id == kQuorleProperty_ArchivePath ? mArchivePath : mCabinetChoice;
            std::memset(outData, 0, kMaxArchivePathBytes);
            std::memcpy(outData, text.c_str(), text.size() + 1);
            return noErr;
        }
        default: break;
        }
    }
    return AUEffectBase::GetProperty(id, scope, element, outData);
}

bool quorle::ValueMayBeCut(AudioUnitPropertyID id) const {
    return id != kQuorleProperty_ArchivePath && id != kQuorleProperty_Cabinet;
}

namespace {

// Whether `size` bytes at `text` are a path property's value: NUL-terminated, the
// terminator their last byte (a path is never cut or read past), within the limit.
bool wholePath(const void* text, UInt32 size) {
    return text && size > 0 && size <= kMaxArchivePathBytes &&
           std::memchr(text, 0, size) == static_cast<const char*>(text) + size - 1;
}

} // namespace

OSStatus quorle::SetCabinet(const char* text, UInt32 size) {
    const std::string choice(text, size - 1);
    std::optional<ImpulseResponse> read = ImpulseResponse{};
    if (!cabinet::isOff(choice)) {
        std::string dir;
        {
            std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
            dir = gFxDir;
        }
        std::string error;
        read = cabinet::read(*DataArchive::readDirectory(dir), choice, error);
        if (!read)
            return kAudioUnitErr_InvalidPropertyValue;
    }
    KeepCabinet(choice, std::move(read));
    return noErr;
}

OSStatus quorle::SetCabinetBytes(const char* value, UInt32 size) {
    const void* end = value ? std::memchr(value, 0, std::min(size, kMaxArchivePathBytes)) : nullptr;
    if (!end)
        return kAudioUnitErr_InvalidPropertyValue;
    const std::string choice(value, static_cast<const char*>(end));
    const std::string bytes(static_cast<const char*>(end) + 1, value + size);
    std::string error;
    std::optional<ImpulseResponse> read = impulse::readBytes(bytes, choice, error);
    if (!read)
        return kAudioUnitErr_InvalidPropertyValue;
    KeepCabinet(choice, std::move(read));
    return noErr;
}

// Keeps what a cabinet choice read, at its own rate, for Initialize (none for no
// channels).
void quorle::KeepCabinet(std::string choice, std::optional<ImpulseResponse> response) {
    std::shared_ptr<const ImpulseResponse> kept;
    if (!response->channels.empty())
        kept = std::make_shared<const ImpulseResponse>(std::move(*response));
    std::lock_guard<std::mutex> lock(mPathLock);
    mCabinetChoice = std::move(choice);
    mTailSeconds = kept ? static_cast<Float64>(kept->channels[0].size()) / kept->rate : 0.0;
    mCabinetResponse = std::move(kept);
}

bool quorle::StoreFactor(UInt32 factor) {
    return mOversampling.exchange(factor, std::memory_order_relaxed) != factor;
}

OSStatus quorle::SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             const void* inData, UInt32 inDataSize) {
    if (id == kQuorleProperty_CabinetBytes) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        if (IsInitialized())
            return kAudioUnitErr_Initialized;
        return SetCabinetBytes(static_cast<const char*>(inData), inDataSize);
    }
    if (id == kQuorleProperty_ArchivePath || id == kQuorleProperty_Cabinet) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        if (IsInitialized())
            return kAudioUnitErr_Initialized;
        if (!wholePath(inData, inDataSize))
            return kAudioUnitErr_InvalidPropertyValue;
        const char* text = static_cast<const char*>(inData);
        if (id == kQuorleProperty_Cabinet)
            return SetCabinet(text, inDataSize);
        std::lock_guard<std::mutex> lock(mPathLock);
        mArchivePath.assign(text, inDataSize - 1);
        return noErr;
    }
    if (id == kQuorleProperty_FadeModelSwitches) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        UInt32 fade;
        if (!inData || inDataSize != sizeof(fade))
            return kAudioUnitErr_InvalidPropertyValue;
        std::memcpy(&fade, inData, sizeof(fade));
        if (fade > 1)
            return kAudioUnitErr_InvalidPropertyValue;
        mFadeSwitches = fade;
        return noErr;
    }
    if (id != kQuorleProperty_Oversampling)
        return AUEffectBase::SetProperty(id, scope, element, inData, inDataSize);
    if (scope != kAudioUnitScope_Global)
        return kAudioUnitErr_InvalidScope;
    if (!inData || inDataSize != sizeof(UInt32))
        return kAudioUnitErr_InvalidPropertyValue;
    UInt32 factor;
    std::memcpy(&factor, inData, sizeof(factor));
    if (!Oversampler::isValidFactor(factor))
        return kAudioUnitErr_InvalidPropertyValue;
    // The base announces the factor itself; the latency changes with it.
    if (StoreFactor(factor))
        PropertyChanged(kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0);
    return noErr;
}

Float64 quorle::GetLatency() {
    const Float64 rate = GetSampleRate();
    return rate > 0.0 ? Oversampler::latencyFor(static_cast<int>(Oversampling())) / rate : 0.0;
}

quorleKernel::quorleKernel(AUEffectBase* unit) : AUKernelBase(unit), mFactorSource(nullptr) {
    EngineSetup setup;
    setup.rate = unit->GetSampleRate();
    setup.maxFrames = std::max<UInt32>(unit->GetMaxFramesPerSlice(), 1);
    setup.factor = 1;
    if (auto* owner = dynamic_cast<quorle*>(unit)) {
        mFactorSource = &owner->mOversampling;
        setup.factor = static_cast<int>(owner->mOversampling.load());
        setup.archive = owner->mArchive;
    }
    mEngine = std::make_unique<ChannelEngine>(setup);
    mLastModel = mEngine->model();
}

quorleKernel::~quorleKernel() = default;

void quorleKernel::Reset() {
    mEngine->reset();
}

void quorleKernel::Forward() {
    // Scheduled events reach the parameters without the unit's checks. The global
    // element holds them all: found once for the four.
    const AUElement& globals = mAudioUnit->SafeGetElement(kAudioUnitScope_Global, 0);
    mEngine->setControls(globals.GetParameter(QrVorlixGeneric::kPreGain),
                         globals.GetParameter(QrVorlixGeneric::kPostGain),
                         globals.GetParameter(QrVorlixGeneric::kPreBass));
    if (mFactorSource)
        mEngine->setFactor(static_cast<int>(mFactorSource->load(std::memory_order_relaxed)));
    // Indices, not values, are compared: 2.7 after 2 does not reload model 2. An
    // index outside the list, or of a model that could not be built, is remembered
    // and ignored, so the model playing stays and no slice retries it.
    const int32_t model = modelIndex(globals.GetParameter(QrVorlixGeneric::kModel));
    if (model == mLastModel)
        return;
    mLastModel = model;
    auto* owner = dynamic_cast<quorle*>(mAudioUnit);
    const bool fade = owner && owner->mFadeSwitches.load(std::memory_order_relaxed) != 0;
    mEngine->switchTo(model, fade);
}

void quorleKernel::Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                           UInt32 inNumChannels, bool&) {
    if (!inSourceP || !inDestP)
        return;
    Forward();
    mEngine->process(inSourceP, inDestP, inFramesToProcess, inNumChannels);
}

bool quorleKernel::ProcessPair(AUKernelBase& other, const Float32* inSourceP, Float32* inDestP,
                               const Float32* otherSourceP, Float32* otherDestP,
                               UInt32 inFramesToProcess, UInt32 inNumChannels, bool&) {
    auto* b = dynamic_cast<quorleKernel*>(&other);
    if (!b || b == this || !inSourceP || !inDestP || !otherSourceP || !otherDestP)
        return false;
    Forward();
    b->Forward();
    ChannelEngine::processPair(*mEngine, inSourceP, inDestP, *b->mEngine, otherSourceP, otherDestP,
                               inFramesToProcess, inNumChannels);
    return true;
}
