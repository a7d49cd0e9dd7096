#include "platform/imobiledevice/phoneregistry.h"

#include "platform/imobiledevice/lockdownerrors.h"
#include "platform/imobiledevice/usbmuxphone.h"

#include <usbmuxd.h>

#include <cstdlib>
#include <thread>

PhoneRegistry &PhoneRegistry::instance()
{
    // Never destroyed: the event and delivery threads may run while the
    // process ends.
    static PhoneRegistry *registry = new PhoneRegistry;
    return *registry;
}

int PhoneRegistry::subscribe(AMDeviceNotificationCallback callback, void *context, void **subscription)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto *subscriber = new Subscriber{callback, context};
    subscribers.push_back(subscriber);
    if (subscription)
        *subscription = subscriber;
    for (const auto &entry : present)
        queue.push_back({subscriber, entry.second.phone, kAMDeviceAttached, false});
    if (!listening) {
        // libusbmuxd waits for a missing daemon by watching the default
        // socket's folder; a socket named elsewhere is never seen that way,
        // so it is looked for again every second instead.
        if (std::getenv("USBMUXD_SOCKET_ADDRESS"))
            libusbmuxd_set_use_inotify(0);
        const idevice_error_t error = idevice_event_subscribe(onEvent, this);
        if (error != IDEVICE_E_SUCCESS)
            return LockdownErrors::code(error);
        listening = true;
        std::thread([this] { deliverLoop(); }).detach();
    }
    wake.notify_all();
    return 0;
}

UsbmuxPhone *PhoneRegistry::find(AMDeviceRef handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto *phone = static_cast<UsbmuxPhone *>(handle);
    return known.count(phone) ? phone : nullptr;
}

void PhoneRegistry::onEvent(const idevice_event_t *event, void *registry)
{
    if (event && event->udid)
        static_cast<PhoneRegistry *>(registry)->handle(*event);
}

void PhoneRegistry::queueForAll(UsbmuxPhone *phone, unsigned int message, bool detachFirst)
{
    if (subscribers.empty() && detachFirst) {
        queue.push_back({nullptr, phone, message, true});
        return;
    }
    for (size_t i = 0; i < subscribers.size(); ++i)
        queue.push_back({subscribers[i], phone, message, detachFirst && i == 0});
}

void PhoneRegistry::handle(const idevice_event_t &event)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string udid = event.udid;
    const int link = int(event.conn_type);
    switch (event.event) {
    case IDEVICE_DEVICE_ADD: {
        Present &entry = present[udid];
        entry.links.insert(link);
        if (!entry.phone) {
            entry.phone = new UsbmuxPhone(udid);
            known.insert(entry.phone);
            queueForAll(entry.phone, kAMDeviceAttached, false);
        }
        break;
    }
    case IDEVICE_DEVICE_REMOVE: {
        const auto it = present.find(udid);
        if (it == present.end())
            break;
        it->second.links.erase(link);
        if (!it->second.links.empty())
            break;
        queueForAll(it->second.phone, kAMDeviceDetached, true);
        present.erase(it);
        break;
    }
    case IDEVICE_DEVICE_PAIRED: {
        // Only a pairing that stopped at the user's answer is news: the
        // program's own successful pairing is saved with the device named
        // too, and its arrival is under way already.
        const auto it = present.find(udid);
        if (it != present.end() && it->second.phone->takeAwaitingTrust())
            queueForAll(it->second.phone, kAMDeviceAttached, false);
        break;
    }
    default:
        break;
    }
    wake.notify_all();
}

void PhoneRegistry::deliverLoop()
{
    for (;;) {
        Delivery next;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return !queue.empty(); });
            next = queue.front();
            queue.pop_front();
        }
        // Outside the lock: a callback may call back into the library, and a
        // detach waits for a call running on the phone to end.
        if (next.detachFirst)
            next.phone->detach();
        if (!next.subscriber)
            continue;
        AMDeviceNotificationCallbackInfo info{next.phone, next.message, next.subscriber};
        next.subscriber->callback(&info, next.subscriber->context);
    }
}
