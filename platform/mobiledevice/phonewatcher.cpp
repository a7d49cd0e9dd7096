#include "platform/mobiledevice/phonewatcher.h"

#include "platform/mobiledevice/cflink.h"
#include "platform/mobiledevice/virtualiphone.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

const char *const kPhonesDirVar = "QP_VIRTUAL_IPHONES_DIR";
const char *const kPollVar = "QP_VIRTUAL_IPHONES_POLL_MS";
const int kDefaultPollMs = 250;

int pollMs()
{
    const char *value = std::getenv(kPollVar);
    const int ms = value ? std::atoi(value) : 0;
    return ms > 0 ? ms : kDefaultPollMs;
}

// The folders that hold a device.plist now.
std::set<std::string> phoneFolders()
{
    std::set<std::string> out;
    const char *root = std::getenv(kPhonesDirVar);
    if (!root || !*root)
        return out;
    std::error_code error;
    for (std::filesystem::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string folder = it->path().string();
        struct stat info;
        if (stat((folder + "/device.plist").c_str(), &info) == 0 && S_ISREG(info.st_mode))
            out.insert(folder);
    }
    return out;
}

} // namespace

PhoneWatcher &PhoneWatcher::instance()
{
    // Never destroyed: the thread may still run while the process ends.
    static PhoneWatcher *watcher = new PhoneWatcher;
    return *watcher;
}

void PhoneWatcher::subscribe(AMDeviceNotificationCallback callback, void *context, void **subscription)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto *subscriber = new Subscriber{callback, context, {}};
    subscribers.push_back(subscriber);
    if (subscription)
        *subscription = subscriber;
    if (!started) {
        started = true;
        std::thread([this] { run(); }).detach();
    }
    woken = true;
    wake.notify_all();
}

VirtualIPhone *PhoneWatcher::find(AMDeviceRef handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto *phone = static_cast<VirtualIPhone *>(handle);
    return known.count(phone) ? phone : nullptr;
}

void PhoneWatcher::run()
{
    for (;;) {
        scan();
        notify();
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(pollMs()), [this] { return woken; });
        woken = false;
    }
}

void PhoneWatcher::scan()
{
    const std::set<std::string> folders = phoneFolders();
    std::vector<VirtualIPhone *> gone;
    std::vector<std::string> arrived;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = attached.begin(); it != attached.end();) {
            if (folders.count(it->first)) {
                ++it;
                continue;
            }
            gone.push_back(it->second);
            it = attached.erase(it);
        }
        for (const std::string &folder : folders) {
            if (!attached.count(folder))
                arrived.push_back(folder);
        }
    }
    for (VirtualIPhone *phone : gone)
        phone->detach();
    // Values are CoreFoundation values: until the program has loaded it, a
    // phone waits.
    const CoreFoundationLink *cf = CoreFoundationLink::get();
    if (!cf)
        return;
    for (const std::string &folder : arrived) {
        VirtualIPhone *phone = VirtualIPhone::load(folder, *cf);
        if (!phone)
            continue; // not readable yet; looked at again next time
        std::lock_guard<std::mutex> lock(mutex);
        known.insert(phone);
        attached[folder] = phone;
    }
}

void PhoneWatcher::notify()
{
    struct Event
    {
        Subscriber *subscriber;
        VirtualIPhone *phone;
        unsigned int message;
    };
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::set<VirtualIPhone *> present;
        for (const auto &entry : attached)
            present.insert(entry.second);
        for (Subscriber *subscriber : subscribers) {
            for (auto it = subscriber->told.begin(); it != subscriber->told.end();) {
                if (present.count(*it)) {
                    ++it;
                    continue;
                }
                events.push_back({subscriber, *it, kAMDeviceDetached});
                it = subscriber->told.erase(it);
            }
            for (const auto &entry : attached) {
                if (subscriber->told.insert(entry.second).second)
                    events.push_back({subscriber, entry.second, kAMDeviceAttached});
            }
        }
    }
    // Called without the lock: a callback may call back into the library.
    for (const Event &event : events) {
        AMDeviceNotificationCallbackInfo info{event.phone, event.message, event.subscriber};
        event.subscriber->callback(&info, event.subscriber->context);
    }
}
