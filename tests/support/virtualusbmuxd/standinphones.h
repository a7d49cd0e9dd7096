#pragma once
// The virtual phones behind the virtual lockdownd: the MobileDevice stand-in
// (loaded with the CoreFoundation stand-in, by absolute paths) watches the
// folder of phones, keeps their values and runs their service emulators.
// Values cross as property lists (libplist nodes).
#include "platform/appleapi/appleapi.h"

#include <plist/plist.h>

#include <functional>
#include <string>

class StandInPhones
{
public:
    // attached: the phone's handle, UDID and folder; detached: the handle.
    using Arrived = std::function<void(AMDeviceRef, const std::string &udid, const std::string &folder)>;
    using Left = std::function<void(AMDeviceRef)>;

    // "" when both libraries loaded, else why not.
    std::string load(const std::string &coreFoundation, const std::string &mobileDevice);
    void watch(Arrived arrived, Left left);

    // A new node, or nullptr when the phone has no such value.
    plist_t copyValue(AMDeviceRef phone, const char *domain, const char *key);
    // "" or the lockdown error to answer.
    std::string setValue(AMDeviceRef phone, const char *domain, const char *key, plist_t value);
    // "" and the emulator's socket in *fd, or the lockdown error to answer.
    std::string startService(AMDeviceRef phone, const std::string &service, int *fd);

private:
    static void notified(AMDeviceNotificationCallbackInfo *info, void *self);
    std::string folderOf(const std::string &udid) const;
    CFTypeRef toCF(plist_t node) const;
    plist_t toPlist(CFTypeRef value) const;
    CFStringRef string(const char *text) const;

#define QP_FN(name) decltype(&::name) name = nullptr;
    QP_FN(CFRelease)
    QP_FN(CFDataCreate)
    QP_FN(CFDataGetBytePtr)
    QP_FN(CFDataGetLength)
    QP_FN(CFStringCreateWithBytes)
    QP_FN(CFPropertyListCreateData)
    QP_FN(CFPropertyListCreateWithData)
    QP_FN(AMDeviceNotificationSubscribe)
    QP_FN(AMDeviceConnect)
    QP_FN(AMDeviceIsPaired)
    QP_FN(AMDevicePair)
    QP_FN(AMDeviceStartSession)
    QP_FN(AMDeviceStopSession)
    QP_FN(AMDeviceCopyValue)
    QP_FN(AMDeviceSetValue)
    QP_FN(AMDeviceStartService)
#undef QP_FN
    Arrived arrived;
    Left left;
};
