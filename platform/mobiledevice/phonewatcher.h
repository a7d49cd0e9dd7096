#pragma once
// The MobileDevice stand-in's own thread. It looks into the folder of virtual
// phones (QP_VIRTUAL_IPHONES_DIR) a few times a second: a sub-folder that
// holds a device.plist is an attached phone, and one that lost it (or went)
// has been detached. Each subscriber hears of every phone on this thread.
//
// A device handle is the address of a VirtualIPhone. Phones are never freed,
// so a handle kept after the phone left stays safe to pass: it answers errors.
#include "platform/appleapi/appleapi.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class VirtualIPhone;

class PhoneWatcher
{
public:
    static PhoneWatcher &instance();

    void subscribe(AMDeviceNotificationCallback callback, void *context, void **subscription);
    // The phone behind handle when it is one of ours (attached or not), else
    // nullptr.
    VirtualIPhone *find(AMDeviceRef handle);

private:
    PhoneWatcher() = default;
    struct Subscriber
    {
        AMDeviceNotificationCallback callback;
        void *context;
        std::set<VirtualIPhone *> told; // attached phones it has heard of
    };
    void run();
    void scan();
    void notify();

    std::mutex mutex;
    std::condition_variable wake;
    bool started = false;
    bool woken = false;
    std::vector<Subscriber *> subscribers;
    std::map<std::string, VirtualIPhone *> attached; // by folder
    std::set<VirtualIPhone *> known;                 // every phone ever made
};
