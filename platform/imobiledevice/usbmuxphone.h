#pragma once
// One iPhone usbmuxd reports, while it stays attached (over USB, the network,
// or both), and the lockdown connections the program opened on it.
//
//   AMDeviceConnect         idevice_new_with_options + lockdownd_client_new
//                           (no pairing yet; the phone's version is read)
//   AMDeviceIsPaired        usbmuxd keeps a pair record for the phone
//   AMDevicePair            lockdownd_pair; usbmuxd saves the record
//   AMDeviceValidatePairing lockdownd_validate_pair below iOS 7, else nothing
//   AMDeviceStartSession    lockdownd_client_new_with_handshake (it records the
//                           phone's version, which sets the TLS floor of every
//                           later connection)
//   AMDeviceCopyValue/Set   lockdownd_get_value / lockdownd_set_value
//   AMDeviceStartService    lockdownd_start_service + idevice_connect: the
//                           connection's own socket, or a TLS relay
//
// A phone that forgot this computer (InvalidHostID) has its stale record
// deleted and is paired again once, within the call that met it.
//
// Calls on one phone take turns; each answers 0 or a code of appleapi.h.
#include "platform/appleapi/appleapi.h"
#include "platform/mobiledevice/cflink.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <atomic>
#include <mutex>
#include <string>

class UsbmuxPhone
{
public:
    explicit UsbmuxPhone(const std::string &udid) : udid(udid) {}
    UsbmuxPhone(const UsbmuxPhone &) = delete;
    UsbmuxPhone &operator=(const UsbmuxPhone &) = delete;

    const std::string udid;

    int connect();
    int disconnect();
    int isPaired();
    int pair();
    int validatePairing();
    int startSession();
    int stopSession();
    int startService(const std::string &service, int *socket);
    CFTypeRef copyValue(const CoreFoundationLink &cf, CFStringRef domain, CFStringRef key);
    int setValue(const CoreFoundationLink &cf, CFStringRef domain, CFStringRef key, CFTypeRef value);

    // Whether a pairing stopped at the phone's question ("Trust This
    // Computer?", or its passcode) since the last call of this; usbmuxd's
    // Paired then means the user answered it.
    bool takeAwaitingTrust() { return awaitingTrust.exchange(false); }

    // usbmuxd no longer reports the phone: every call answers
    // kAMDDeviceDisconnectedError from now on.
    void detach();

private:
    int reachable() const;
    // code, noting a pairing that waits for the user.
    int noteTrust(int code);
    // Deletes the record the phone no longer knows and pairs again.
    int pairAfresh();
    void closeSession();
    void closeAll();

    std::mutex mutex;
    std::atomic<bool> awaitingTrust{false};
    bool attached = true;
    int connections = 0;
    int sessions = 0;
    int majorVersion = 0; // 0 while unknown
    idevice_t device = nullptr;
    lockdownd_client_t plain = nullptr;   // pairing and validation
    lockdownd_client_t session = nullptr; // values and services
};
