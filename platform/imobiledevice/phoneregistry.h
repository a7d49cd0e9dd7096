#pragma once
// The phones usbmuxd reports, and the program's subscriptions to them.
//
// libimobiledevice has one event callback for the whole process; this fans
// it out to every subscriber, on a thread of this library (never the
// subscriber's own: a subscriber hears of the phones already there only
// after AMDeviceNotificationSubscribe has returned).
//
//   usbmuxd event              subscribers hear
//   added (USB or network)     attached, once per phone: a phone seen over
//                              both is one phone with one handle
//   removed (its last link)    detached; the handle answers errors from then on
//   paired (after Trust)       attached again with the same handle, so an
//                              arrival that stopped at the Trust question
//                              goes on without replugging
//
// A handle is the address of a UsbmuxPhone, never freed: one kept after the
// phone left stays safe to pass. A phone plugged in again is a new handle.
#include "platform/appleapi/appleapi.h"

#include <libimobiledevice/libimobiledevice.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class UsbmuxPhone;

class PhoneRegistry
{
public:
    static PhoneRegistry &instance();

    // 0, or the code of libimobiledevice's subscription failing.
    int subscribe(AMDeviceNotificationCallback callback, void *context, void **subscription);
    // The phone behind handle when it is one of ours (attached or not).
    UsbmuxPhone *find(AMDeviceRef handle);

private:
    PhoneRegistry() = default;
    struct Subscriber
    {
        AMDeviceNotificationCallback callback;
        void *context;
    };
    struct Delivery
    {
        Subscriber *subscriber;
        UsbmuxPhone *phone;
        unsigned int message;
        bool detachFirst; // the phone is detached before anyone hears of it
    };
    struct Present
    {
        UsbmuxPhone *phone = nullptr;
        std::set<int> links; // the connection types it is reported over
    };
    static void onEvent(const idevice_event_t *event, void *registry);
    void handle(const idevice_event_t &event);
    void queueForAll(UsbmuxPhone *phone, unsigned int message, bool detachFirst);
    void deliverLoop();

    std::mutex mutex;
    std::condition_variable wake;
    bool listening = false;
    std::vector<Subscriber *> subscribers;
    std::map<std::string, Present> present; // by UDID
    std::set<UsbmuxPhone *> known;
    std::deque<Delivery> queue;
};
