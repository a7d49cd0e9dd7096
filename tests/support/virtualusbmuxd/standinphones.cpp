#include "standinphones.h"

#include "lockdownsettings.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

std::string StandInPhones::load(const std::string &coreFoundation, const std::string &mobileDevice)
{
    // CoreFoundation first: the stand-in finds it in the process by name.
    void *cf = dlopen(coreFoundation.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!cf)
        return dlerror();
    void *md = dlopen(mobileDevice.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!md)
        return dlerror();
    bool complete = true;
    auto bind = [&](void *library, auto &function, const char *name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
        complete = complete && function;
    };
#define QP_CF(name) bind(cf, name, #name);
#define QP_MD(name) bind(md, name, #name);
    QP_CF(CFRelease)
    QP_CF(CFDataCreate)
    QP_CF(CFDataGetBytePtr)
    QP_CF(CFDataGetLength)
    QP_CF(CFStringCreateWithBytes)
    QP_CF(CFPropertyListCreateData)
    QP_CF(CFPropertyListCreateWithData)
    QP_MD(AMDeviceNotificationSubscribe)
    QP_MD(AMDeviceConnect)
    QP_MD(AMDeviceIsPaired)
    QP_MD(AMDevicePair)
    QP_MD(AMDeviceStartSession)
    QP_MD(AMDeviceStopSession)
    QP_MD(AMDeviceCopyValue)
    QP_MD(AMDeviceSetValue)
    QP_MD(AMDeviceStartService)
#undef QP_CF
#undef QP_MD
    return complete ? std::string() : std::string("a stand-in lacks a function");
}

void StandInPhones::watch(Arrived onArrival, Left onLeave)
{
    arrived = std::move(onArrival);
    left = std::move(onLeave);
    AMDeviceNotificationSubscribe(notified, 0, 0, this, nullptr);
}

void StandInPhones::notified(AMDeviceNotificationCallbackInfo *info, void *context)
{
    auto *self = static_cast<StandInPhones *>(context);
    AMDeviceRef phone = info->device;
    if (info->message == kAMDeviceDetached) {
        self->left(phone);
        return;
    }
    // The muxer's own hold on the phone, for its whole stay: the stand-in
    // answers values and starts services only inside a session, and only
    // for a phone that trusts "this computer" (the muxer, here: whom the
    // phone trusts is the lockdownd's business).
    if (self->AMDeviceConnect(phone) != 0)
        return;
    if (!self->AMDeviceIsPaired(phone))
        self->AMDevicePair(phone);
    plist_t id = self->copyValue(phone, nullptr, "UniqueDeviceID");
    char *udid = nullptr;
    if (id && plist_get_node_type(id) == PLIST_STRING)
        plist_get_string_val(id, &udid);
    plist_free(id);
    if (udid && *udid)
        self->arrived(phone, udid, self->folderOf(udid));
    free(udid);
}

std::string StandInPhones::folderOf(const std::string &udid) const
{
    const char *root = std::getenv("QP_VIRTUAL_IPHONES_DIR");
    std::error_code error;
    for (std::filesystem::directory_iterator it(root ? root : "", error), end; !error && it != end;
         it.increment(error)) {
        if (LockdownSettings::udid(it->path().string()) == udid)
            return it->path().string();
    }
    return std::string();
}

CFStringRef StandInPhones::string(const char *text) const
{
    return text ? CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t *>(text), CFIndex(strlen(text)),
                                          kCFStringEncodingUTF8, 0)
                : nullptr;
}

CFTypeRef StandInPhones::toCF(plist_t node) const
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml)
        return nullptr;
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(xml), CFIndex(length));
    free(xml);
    CFTypeRef value = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    CFRelease(data);
    return value;
}

plist_t StandInPhones::toPlist(CFTypeRef value) const
{
    CFDataRef data = CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!data)
        return nullptr;
    plist_t node = nullptr;
    plist_from_xml(reinterpret_cast<const char *>(CFDataGetBytePtr(data)), uint32_t(CFDataGetLength(data)), &node);
    CFRelease(data);
    return node;
}

plist_t StandInPhones::copyValue(AMDeviceRef phone, const char *domain, const char *key)
{
    if (AMDeviceStartSession(phone) != 0)
        return nullptr;
    CFStringRef domainRef = string(domain);
    CFStringRef keyRef = string(key);
    CFTypeRef value = AMDeviceCopyValue(phone, domainRef, keyRef);
    AMDeviceStopSession(phone);
    plist_t node = value ? toPlist(value) : nullptr;
    for (CFTypeRef held : {domainRef, keyRef, value}) {
        if (held)
            CFRelease(held);
    }
    return node;
}

std::string StandInPhones::setValue(AMDeviceRef phone, const char *domain, const char *key, plist_t value)
{
    if (AMDeviceStartSession(phone) != 0)
        return "SessionInactive";
    CFStringRef domainRef = string(domain);
    CFStringRef keyRef = string(key);
    CFTypeRef valueRef = value ? toCF(value) : nullptr;
    const int code = valueRef ? AMDeviceSetValue(phone, domainRef, keyRef, valueRef) : kAMDInvalidArgumentError;
    AMDeviceStopSession(phone);
    for (CFTypeRef held : {domainRef, keyRef, valueRef}) {
        if (held)
            CFRelease(held);
    }
    return code == 0 ? std::string() : std::string("SetProhibited");
}

std::string StandInPhones::startService(AMDeviceRef phone, const std::string &service, int *fd)
{
    if (AMDeviceStartSession(phone) != 0)
        return "SessionInactive";
    CFStringRef name = string(service.c_str());
    const int code = AMDeviceStartService(phone, name, fd, nullptr);
    CFRelease(name);
    AMDeviceStopSession(phone);
    if (code == 0)
        return std::string();
    return code == kAMDInvalidServiceError ? "InvalidService" : "ServiceProhibited";
}
