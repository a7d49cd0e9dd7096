#pragma once
// Values cross between the program's CoreFoundation values and libplist's
// nodes through their XML property-list form, which both sides write and
// read in full; a value without one crosses as nothing.
#include "platform/mobiledevice/cflink.h"

#include <plist/plist.h>

class PlistBridge
{
public:
    // A new node the caller owns, or nullptr.
    static plist_t toPlist(const CoreFoundationLink &cf, CFTypeRef value);
    // A new CF value the caller releases, or nullptr.
    static CFTypeRef toCF(const CoreFoundationLink &cf, plist_t node);
};
