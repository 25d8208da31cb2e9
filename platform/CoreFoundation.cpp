#include "platform/CoreFoundation.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

// Every object starts with a common header: a marker that tells our objects from
// other memory, the type and the reference count. Functions check the marker and
// the type before they touch an object, so a null or wrongly typed argument is
// refused instead of misread. Each object type derives from Object alone, so an
// object's address is its header's address.
namespace cfobj {

enum : CFTypeID { kDictionary = 1, kNumber, kData, kString, kURL, kBundle };
constexpr uint32_t kMarker = 0x71634631;

struct Object {
    explicit Object(CFTypeID t) : type(t) {}
    uint32_t marker = kMarker;
    CFTypeID type;
    std::atomic<CFIndex> refs{1};
};

template <CFTypeID Type> struct Typed : Object {
    static constexpr CFTypeID kType = Type;
    Typed() : Object(Type) {}
};

const Object* header(const void* p) {
    const auto* o = static_cast<const Object*>(p);
    return o && o->marker == kMarker ? o : nullptr;
}

template <typename T> const T* as(const void* p) {
    const Object* o = header(p);
    return o && o->type == T::kType ? static_cast<const T*>(o) : nullptr;
}

} // namespace cfobj

struct __CFString : cfobj::Typed<cfobj::kString> {
    std::string text;
    CFIndex length = 0; // UTF-16 units, as the platform counts them
    bool ascii = true;
};
struct __CFNumber : cfobj::Typed<cfobj::kNumber> {
    double value = 0.0; // holds every SInt32, Float32 and Float64 exactly
};
struct __CFData : cfobj::Typed<cfobj::kData> {
    std::vector<uint8_t> bytes;
};
struct __CFDictionary : cfobj::Typed<cfobj::kDictionary> {
    std::vector<std::pair<const __CFString*, CFTypeRef>> entries; // insertion order
};
struct __CFURL : cfobj::Typed<cfobj::kURL> {
    std::string path;
};
struct __CFBundle : cfobj::Typed<cfobj::kBundle> {
    explicit __CFBundle(std::string p) : path(std::move(p)) {}
    std::string path; // the directory, without a trailing "/"
};

// Only kCFType behaviour exists: dictionaries always retain keys and values.
struct CFDictionaryKeyCallBacks {};
struct CFDictionaryValueCallBacks {};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks{};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks{};

namespace {

using cfobj::as;

// Allocates an object and lets `fill` set it up; null when memory runs out.
template <typename T, typename Fill> T* make(Fill fill) {
    try {
        auto object = std::make_unique<T>();
        fill(*object);
        return object.release();
    } catch (...) {
        return nullptr;
    }
}

void destroy(const cfobj::Object* o) {
    switch (o->type) {
    case cfobj::kString: delete static_cast<const __CFString*>(o); break;
    case cfobj::kNumber: delete static_cast<const __CFNumber*>(o); break;
    case cfobj::kData: delete static_cast<const __CFData*>(o); break;
    case cfobj::kURL: delete static_cast<const __CFURL*>(o); break;
    case cfobj::kDictionary: {
        const auto* d = static_cast<const __CFDictionary*>(o);
        for (const auto& [key, value] : d->entries) {
            CFRelease(key);
            CFRelease(value);
        }
        delete d;
        break;
    }
    default: break; // the bundle lives as long as the process
    }
}

// Number of UTF-16 units in well-formed UTF-8 text, or -1 when it is malformed
// (bad lead or continuation bytes, overlong forms, surrogates, beyond U+10FFFF).
CFIndex utf16Units(const std::string& s) {
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    CFIndex units = 0;
    for (size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const size_t n = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
        if (n == 0 || s.size() - i < n)
            return -1;
        uint32_t code = n == 1 ? lead : lead & (0x7Fu >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return -1;
            code = (code << 6) | (c & 0x3Fu);
        }
        if (code < smallest[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return -1;
        units += code >= 0x10000 ? 2 : 1;
        i += n;
    }
    return units;
}

// Copies text with its terminator into size bytes; on failure leaves an empty text.
bool copyText(const std::string& text, void* buffer, CFIndex size) {
    if (!buffer || size <= 0)
        return false;
    auto* out = static_cast<char*>(buffer);
    if (text.size() >= static_cast<size_t>(size)) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// Whether the text can be given out in `encoding`.
bool encodable(const __CFString& s, CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 || (encoding == kCFStringEncodingASCII && s.ascii);
}

CFURLRef makeURL(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty())
        return nullptr;
    return make<__CFURL>([&](__CFURL& u) { u.path = std::move(path); });
}

// The directory of the binary that holds this code. For the main program the
// loader only knows the name it was started by, so its file is taken from /proc.
std::string ownDirectory() {
    Dl_info info{};
    link_map* map = nullptr;
    if (!dladdr1(reinterpret_cast<void*>(&ownDirectory), &info, reinterpret_cast<void**>(&map),
                 RTLD_DL_LINKMAP))
        return {};
    const bool mainProgram = !map || !map->l_name || map->l_name[0] == '\0';
    const char* file = mainProgram ? "/proc/self/exe" : info.dli_fname;
    std::unique_ptr<char, void (*)(void*)> real(file ? realpath(file, nullptr) : nullptr,
                                                std::free);
    char* slash = real ? std::strrchr(real.get(), '/') : nullptr;
    if (!slash)
        return {};
    slash[slash == real.get() ? 1 : 0] = '\0'; // the root keeps its "/"
    try {
        return real.get();
    } catch (...) {
        return {};
    }
}

CFBundleRef ownBundle() {
    static __CFBundle bundle(ownDirectory());
    return bundle.path.empty() ? nullptr : &bundle;
}

} // namespace

CFTypeID CFDictionaryGetTypeID() {
    return cfobj::kDictionary;
}
CFTypeID CFNumberGetTypeID() {
    return cfobj::kNumber;
}
CFTypeID CFDataGetTypeID() {
    return cfobj::kData;
}
CFTypeID CFStringGetTypeID() {
    return cfobj::kString;
}
CFTypeID CFURLGetTypeID() {
    return cfobj::kURL;
}

CFTypeRef CFRetain(CFTypeRef object) {
    const cfobj::Object* o = cfobj::header(object);
    if (o && o->type != cfobj::kBundle)
        const_cast<cfobj::Object*>(o)->refs.fetch_add(1, std::memory_order_relaxed);
    return o ? object : nullptr;
}

void CFRelease(CFTypeRef object) {
    const cfobj::Object* o = cfobj::header(object);
    if (!o || o->type == cfobj::kBundle)
        return;
    if (const_cast<cfobj::Object*>(o)->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        destroy(o);
}

CFIndex CFGetRetainCount(CFTypeRef object) {
    const cfobj::Object* o = cfobj::header(object);
    return o ? o->refs.load(std::memory_order_relaxed) : 0;
}

CFTypeID CFGetTypeID(CFTypeRef object) {
    const cfobj::Object* o = cfobj::header(object);
    return o ? o->type : 0;
}

// --- Strings ---

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding) {
    if (!text)
        return nullptr;
    __CFString* s = make<__CFString>([&](__CFString& s) {
        s.text = text;
        s.length = utf16Units(s.text);
        s.ascii = s.length == static_cast<CFIndex>(s.text.size());
    });
    if (s && (s->length < 0 || !encodable(*s, encoding))) {
        CFRelease(s);
        return nullptr;
    }
    return s;
}

bool CFStringGetCString(CFStringRef string, char* buffer, CFIndex size, CFStringEncoding encoding) {
    const auto* s = as<__CFString>(string);
    if (!s || !encodable(*s, encoding)) {
        copyText(std::string(), buffer, size);
        return false;
    }
    return copyText(s->text, buffer, size);
}

CFIndex CFStringGetLength(CFStringRef string) {
    const auto* s = as<__CFString>(string);
    return s ? s->length : 0;
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) {
    const auto* s = as<__CFString>(string);
    return s && encodable(*s, encoding) ? s->text.c_str() : nullptr;
}

// --- Numbers ---

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* value) {
    if (!value)
        return nullptr;
    double v;
    switch (type) {
    case kCFNumberSInt32Type: {
        int32_t i;
        std::memcpy(&i, value, sizeof i);
        v = i;
        break;
    }
    case kCFNumberFloat32Type: {
        float f;
        std::memcpy(&f, value, sizeof f);
        v = f;
        break;
    }
    case kCFNumberFloat64Type: std::memcpy(&v, value, sizeof v); break;
    default: return nullptr;
    }
    return make<__CFNumber>([&](__CFNumber& n) { n.value = v; });
}

// Writes the nearest value of `type` (integers truncate and saturate, NaN gives 0)
// and tells whether it equals the stored value exactly.
bool CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value) {
    const auto* n = as<__CFNumber>(number);
    if (!n || !value)
        return false;
    const double v = n->value;
    switch (type) {
    case kCFNumberSInt32Type: {
        const int32_t i = std::isnan(v)    ? 0
                          : v <= INT32_MIN ? INT32_MIN
                          : v >= INT32_MAX ? INT32_MAX
                                           : static_cast<int32_t>(v);
        std::memcpy(value, &i, sizeof i);
        return static_cast<double>(i) == v;
    }
    case kCFNumberFloat32Type: {
        const float f = static_cast<float>(v);
        std::memcpy(value, &f, sizeof f);
        return static_cast<double>(f) == v || std::isnan(v);
    }
    case kCFNumberFloat64Type: std::memcpy(value, &v, sizeof v); return true;
    default: return false;
    }
}

// --- Data ---

CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t* bytes, CFIndex length) {
    if (length < 0 || (!bytes && length > 0))
        return nullptr;
    return make<__CFData>([&](__CFData& d) { d.bytes.assign(bytes, bytes + length); });
}

CFIndex CFDataGetLength(CFDataRef data) {
    const auto* d = as<__CFData>(data);
    return d ? static_cast<CFIndex>(d->bytes.size()) : 0;
}

const uint8_t* CFDataGetBytePtr(CFDataRef data) {
    const auto* d = as<__CFData>(data);
    return d ? d->bytes.data() : nullptr;
}

// --- Dictionaries: few keys each, so a linear search in insertion order ---

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks*,
                                                 const CFDictionaryValueCallBacks*) {
    return make<__CFDictionary>([](__CFDictionary&) {});
}

namespace {
// The entry whose key has the text of `key`, or null.
const std::pair<const __CFString*, CFTypeRef>* findEntry(const __CFDictionary* d, const void* key) {
    const auto* k = as<__CFString>(key);
    if (!d || !k)
        return nullptr;
    for (const auto& entry : d->entries)
        if (entry.first->text == k->text)
            return &entry;
    return nullptr;
}
} // namespace

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value) {
    const auto* k = as<__CFString>(key);
    if (!as<__CFDictionary>(dictionary) || !k || !cfobj::header(value))
        return;
    if (const auto* found = findEntry(dictionary, key)) {
        auto& entry = dictionary->entries[static_cast<size_t>(found - dictionary->entries.data())];
        CFRetain(value); // before the release: the value may be the one replaced
        CFRelease(std::exchange(entry.second, value));
        return;
    }
    try {
        dictionary->entries.emplace_back(k, value);
    } catch (...) {
        return;
    }
    CFRetain(k);
    CFRetain(value);
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
    const auto* entry = findEntry(as<__CFDictionary>(dictionary), key);
    return entry ? entry->second : nullptr;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
    const auto* d = as<__CFDictionary>(dictionary);
    return d ? static_cast<CFIndex>(d->entries.size()) : 0;
}

const void* CFDictionaryGetKeyAtIndex(CFDictionaryRef dictionary, CFIndex index) {
    const auto* d = as<__CFDictionary>(dictionary);
    if (!d || index < 0 || static_cast<size_t>(index) >= d->entries.size())
        return nullptr;
    return d->entries[static_cast<size_t>(index)].first;
}

// --- URLs: an absolute or relative file path, kept without a trailing "/" ---

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const uint8_t* path,
                                                 CFIndex length, bool) {
    if (!path || length <= 0)
        return nullptr;
    const void* end = std::memchr(path, '\0', static_cast<size_t>(length));
    const size_t n = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - path)
                         : static_cast<size_t>(length);
    try {
        return makeURL(std::string(reinterpret_cast<const char*>(path), n));
    } catch (...) {
        return nullptr;
    }
}

bool CFURLGetFileSystemRepresentation(CFURLRef url, bool, uint8_t* buffer, CFIndex size) {
    const auto* u = as<__CFURL>(url);
    if (!u) {
        copyText(std::string(), buffer, size);
        return false;
    }
    return copyText(u->path, buffer, size);
}

// --- Bundles ---

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef identifier) {
    const auto* id = as<__CFString>(identifier);
    return id && id->text == kPluginBundleIdentifier ? ownBundle() : nullptr;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
    const auto* b = as<__CFBundle>(bundle);
    try {
        return b ? makeURL(b->path) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type,
                                 CFStringRef subDir) {
    const auto* b = as<__CFBundle>(bundle);
    const auto* n = as<__CFString>(name);
    const auto* t = as<__CFString>(type);
    const auto* sub = as<__CFString>(subDir);
    if (!b || !n || n->text.empty())
        return nullptr;
    try {
        std::string path = b->path + "/Resources/";
        if (sub && !sub->text.empty())
            path += sub->text + (sub->text.back() == '/' ? "" : "/");
        path += n->text;
        if (t && !t->text.empty())
            path += "." + t->text;
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? makeURL(std::move(path)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}
