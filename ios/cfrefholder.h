#pragma once
// One CoreFoundation reference shared by the copies of a CFType, and whether
// they own it. The reference is given back when the last copy goes.
#include "platform/appleapi/appleapi.h"

struct _CFRefHolder
{
    CFTypeRef ref = nullptr; // NULL for an empty value
    bool owned = false;      // true: one reference of our own, released here

    _CFRefHolder(CFTypeRef ref, bool owned) : ref(ref), owned(owned) {}
    ~_CFRefHolder() { release(); }
    _CFRefHolder(const _CFRefHolder &) = delete;
    _CFRefHolder &operator=(const _CFRefHolder &) = delete;

    // CFRelease when owned and not NULL, then forgets the reference.
    void release();
};
