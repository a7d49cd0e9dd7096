// The exported functions of the MobileDevice library for real iPhones. A
// handle that is NULL or not one of ours answers kAMDInvalidArgumentError (or
// NULL, or "not paired"); one whose phone has left answers
// kAMDDeviceDisconnectedError.
#include "platform/appleapi/appleapi.h"
#include "platform/imobiledevice/lockdownerrors.h"
#include "platform/imobiledevice/phoneregistry.h"
#include "platform/imobiledevice/usbmuxphone.h"
#include "platform/mobiledevice/cflink.h"

namespace {

UsbmuxPhone *phoneOf(AMDeviceRef device)
{
    return device ? PhoneRegistry::instance().find(device) : nullptr;
}

} // namespace

extern "C" {

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int, unsigned int, void *context,
                                  void **subscription)
{
    if (!callback)
        return kAMDInvalidArgumentError;
    return PhoneRegistry::instance().subscribe(callback, context, subscription);
}

int AMDeviceConnect(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->connect() : kAMDInvalidArgumentError;
}

int AMDeviceDisconnect(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->disconnect() : kAMDInvalidArgumentError;
}

int AMDeviceIsPaired(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->isPaired() : 0;
}

int AMDevicePair(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->pair() : kAMDInvalidArgumentError;
}

int AMDeviceValidatePairing(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->validatePairing() : kAMDInvalidArgumentError;
}

int AMDeviceStartSession(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->startSession() : kAMDInvalidArgumentError;
}

int AMDeviceStopSession(AMDeviceRef device)
{
    UsbmuxPhone *phone = phoneOf(device);
    return phone ? phone->stopSession() : kAMDInvalidArgumentError;
}

int AMDeviceStartService(AMDeviceRef device, CFStringRef service, int *socket, void *)
{
    UsbmuxPhone *phone = phoneOf(device);
    const CoreFoundationLink *cf = CoreFoundationLink::get();
    if (!phone || !socket || !cf || !cf->isType(service, cf->CFStringGetTypeID))
        return kAMDInvalidArgumentError;
    return phone->startService(cf->text(service), socket);
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key)
{
    UsbmuxPhone *phone = phoneOf(device);
    const CoreFoundationLink *cf = CoreFoundationLink::get();
    return phone && cf ? phone->copyValue(*cf, domain, key) : nullptr;
}

int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    UsbmuxPhone *phone = phoneOf(device);
    const CoreFoundationLink *cf = CoreFoundationLink::get();
    return phone && cf ? phone->setValue(*cf, domain, key, value) : kAMDInvalidArgumentError;
}

// Tests only: the code the library answers for a lockdown error of
// libimobiledevice (its negative number).
int qp_imd_code_for_lockdown_error(int error)
{
    return LockdownErrors::code(lockdownd_error_t(error));
}

} // extern "C"
