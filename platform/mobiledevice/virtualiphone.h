#pragma once
// One virtual iPhone while it is attached: its device values, whether it
// trusts this computer, the failures it was told to give, and the state of
// the connections and sessions the program opened on it. The folder layout is
// described in README.md beside this file.
#include "platform/appleapi/appleapi.h"
#include "platform/mobiledevice/cflink.h"

#include <map>
#include <mutex>
#include <set>
#include <string>

class VirtualIPhone
{
public:
    // The phone in folder, or nullptr when its device.plist cannot be read.
    static VirtualIPhone *load(const std::string &folder, const CoreFoundationLink &cf);

    VirtualIPhone(const VirtualIPhone &) = delete;
    VirtualIPhone &operator=(const VirtualIPhone &) = delete;

    const std::string folder;

    // Each call below answers 0 or an error code; the phone's own failure for
    // that step comes first once the phone is reachable.
    int connect();
    int disconnect();
    int isPaired();
    int pair();
    int validatePairing();
    int startSession();
    int stopSession();
    // Whether a service may start now: an open session and no failure asked
    // for that service.
    int serviceAllowed(const std::string &service);
    // Remembers the emulator's end of a service socket, to shut it down when
    // the phone leaves; false when it has left already.
    bool addServiceSocket(int emulatorSocket);
    // The emulator is done with its end of a socket (which it closes next).
    void serviceEnded(int emulatorSocket);
    CFTypeRef copyValue(CFStringRef domain, CFStringRef key);
    int setValue(CFStringRef domain, CFStringRef key, CFTypeRef value);

    bool attached();
    // The phone left: every call answers kAMDDeviceDisconnectedError from now
    // on, its values are released and its service sockets are shut down.
    void detach();

private:
    VirtualIPhone(const std::string &folder, const CoreFoundationLink &cf);
    // 0, or the failure asked for step; the caller holds the lock.
    int failure(const std::string &step) const;
    int reachable() const;
    CFMutableDictionaryRef domainFor(CFStringRef domain, bool create);
    void record(CFStringRef domain, CFStringRef key, CFTypeRef value);

    const CoreFoundationLink &cf;
    std::mutex mutex;
    bool isAttached = true;
    bool paired = true;
    int connections = 0;
    int sessions = 0;
    CFMutableDictionaryRef values = nullptr;  // the top-level values
    CFMutableDictionaryRef domains = nullptr; // domain name -> its values
    CFMutableArrayRef setRecord = nullptr;    // every AMDeviceSetValue, in order
    std::map<std::string, int> failures;
    std::map<std::string, int> serviceFailures;
    std::set<int> serviceSockets;
};
