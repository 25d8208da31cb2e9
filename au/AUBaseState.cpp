// The unit's state as a class-info dictionary, and the current preset.
//
// Keys, in the order they are made: "version" (0), "type", "subtype",
// "manufacturer" (the component's codes), "data" (parameter blocks), "name" (the
// current preset name), "render-quality" and "cpu-load" (when the unit reads
// them), "element-name" (when an element of scopes 0..4 has a name: per scope,
// keyed by the scope number as decimal text, the names keyed by element number as
// decimal text).
//
// "data" holds, for scopes 0, 1 and 2 and each element with parameters: scope,
// element, parameter count, then (ID, value) pairs, every field 32 bits
// big-endian, the value by its float bits. Restoring reads whole fields only: a
// block header or pair cut off by the end of the data ends the parse there.
#include "au/AUBase.h"

#include "au/AUStatus.h"

#include <cstdio>
#include <cstring>

namespace {

// Releases a property-list object it holds when it goes out of scope.
class CFHolder {
  public:
    explicit CFHolder(CFTypeRef object) : object(object) {}
    ~CFHolder() {
        if (object)
            CFRelease(object);
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
    CFTypeRef get() const { return object; }
    CFTypeRef release() {
        CFTypeRef kept = object;
        object = nullptr;
        return kept;
    }

  private:
    CFTypeRef object;
};

CFStringRef MakeString(const char* text) {
    return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
}

CFMutableDictionaryRef MakeDictionary() {
    return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

void SetValue(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value) {
    CFHolder keyString(MakeString(key));
    CFDictionarySetValue(dictionary, keyString.get(), value);
}

void SetNumber(CFMutableDictionaryRef dictionary, const char* key, SInt32 value) {
    CFHolder number(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value));
    SetValue(dictionary, key, number.get());
}

CFTypeRef GetValue(CFDictionaryRef dictionary, const char* key) {
    CFHolder keyString(MakeString(key));
    return CFDictionaryGetValue(dictionary, keyString.get());
}

bool IsOfType(CFTypeRef object, CFTypeID type) {
    return object && CFGetTypeID(object) == type;
}

bool GetSInt32(CFDictionaryRef dictionary, const char* key, SInt32& outValue) {
    CFTypeRef number = GetValue(dictionary, key);
    return IsOfType(number, CFNumberGetTypeID()) &&
           CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt32Type, &outValue);
}

SInt32 CodeAsNumber(OSType code) {
    SInt32 number;
    std::memcpy(&number, &code, sizeof(number));
    return number;
}

void AppendBigEndian(std::vector<uint8_t>& bytes, UInt32 value) {
    bytes.push_back(uint8_t(value >> 24));
    bytes.push_back(uint8_t(value >> 16));
    bytes.push_back(uint8_t(value >> 8));
    bytes.push_back(uint8_t(value));
}

UInt32 ReadBigEndian(const uint8_t* p) {
    return UInt32(p[0]) << 24 | UInt32(p[1]) << 16 | UInt32(p[2]) << 8 | UInt32(p[3]);
}

UInt32 FloatBits(Float32 value) {
    UInt32 bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

Float32 BitsFloat(UInt32 bits) {
    Float32 value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

constexpr size_t kBlockHeaderBytes = 12;
constexpr size_t kPairBytes = 8;

} // namespace

OSStatus AUBase::SaveState(CFPropertyListRef* outData) {
    ComponentDescription description = {};
    const OSErr infoError =
        GetComponentInfo(mComponentInstance, &description, nullptr, nullptr, nullptr);
    if (infoError != 0)
        return infoError;

    CFHolder holder(MakeDictionary());
    auto* state = static_cast<CFMutableDictionaryRef>(const_cast<void*>(holder.get()));
    SetNumber(state, "version", 0);
    SetNumber(state, "type", CodeAsNumber(description.componentType));
    SetNumber(state, "subtype", CodeAsNumber(description.componentSubType));
    SetNumber(state, "manufacturer", CodeAsNumber(description.componentManufacturer));

    std::vector<uint8_t> bytes;
    std::vector<AudioUnitParameterID> ids;
    for (AudioUnitScope scope = kAudioUnitScope_Global; scope <= kAudioUnitScope_Output; ++scope) {
        for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e) {
            const AUElement* element = GetElement(scope, e);
            const UInt32 count = element->GetNumberOfParameters();
            if (count == 0)
                continue;
            ids.resize(count);
            element->GetParameterList(ids.data());
            AppendBigEndian(bytes, scope);
            AppendBigEndian(bytes, e);
            AppendBigEndian(bytes, count);
            for (AudioUnitParameterID id : ids) {
                AppendBigEndian(bytes, id);
                AppendBigEndian(bytes, FloatBits(element->GetParameter(id)));
            }
        }
    }
    CFHolder data(CFDataCreate(kCFAllocatorDefault, bytes.data(), CFIndex(bytes.size())));
    SetValue(state, "data", data.get());

    if (mCurrentPreset.presetName) {
        SetValue(state, "name", mCurrentPreset.presetName);
    } else {
        CFHolder untitled(MakeString("Untitled"));
        SetValue(state, "name", untitled.get());
    }

    UInt32 size = 0;
    Boolean writable = false;
    if (DispatchGetPropertyInfo(kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0, size,
                                writable) == noErr &&
        size == sizeof(UInt32)) {
        UInt32 quality = 0;
        if (DispatchGetProperty(kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0,
                                &quality) == noErr)
            SetNumber(state, "render-quality", SInt32(quality));
    }
    if (DispatchGetPropertyInfo(kAudioUnitProperty_CPULoad, kAudioUnitScope_Global, 0, size,
                                writable) == noErr &&
        size == sizeof(Float32)) {
        Float32 load = 0.0f;
        if (DispatchGetProperty(kAudioUnitProperty_CPULoad, kAudioUnitScope_Global, 0, &load) ==
            noErr) {
            CFHolder number(CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat32Type, &load));
            SetValue(state, "cpu-load", number.get());
        }
    }

    CFHolder names(MakeDictionary());
    auto* nameScopes = static_cast<CFMutableDictionaryRef>(const_cast<void*>(names.get()));
    bool anyName = false;
    for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope) {
        CFMutableDictionaryRef scopeNames = nullptr; // kept alive by nameScopes
        for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e) {
            CFStringRef name = GetElement(scope, e)->GetName();
            if (!name)
                continue;
            char key[24];
            if (!scopeNames) {
                CFHolder made(MakeDictionary());
                std::snprintf(key, sizeof(key), "%ld", long(scope));
                SetValue(nameScopes, key, made.get());
                scopeNames = static_cast<CFMutableDictionaryRef>(const_cast<void*>(made.get()));
            }
            std::snprintf(key, sizeof(key), "%lu", static_cast<unsigned long>(e));
            SetValue(scopeNames, key, name);
            anyName = true;
        }
    }
    if (anyName)
        SetValue(state, "element-name", nameScopes);

    *outData = holder.release();
    return noErr;
}

OSStatus AUBase::RestoreState(CFPropertyListRef data) {
    if (!IsOfType(data, CFDictionaryGetTypeID()))
        return kAudioUnitErr_InvalidPropertyValue;
    const auto state = static_cast<CFDictionaryRef>(data);

    ComponentDescription description = {};
    const OSErr infoError =
        GetComponentInfo(mComponentInstance, &description, nullptr, nullptr, nullptr);
    if (infoError != 0)
        return infoError;

    // Everything that can refuse the state is checked before anything changes.
    if (GetValue(state, "part"))
        return kAudioUnitErr_InvalidPropertyValue;
    SInt32 version = -1, subtype = 0, manufacturer = 0;
    if (!GetSInt32(state, "version", version) || version != 0)
        return kAudioUnitErr_InvalidPropertyValue;
    if (!GetSInt32(state, "subtype", subtype) ||
        subtype != CodeAsNumber(description.componentSubType))
        return kAudioUnitErr_InvalidPropertyValue;
    if (!GetSInt32(state, "manufacturer", manufacturer) ||
        manufacturer != CodeAsNumber(description.componentManufacturer))
        return kAudioUnitErr_InvalidPropertyValue;
    CFTypeRef blocks = GetValue(state, "data");
    if (blocks && !IsOfType(blocks, CFDataGetTypeID()))
        return kAudioUnitErr_InvalidPropertyValue;

    if (blocks) {
        const auto bytes = static_cast<CFDataRef>(blocks);
        const uint8_t* p = CFDataGetBytePtr(bytes);
        const CFIndex length = CFDataGetLength(bytes);
        size_t left = p && length > 0 ? size_t(length) : 0;
        bool parsing = true;
        while (parsing && left >= kBlockHeaderBytes) {
            const AudioUnitScope scope = ReadBigEndian(p);
            const AudioUnitElement elementNumber = ReadBigEndian(p + 4);
            const UInt32 count = ReadBigEndian(p + 8);
            p += kBlockHeaderBytes;
            left -= kBlockHeaderBytes;
            AUElement* element = GetElement(scope, elementNumber);
            if (!element)
                break;
            for (UInt32 i = 0; i < count; ++i) {
                if (left < kPairBytes) {
                    parsing = false;
                    break;
                }
                const AudioUnitParameterID id = ReadBigEndian(p);
                const Float32 value = BitsFloat(ReadBigEndian(p + 4));
                p += kPairBytes;
                left -= kPairBytes;
                if (element->UsesIndexedParameters() && !element->HasParameter(id))
                    return kAudioUnitErr_InvalidParameter;
                element->SetParameter(id, value);
            }
        }
    }

    CFTypeRef name = GetValue(state, "name");
    if (IsOfType(name, CFStringGetTypeID())) {
        SetCurrentPreset(-1, static_cast<CFStringRef>(name));
    } else {
        CFHolder untitled(MakeString("Untitled"));
        SetCurrentPreset(-1, static_cast<CFStringRef>(untitled.get()));
    }
    PropertyChanged(kAudioUnitProperty_CurrentPreset, kAudioUnitScope_Global, 0);
    PropertyChanged(kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0);

    // Optional settings the unit may refuse; a refusal does not fail the restore.
    SInt32 quality = 0;
    if (GetSInt32(state, "render-quality", quality)) {
        const UInt32 value = UInt32(quality);
        try {
            DispatchSetProperty(kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0, &value,
                                sizeof(value));
        } catch (...) {
        }
    }
    CFTypeRef load = GetValue(state, "cpu-load");
    Float32 loadValue = 0.0f;
    if (IsOfType(load, CFNumberGetTypeID()) &&
        CFNumberGetValue(static_cast<CFNumberRef>(load), kCFNumberFloat32Type, &loadValue)) {
        try {
            DispatchSetProperty(kAudioUnitProperty_CPULoad, kAudioUnitScope_Global, 0, &loadValue,
                                sizeof(loadValue));
        } catch (...) {
        }
    }

    CFTypeRef names = GetValue(state, "element-name");
    if (IsOfType(names, CFDictionaryGetTypeID())) {
        for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope) {
            char key[24];
            std::snprintf(key, sizeof(key), "%ld", long(scope));
            CFTypeRef scopeNames = GetValue(static_cast<CFDictionaryRef>(names), key);
            if (!IsOfType(scopeNames, CFDictionaryGetTypeID()))
                continue;
            for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e) {
                std::snprintf(key, sizeof(key), "%lu", static_cast<unsigned long>(e));
                CFTypeRef elementName = GetValue(static_cast<CFDictionaryRef>(scopeNames), key);
                if (IsOfType(elementName, CFStringGetTypeID()))
                    GetElement(scope, e)->SetName(static_cast<CFStringRef>(elementName));
            }
            PropertyChanged(kAudioUnitProperty_ElementCount, scope, 0);
        }
    }
    return noErr;
}

OSStatus AUBase::NewFactoryPresetSet(const AUPreset&) {
    return kAudioUnitErr_InvalidProperty;
}

void AUBase::SetCurrentPreset(SInt32 number, CFStringRef name) {
    if (name)
        CFRetain(name);
    if (mCurrentPreset.presetName)
        CFRelease(mCurrentPreset.presetName);
    mCurrentPreset.presetNumber = number;
    mCurrentPreset.presetName = name;
}
