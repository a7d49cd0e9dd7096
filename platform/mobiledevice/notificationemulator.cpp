#include "platform/mobiledevice/notificationemulator.h"

#include "platform/mobiledevice/requestlog.h"
#include "platform/mobiledevice/servicechannel.h"

#include <list>
#include <mutex>
#include <set>

namespace {

const char *const kNotificationProxyService = "com.apple.mobile.notification_proxy";

struct Listener
{
    ServiceChannel *channel;
    std::string phoneFolder;
    std::set<std::string> observed;
};

// The open connections of every phone. A connection leaves the list before
// its channel goes, and relays are written under the lock, so no relay is
// written to a channel that is gone; each write's waits are bounded.
std::mutex s_listenersMutex;
std::list<Listener> s_listeners;

plist_t command(const char *name, const std::string &notification)
{
    plist_t out = plistwire::dictionary({{"Command", plistwire::text(name)}});
    if (!notification.empty())
        plist_dict_set_item(out, "Name", plistwire::text(notification));
    return out;
}

void relay(const std::string &phoneFolder, const std::string &name)
{
    const PlistOwned message(command("RelayNotification", name));
    std::lock_guard<std::mutex> lock(s_listenersMutex);
    for (const Listener &listener : s_listeners) {
        if (listener.phoneFolder == phoneFolder && listener.observed.count(name))
            listener.channel->writePlist(message.get(), false);
    }
}

} // namespace

void NotificationEmulator::serve(ServiceChannel &channel, const std::string &phoneFolder)
{
    std::list<Listener>::iterator self;
    {
        std::lock_guard<std::mutex> lock(s_listenersMutex);
        self = s_listeners.insert(s_listeners.end(), Listener{&channel, phoneFolder, {}});
    }
    for (;;) {
        PlistOwned message;
        if (!channel.readPlist(&message))
            break;
        RequestLog::append(phoneFolder, kNotificationProxyService, message.get());
        const std::string name = plistwire::textOf(plistwire::valueOf(message.get(), "Command"));
        const std::string notification = plistwire::textOf(plistwire::valueOf(message.get(), "Name"));
        if (name == "ObserveNotification") {
            std::lock_guard<std::mutex> lock(s_listenersMutex);
            self->observed.insert(notification);
        } else if (name == "PostNotification") {
            relay(phoneFolder, notification);
        } else if (name == "Shutdown") {
            const PlistOwned death(command("ProxyDeath", std::string()));
            channel.writePlist(death.get(), false);
            break;
        }
    }
    std::lock_guard<std::mutex> lock(s_listenersMutex);
    s_listeners.erase(self);
}
