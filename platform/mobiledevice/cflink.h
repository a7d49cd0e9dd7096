#pragma once
// The CoreFoundation the program has loaded, as the MobileDevice stand-in
// uses it. The stand-in links no CoreFoundation of its own: the two libraries
// may sit in different folders, and values must cross between the program
// and this library with one set of type ids and reference counts. So the
// library already in the process is found by its name at first use.
#include "platform/appleapi/appleapi.h"

#include <string>

class CoreFoundationLink
{
public:
    // The link, or nullptr while no CoreFoundation (or one lacking a function
    // below) is loaded; asked again on each call until one is found.
    static const CoreFoundationLink *get();

#define QP_CF_FUNCTION(name) decltype(&::name) name = nullptr;
    QP_CF_FUNCTION(CFRetain)
    QP_CF_FUNCTION(CFRelease)
    QP_CF_FUNCTION(CFGetTypeID)
    QP_CF_FUNCTION(CFStringGetTypeID)
    QP_CF_FUNCTION(CFDictionaryGetTypeID)
    QP_CF_FUNCTION(CFBooleanGetTypeID)
    QP_CF_FUNCTION(CFNumberGetTypeID)
    QP_CF_FUNCTION(CFNumberGetValue)
    QP_CF_FUNCTION(CFStringCreateWithBytes)
    QP_CF_FUNCTION(CFStringGetLength)
    QP_CF_FUNCTION(CFStringGetBytes)
    QP_CF_FUNCTION(CFDataCreate)
    QP_CF_FUNCTION(CFDataGetLength)
    QP_CF_FUNCTION(CFDataGetBytePtr)
    QP_CF_FUNCTION(CFArrayCreateMutable)
    QP_CF_FUNCTION(CFArrayAppendValue)
    QP_CF_FUNCTION(CFDictionaryCreateMutable)
    QP_CF_FUNCTION(CFDictionaryCreateMutableCopy)
    QP_CF_FUNCTION(CFDictionaryGetCount)
    QP_CF_FUNCTION(CFDictionaryGetKeysAndValues)
    QP_CF_FUNCTION(CFDictionaryGetValue)
    QP_CF_FUNCTION(CFDictionarySetValue)
    QP_CF_FUNCTION(CFPropertyListCreateData)
    QP_CF_FUNCTION(CFPropertyListCreateWithData)
#undef QP_CF_FUNCTION
    const CFDictionaryKeyCallBacks *keyCallBacks = nullptr;
    const CFDictionaryValueCallBacks *valueCallBacks = nullptr;
    const CFArrayCallBacks *arrayCallBacks = nullptr;

    bool isType(CFTypeRef value, CFTypeID (*typeId)()) const { return value && CFGetTypeID(value) == typeId(); }
    // A new CF string of UTF-8 text.
    CFStringRef string(const std::string &text) const;
    // The UTF-8 text of a CF string ("" for anything else).
    std::string text(CFTypeRef value) const;
    // The integer a number or boolean holds, or fallback.
    int64_t integer(CFTypeRef value, int64_t fallback) const;
    CFMutableDictionaryRef newDictionary() const;

private:
    CoreFoundationLink() = default;
    bool bind(void *library);
};
