#include "au/quorle.h"

#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
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
    const OSStatus status = AUEffectBase::Initialize();
    if (status != noErr)
        return status;
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
        case kQuorleProperty_OversamplingFromRender:
        case kQuorleProperty_PrepareOnDemand:
            outDataSize = sizeof(UInt32);
            outWritable = true;
            return noErr;
        case kQuorleProperty_PreparedGraphs:
        case kQuorleProperty_InstalledGraphs:
            outDataSize = sizeof(QuorleGraphs);
            outWritable = true;
            return noErr;
        case kQuorleProperty_ArchivePath:
            outDataSize = static_cast<UInt32>(mArchivePath.size() + 1);
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
        case kQuorleProperty_OversamplingFromRender: {
            const UInt32 factor = Oversampling();
            std::memcpy(outData, &factor, sizeof(factor));
            return noErr;
        }
        case kQuorleProperty_ArchivePath:
            std::memcpy(outData, mArchivePath.c_str(), mArchivePath.size() + 1);
            return noErr;
        case kQuorleProperty_PrepareOnDemand: {
            const UInt32 onDemand = mOnDemand.load();
            std::memcpy(outData, &onDemand, sizeof(onDemand));
            return noErr;
        }
        case kQuorleProperty_PreparedGraphs:
        case kQuorleProperty_InstalledGraphs: {
            QuorleGraphs graphs;
            const OSStatus status = id == kQuorleProperty_PreparedGraphs
                                        ? PrepareGraphs(element, graphs)
                                        : (CollectGraphs(graphs), OSStatus(noErr));
            if (status == noErr)
                std::memcpy(outData, &graphs, sizeof(graphs));
            return status;
        }
        default: break;
        }
    }
    return AUEffectBase::GetProperty(id, scope, element, outData);
}

// The render thread changes the factor through a property of its own rather than
// through 64002 with its announcement made safe there: trying the listener lock
// still takes it whenever it is free, and then runs the listeners (which may
// allocate, lock or write) on the audio thread; deferring the announcement needs a
// later call off the render thread, which an LV2 host never makes; and the unit
// cannot tell the render thread by itself (an LV2 host may run an instance on any
// of its worker threads, and nothing is known before the first render). The
// caller knows which thread it is on, so it names the property that fits it.
bool quorle::AnnouncesWhenSet(AudioUnitPropertyID id) const {
    return id != kQuorleProperty_OversamplingFromRender && id != kQuorleProperty_PrepareOnDemand &&
           id != kQuorleProperty_PreparedGraphs && id != kQuorleProperty_InstalledGraphs;
}

bool quorle::ValueMayBeCut(AudioUnitPropertyID id) const {
    return id != kQuorleProperty_PrepareOnDemand && id != kQuorleProperty_PreparedGraphs &&
           id != kQuorleProperty_InstalledGraphs && id != kQuorleProperty_ArchivePath;
}

quorleKernel* quorle::Kernel(UInt32 channel) {
    return dynamic_cast<quorleKernel*>(GetKernel(channel));
}

OSStatus quorle::PrepareGraphs(AudioUnitElement index, QuorleGraphs& out) {
    if (!IsInitialized())
        return kAudioUnitErr_Uninitialized;
    if (index >= mModelCount.load())
        return kAudioUnitErr_InvalidProperty;
    const UInt32 channels = static_cast<UInt32>(GetNumKernels());
    if (channels == 0 || channels > kQuorleMaxGraphs)
        return kAudioUnitErr_InvalidPropertyValue;
    std::unique_ptr<PreparedGraph> built[kQuorleMaxGraphs];
    for (UInt32 c = 0; c < channels; ++c) {
        quorleKernel* kernel = Kernel(c);
        built[c] = kernel ? kernel->PrepareModel(static_cast<int>(index)) : nullptr;
        if (!built[c])
            return kAudioUnitErr_FailedInitialization; // those built so far are freed
    }
    out.model = index;
    out.count = channels;
    for (UInt32 c = 0; c < channels; ++c)
        out.graphs[c] = built[c].release();
    return noErr;
}

OSStatus quorle::InstallGraphs(const QuorleGraphs& graphs) {
    const UInt32 channels = static_cast<UInt32>(GetNumKernels());
    if (!IsInitialized() || graphs.count != channels || channels > kQuorleMaxGraphs)
        return kAudioUnitErr_InvalidPropertyValue;
    // All or nothing: every kernel must be able to take its graph.
    for (UInt32 c = 0; c < channels; ++c) {
        quorleKernel* kernel = Kernel(c);
        if (!kernel || !graphs.graphs[c] || !kernel->CanTakeGraph())
            return kAudioUnitErr_InvalidPropertyValue;
    }
    for (UInt32 c = 0; c < channels; ++c)
        Kernel(c)->Offer(std::unique_ptr<PreparedGraph>(graphs.graphs[c]));
    return noErr;
}

void quorle::CollectGraphs(QuorleGraphs& out) {
    out.model = 0;
    out.count = 0;
    const UInt32 channels = static_cast<UInt32>(GetNumKernels());
    for (UInt32 c = 0; c < channels && out.count < kQuorleMaxGraphs; ++c) {
        quorleKernel* kernel = Kernel(c);
        while (kernel && out.count < kQuorleMaxGraphs) {
            std::unique_ptr<PreparedGraph> graph = kernel->TakeRetired();
            if (!graph)
                break;
            out.graphs[out.count++] = graph.release();
        }
    }
}

bool quorle::StoreFactor(UInt32 factor) {
    return mOversampling.exchange(factor, std::memory_order_relaxed) != factor;
}

OSStatus quorle::SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             const void* inData, UInt32 inDataSize) {
    if (id == kQuorleProperty_ArchivePath) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        if (IsInitialized())
            return kAudioUnitErr_Initialized;
        const char* text = static_cast<const char*>(inData);
        // The terminator must be the last byte: a path is never cut or read past.
        if (!text || inDataSize == 0 || inDataSize > kMaxArchivePathBytes ||
            std::memchr(text, 0, inDataSize) != text + inDataSize - 1)
            return kAudioUnitErr_InvalidPropertyValue;
        mArchivePath.assign(text, inDataSize - 1);
        return noErr;
    }
    if (id == kQuorleProperty_PrepareOnDemand || id == kQuorleProperty_PreparedGraphs ||
        id == kQuorleProperty_InstalledGraphs) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        const UInt32 size =
            id == kQuorleProperty_PrepareOnDemand ? sizeof(UInt32) : sizeof(QuorleGraphs);
        if (!inData || inDataSize != size)
            return kAudioUnitErr_InvalidPropertyValue;
        if (id == kQuorleProperty_PrepareOnDemand) {
            UInt32 onDemand;
            std::memcpy(&onDemand, inData, sizeof(onDemand));
            if (onDemand > 1)
                return kAudioUnitErr_InvalidPropertyValue;
            mOnDemand = onDemand;
            return noErr;
        }
        QuorleGraphs graphs;
        std::memcpy(&graphs, inData, sizeof(graphs));
        if (graphs.count > kQuorleMaxGraphs)
            return kAudioUnitErr_InvalidPropertyValue;
        if (id == kQuorleProperty_InstalledGraphs)
            return InstallGraphs(graphs);
        for (UInt32 i = 0; i < graphs.count; ++i)
            delete graphs.graphs[i];
        return noErr;
    }
    if (id != kQuorleProperty_Oversampling && id != kQuorleProperty_OversamplingFromRender)
        return AUEffectBase::SetProperty(id, scope, element, inData, inDataSize);
    if (scope != kAudioUnitScope_Global)
        return kAudioUnitErr_InvalidScope;
    if (!inData || inDataSize != sizeof(UInt32))
        return kAudioUnitErr_InvalidPropertyValue;
    UInt32 factor;
    std::memcpy(&factor, inData, sizeof(factor));
    if (!Oversampler::isValidFactor(factor))
        return kAudioUnitErr_InvalidPropertyValue;
    const bool changed = StoreFactor(factor);
    // Through 64002 the base announces the factor itself; the latency changes with
    // it. Through 64003 (render thread) nothing is announced.
    if (changed && id == kQuorleProperty_Oversampling)
        PropertyChanged(kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0);
    return noErr;
}

Float64 quorle::GetLatency() {
    const Float64 rate = GetSampleRate();
    return rate > 0.0 ? Oversampler::latencyFor(static_cast<int>(Oversampling())) / rate : 0.0;
}

quorleKernel::quorleKernel(AUEffectBase* unit)
    : AUKernelBase(unit), mFactorSource(nullptr),
      mBaseRate(static_cast<float>(unit->GetSampleRate())),
      mBlock(std::max<UInt32>(unit->GetMaxFramesPerSlice(), 1)),
      mEffect(std::make_unique<VorlixMac>()) {
    auto* owner = dynamic_cast<quorle*>(unit);
    if (owner) {
        mFactorSource = &owner->mOversampling;
        mOnDemand = owner->mOnDemand.load() != 0;
        mEffect->archivePath = owner->mArchivePath;
    }
    const int factor = mFactorSource ? static_cast<int>(mFactorSource->load()) : 1;
    // The effect's work buffers hold a whole slice at the starting factor, so that
    // at that factor (or a lower one) no slice is cut; a factor raised later runs
    // in shorter pieces. At most the effect's own length (longer slices are cut
    // there as before), at least one base-rate frame at the highest factor.
    const uint64_t wanted = static_cast<uint64_t>(mBlock.size()) * static_cast<uint64_t>(factor);
    mEffect->setMaxBlock(static_cast<int32_t>(
        std::min<uint64_t>(std::max<uint64_t>(wanted, Oversampler::kMaxFactor), kSlotLength)));
    // The effect runs at the stream's rate times the factor: its first model is
    // built at that rate, and the fixed filters and the graph are told it once the
    // effect is ready.
    const float rate = mBaseRate * static_cast<float>(factor);
    mEffect->setSampleRate(rate);
    mEffect->init();
    mEffect->dispatcher(10, 0, 0, nullptr, rate);
    // Every model built now, so that switching on the render thread builds nothing.
    // The graph init built plays until the first switch; the effect keeps it after.
    // On demand, only the model the parameter names, when init did not load it.
    const size_t models = mEffect->modelNames.size();
    if (mOnDemand) {
        mModels.resize(models);
        // Room for every model's graph and a hand-in for each channel a unit may have.
        mRetired.reserve(models + kQuorleMaxGraphs);
        const int32_t wanted = modelIndex(unit->GetParameter(QrVorlixGeneric::kModel));
        if (wanted > 0 && static_cast<size_t>(wanted) < models)
            mModels[static_cast<size_t>(wanted)] = mEffect->prepare(wanted);
    } else {
        mModels.reserve(models);
        for (size_t i = 0; i < models; ++i)
            mModels.push_back(mEffect->prepare(static_cast<int>(i)));
    }
    // The oversampled piece fits the effect's buffer at every factor.
    size_t high = 0;
    for (int f = 2; f <= Oversampler::kMaxFactor; f *= 2)
        high = std::max<size_t>(high, static_cast<size_t>(PieceFor(f)) * static_cast<size_t>(f));
    mHigh.assign(high, 0.0f);
    // The oversampler streams the same whatever its calls' lengths, so it works
    // through a piece in short runs and keeps its own buffers small.
    mOversampler = std::make_unique<Oversampler>(
        unit->GetSampleRate(), static_cast<int>(std::min(PieceFor(2), kOversamplerRun)));
    mOversampler->setFactor(factor);
    mPiece = PieceFor(mOversampler->factor());
    // The first Process forwards the three controls whatever the host holds; the
    // model is only forwarded when it differs from the one init loaded.
    std::fill(std::begin(mLastControls), std::end(mLastControls), std::nanf(""));
    mLastModel = mEffect->currentModel;
}

UInt32 quorleKernel::PieceFor(int factor) const {
    const UInt32 block =
        static_cast<UInt32>(std::min<size_t>(mBlock.size(), std::numeric_limits<int32_t>::max()));
    // At factor 1 the effect cuts a piece longer than its buffer itself.
    if (factor <= 1)
        return block;
    const UInt32 fit = static_cast<UInt32>(mEffect->bufferSize / factor);
    return std::max<UInt32>(1, std::min(block, fit));
}

quorleKernel::~quorleKernel() = default;

std::unique_ptr<PreparedGraph> quorleKernel::PrepareModel(int index) {
    const int factor = mFactorSource ? static_cast<int>(mFactorSource->load()) : 1;
    return mEffect->prepare(index, mBaseRate * static_cast<float>(factor));
}

void quorleKernel::Offer(std::unique_ptr<PreparedGraph> graph) {
    const size_t model = graph ? static_cast<size_t>(graph->model) : mModels.size();
    if (model < mModels.size() && !mModels[model])
        mModels[model] = std::move(graph);
    else if (graph)
        mRetired.push_back(std::move(graph)); // within the reserved room: see CanTakeGraph()
    mMayRetire = true;
}

std::unique_ptr<PreparedGraph> quorleKernel::TakeRetired() {
    if (mRetired.empty())
        return nullptr;
    std::unique_ptr<PreparedGraph> graph = std::move(mRetired.back());
    mRetired.pop_back();
    return graph;
}

void quorleKernel::Retire() {
    if (!mOnDemand || !mMayRetire || mEffect->fadeRemaining() > 0)
        return;
    mMayRetire = false;
    for (std::unique_ptr<PreparedGraph>& model : mModels) {
        if (!model || model->graph == mEffect->graph)
            continue;
        if (mRetired.size() == mRetired.capacity()) {
            mMayRetire = true; // the rest once the caller has collected
            return;
        }
        mRetired.push_back(std::move(model));
    }
}

void quorleKernel::Reset() {
    mHeard = false;
    mEffect->clearState();
    mOversampler->reset();
}

void quorleKernel::TakeFactor() {
    const int factor = mFactorSource ? static_cast<int>(mFactorSource->load()) : 1;
    if (factor == mOversampler->factor() || !mOversampler->setFactor(factor))
        return;
    mPiece = PieceFor(factor);
    const float rate = mBaseRate * static_cast<float>(factor);
    mEffect->setSampleRate(rate); // models built from now on are built at this rate
    mEffect->dispatcher(10, 0, 0, nullptr, rate);
    mEffect->clearState();
}

void quorleKernel::ForwardParameters() {
    for (int i = 0; i < QrVorlixGeneric::kModel; ++i) {
        // Scheduled events reach the parameters without the unit's checks.
        const float value = controlValue(GetParameter(static_cast<AudioUnitParameterID>(i)));
        if (value != mLastControls[i]) {
            mEffect->setParameter(i, value);
            mLastControls[i] = value;
        }
    }
    // Indices, not values, are compared: 2.7 after 2 does not reload model 2. An
    // index outside the list is remembered and ignored, so the model playing stays
    // and no slice retries it; a model that could not be built leaves the old graph.
    // The switch fades to a graph built when the kernel was made.
    // On demand, a model without a graph yet is asked for again at the next Process.
    const int32_t model = modelIndex(GetParameter(QrVorlixGeneric::kModel));
    if (model != mLastModel) {
        PreparedGraph* next = model >= 0 ? preparedModel(static_cast<size_t>(model)) : nullptr;
        if (!next && mOnDemand && model >= 0 && static_cast<size_t>(model) < mModels.size())
            return;
        mLastModel = model;
        mMayRetire = true;
        // Nothing heard yet: nothing to fade from.
        if (mHeard)
            mEffect->switchTo(next);
        else
            mEffect->install(next);
    }
}

float* quorleKernel::TakePiece(const Float32* in, UInt32 frames, size_t stride) {
    float* block = mBlock.data();
    for (UInt32 i = 0; i < frames; ++i) {
        const float x = in[i * stride];
        block[i] = std::isfinite(x) ? x : 0.0f;
    }
    if (mOversampler->factor() == 1)
        return block;
    mOversampler->upsample(block, static_cast<int>(frames), mHigh.data());
    return mHigh.data();
}

void quorleKernel::GivePiece(Float32* out, UInt32 frames, size_t stride) {
    float* block = mBlock.data();
    if (mOversampler->factor() != 1)
        mOversampler->downsample(mHigh.data(), block, static_cast<int>(frames));
    bool finite = true;
    for (UInt32 i = 0; i < frames; ++i)
        finite &= std::isfinite(block[i]);
    if (!finite) {
        mEffect->clearState();
        mOversampler->reset();
        std::memset(block, 0, frames * sizeof(float));
    }
    for (UInt32 i = 0; i < frames; ++i)
        out[i * stride] = block[i];
}

void quorleKernel::Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                           UInt32 inNumChannels, bool&) {
    if (!inSourceP || !inDestP)
        return;
    TakeFactor();
    ForwardParameters();
    const size_t stride = inNumChannels > 0 ? inNumChannels : 1;
    const int factor = mOversampler->factor();
    mHeard = mHeard || inFramesToProcess > 0;
    for (UInt32 done = 0; done < inFramesToProcess;) {
        const UInt32 frames = std::min(mPiece, inFramesToProcess - done);
        float* io = TakePiece(inSourceP + done * stride, frames, stride);
        mEffect->process(&io, &io, static_cast<int32_t>(frames) * factor);
        GivePiece(inDestP + done * stride, frames, stride);
        done += frames;
    }
    Retire();
}

bool quorleKernel::ProcessPair(AUKernelBase& other, const Float32* inSourceP, Float32* inDestP,
                               const Float32* otherSourceP, Float32* otherDestP,
                               UInt32 inFramesToProcess, UInt32 inNumChannels, bool&) {
    auto* b = dynamic_cast<quorleKernel*>(&other);
    if (!b || b == this || !inSourceP || !inDestP || !otherSourceP || !otherDestP)
        return false;
    TakeFactor();
    ForwardParameters();
    b->TakeFactor();
    b->ForwardParameters();
    const int factor = mOversampler->factor();
    if (factor != b->mOversampler->factor() || mPiece != b->mPiece ||
        !mEffect->canRunWith(*b->mEffect))
        return false; // each runs alone; what was taken above is not taken again
    const size_t stride = inNumChannels > 0 ? inNumChannels : 1;
    mHeard = b->mHeard = mHeard || inFramesToProcess > 0;
    for (UInt32 done = 0; done < inFramesToProcess;) {
        const UInt32 frames = std::min(mPiece, inFramesToProcess - done);
        const size_t at = done * stride;
        float* ioA = TakePiece(inSourceP + at, frames, stride);
        float* ioB = b->TakePiece(otherSourceP + at, frames, stride);
        const int32_t n = static_cast<int32_t>(frames) * factor;
        // A piece after one that cleared a channel's state may no longer pair.
        if (!QrVorlixGeneric::processPair(*mEffect, ioA, *b->mEffect, ioB, n)) {
            mEffect->process(&ioA, &ioA, n);
            b->mEffect->process(&ioB, &ioB, n);
        }
        GivePiece(inDestP + at, frames, stride);
        b->GivePiece(otherDestP + at, frames, stride);
        done += frames;
    }
    Retire();
    b->Retire();
    return true;
}
