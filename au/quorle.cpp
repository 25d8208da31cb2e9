#include "au/quorle.h"

#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <cmath>
#include <cstdio>
#include <cstring>
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

} // namespace

quorle::quorle(ComponentInstance instance) : AUEffectBase(instance, true) {
    CreateElements();
    Globals()->UseIndexedParameters(4);
    SetParameter(QrVorlixGeneric::kPreBass, 0.5f);
    SetParameter(QrVorlixGeneric::kPreGain, 0.5f);
    SetParameter(QrVorlixGeneric::kPostGain, 0.5f);
    SetParameter(QrVorlixGeneric::kModel, 0.0f);

    const std::string path = bundleDirectory();
    std::printf("path:%s;\n", path.c_str());
    std::fflush(stdout);
    if (!path.empty())
        gFxDir = path + "/";
}

quorle::~quorle() = default;

AUKernelBase* quorle::NewKernel() {
    return new quorleKernel(this);
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
    outInfo.maxValue = model ? 3.0f : 1.0f;
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
        case kQuorleProperty_PluginDirectory:
            // A longer directory reports its own size, so that a host can read it whole.
            outDataSize = static_cast<UInt32>(std::max(kDirectorySize, gFxDir.size() + 1));
            outWritable = false;
            return noErr;
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
        case kQuorleProperty_PluginDirectory:
            std::memcpy(outData, gFxDir.c_str(), gFxDir.size() + 1);
            return noErr;
        default: break;
        }
    }
    return AUEffectBase::GetProperty(id, scope, element, outData);
}

quorleKernel::quorleKernel(AUEffectBase* unit) : AUKernelBase(unit), mEffect(new VorlixMac) {
    // The effect runs at the stream's rate: its first model is built at that rate,
    // and the fixed filters and the graph are told it once the effect is ready.
    const float rate = static_cast<float>(unit->GetSampleRate());
    mEffect->setSampleRate(rate);
    try {
        mEffect->init();
    } catch (...) {
        delete mEffect;
        mEffect = nullptr;
        throw;
    }
    mEffect->dispatcher(10, 0, 0, nullptr, rate);
    // The first Process forwards the three controls whatever the host holds; the
    // model is only forwarded when it differs from the one init loaded.
    mLastValues[0] = mLastValues[1] = mLastValues[2] = std::nanf("");
    mLastValues[3] = static_cast<float>(mEffect->currentModel);
}

quorleKernel::~quorleKernel() {
    delete mEffect;
}

void quorleKernel::Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                           UInt32, bool&) {
    for (int i = 0; i < 4; ++i) {
        const float value = GetParameter(static_cast<AudioUnitParameterID>(i));
        if (!(value == mLastValues[i])) {
            // A model index outside the list throws here, before it is remembered,
            // so every later slice tries again until the host sets a valid one.
            mEffect->setParameter(i, value);
            mLastValues[i] = value;
        }
    }
    float* in = const_cast<float*>(inSourceP);
    float* out = inDestP;
    mEffect->process(&in, &out, static_cast<int32_t>(inFramesToProcess));
}
