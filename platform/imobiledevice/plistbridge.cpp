#include "platform/imobiledevice/plistbridge.h"

#include <cstdlib>

plist_t PlistBridge::toPlist(const CoreFoundationLink &cf, CFTypeRef value)
{
    if (!value)
        return nullptr;
    CFDataRef data = cf.CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!data)
        return nullptr;
    plist_t node = nullptr;
    plist_from_xml(reinterpret_cast<const char *>(cf.CFDataGetBytePtr(data)), uint32_t(cf.CFDataGetLength(data)),
                   &node);
    cf.CFRelease(data);
    return node;
}

CFTypeRef PlistBridge::toCF(const CoreFoundationLink &cf, plist_t node)
{
    if (!node)
        return nullptr;
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml)
        return nullptr;
    CFDataRef data = cf.CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(xml), CFIndex(length));
    free(xml);
    CFTypeRef value = cf.CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    cf.CFRelease(data);
    return value;
}
