// The exported functions of the MobileDevice stand-in. A handle that is NULL
// or not one of ours answers kAMDInvalidArgumentError (or NULL, or "not
// paired"); one whose phone has left answers kAMDDeviceDisconnectedError.
#include "platform/appleapi/appleapi.h"
#include "platform/mobiledevice/cflink.h"
#include "platform/mobiledevice/phonewatcher.h"
#include "platform/mobiledevice/serviceemulator.h"
#include "platform/mobiledevice/virtualiphone.h"

namespace {

VirtualIPhone *phoneOf(AMDeviceRef device)
{
    return device ? PhoneWatcher::instance().find(device) : nullptr;
}

} // namespace

extern "C" {

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int, unsigned int, void *context,
                                  void **subscription)
{
    if (!callback)
        return kAMDInvalidArgumentError;
    PhoneWatcher::instance().subscribe(callback, context, subscription);
    return 0;
}

int AMDeviceConnect(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->connect() : kAMDInvalidArgumentError;
}

int AMDeviceDisconnect(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->disconnect() : kAMDInvalidArgumentError;
}

int AMDeviceIsPaired(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->isPaired() : 0;
}

int AMDevicePair(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->pair() : kAMDInvalidArgumentError;
}

int AMDeviceValidatePairing(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->validatePairing() : kAMDInvalidArgumentError;
}

int AMDeviceStartSession(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->startSession() : kAMDInvalidArgumentError;
}

int AMDeviceStopSession(AMDeviceRef device)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->stopSession() : kAMDInvalidArgumentError;
}

int AMDeviceStartService(AMDeviceRef device, CFStringRef service, int *socket, void *)
{
    VirtualIPhone *phone = phoneOf(device);
    const CoreFoundationLink *cf = CoreFoundationLink::get();
    if (!phone || !socket || !cf || !cf->isType(service, cf->CFStringGetTypeID))
        return kAMDInvalidArgumentError;
    const std::string name = cf->text(service);
    if (int code = phone->serviceAllowed(name))
        return code;
    return ServiceEmulator::start(*phone, name, socket);
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->copyValue(domain, key) : nullptr;
}

int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    VirtualIPhone *phone = phoneOf(device);
    return phone ? phone->setValue(domain, key, value) : kAMDInvalidArgumentError;
}

} // extern "C"
