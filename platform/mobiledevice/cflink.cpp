#include "platform/mobiledevice/cflink.h"

#include <dlfcn.h>

#include <mutex>
#include <type_traits>
#include <vector>

namespace {

// The name CoreFoundation is known by in the process (its soname), whichever
// folder it was loaded from.
const char *const kCoreFoundationName = "libCoreFoundation.so";

} // namespace

const CoreFoundationLink *CoreFoundationLink::get()
{
    static std::mutex mutex;
    static CoreFoundationLink *link = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (link)
        return link;
    // RTLD_NOLOAD: only a library already loaded answers; none is loaded here.
    void *library = dlopen(kCoreFoundationName, RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        return nullptr;
    auto *candidate = new CoreFoundationLink;
    if (!candidate->bind(library)) {
        delete candidate;
        dlclose(library);
        return nullptr;
    }
    // Kept (with the library's reference) for the life of the process.
    link = candidate;
    return link;
}

bool CoreFoundationLink::bind(void *library)
{
    bool complete = true;
    auto take = [&](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
        complete = complete && slot;
    };
#define QP_CF_BIND(name) take(name, #name);
    QP_CF_BIND(CFRetain)
    QP_CF_BIND(CFRelease)
    QP_CF_BIND(CFGetTypeID)
    QP_CF_BIND(CFStringGetTypeID)
    QP_CF_BIND(CFDictionaryGetTypeID)
    QP_CF_BIND(CFBooleanGetTypeID)
    QP_CF_BIND(CFNumberGetTypeID)
    QP_CF_BIND(CFNumberGetValue)
    QP_CF_BIND(CFStringCreateWithBytes)
    QP_CF_BIND(CFStringGetLength)
    QP_CF_BIND(CFStringGetBytes)
    QP_CF_BIND(CFDataCreate)
    QP_CF_BIND(CFDataGetLength)
    QP_CF_BIND(CFDataGetBytePtr)
    QP_CF_BIND(CFArrayCreateMutable)
    QP_CF_BIND(CFArrayAppendValue)
    QP_CF_BIND(CFDictionaryCreateMutable)
    QP_CF_BIND(CFDictionaryCreateMutableCopy)
    QP_CF_BIND(CFDictionaryGetCount)
    QP_CF_BIND(CFDictionaryGetKeysAndValues)
    QP_CF_BIND(CFDictionaryGetValue)
    QP_CF_BIND(CFDictionarySetValue)
    QP_CF_BIND(CFPropertyListCreateData)
    QP_CF_BIND(CFPropertyListCreateWithData)
#undef QP_CF_BIND
    keyCallBacks = static_cast<const CFDictionaryKeyCallBacks *>(dlsym(library, "kCFTypeDictionaryKeyCallBacks"));
    valueCallBacks = static_cast<const CFDictionaryValueCallBacks *>(dlsym(library, "kCFTypeDictionaryValueCallBacks"));
    arrayCallBacks = static_cast<const CFArrayCallBacks *>(dlsym(library, "kCFTypeArrayCallBacks"));
    return complete && keyCallBacks && valueCallBacks && arrayCallBacks;
}

CFStringRef CoreFoundationLink::string(const std::string &text) const
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t *>(text.data()), CFIndex(text.size()),
                                   kCFStringEncodingUTF8, false);
}

std::string CoreFoundationLink::text(CFTypeRef value) const
{
    if (!isType(value, CFStringGetTypeID))
        return std::string();
    const CFRange all{0, CFStringGetLength(value)};
    CFIndex size = 0;
    CFStringGetBytes(value, all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &size);
    std::string out(size_t(size), '\0');
    CFStringGetBytes(value, all, kCFStringEncodingUTF8, '?', false, reinterpret_cast<uint8_t *>(out.data()), size,
                     &size);
    out.resize(size_t(size));
    return out;
}

int64_t CoreFoundationLink::integer(CFTypeRef value, int64_t fallback) const
{
    if (!isType(value, CFNumberGetTypeID) && !isType(value, CFBooleanGetTypeID))
        return fallback;
    int64_t out = fallback;
    if (!CFNumberGetValue(value, kCFNumberSInt64Type, &out))
        return fallback;
    return out;
}

CFMutableDictionaryRef CoreFoundationLink::newDictionary() const
{
    return CFDictionaryCreateMutable(nullptr, 0, keyCallBacks, valueCallBacks);
}
