#pragma once
// The lockdown services a virtual phone offers beyond the echo, by name:
//   "com.apple.afc"                        AFC over "root/var/mobile/Media" (afcemulator.h)
//   "com.apple.mobile.house_arrest"        an app's container, then AFC (housearrestemulator.h)
//   "com.apple.mobilebackup2"              device link, backup requests (backup2emulator.h)
//   "com.apple.mobilesync"                 device link, record sync (syncemulator.h)
//   "com.apple.mobile.notification_proxy"  notifications (notificationemulator.h)
#include <string>

class ServiceChannel;

class DeviceServices
{
public:
    // Serves one connection until the caller closes it or the phone leaves.
    using Serve = void (*)(ServiceChannel &channel, const std::string &phoneFolder);
    // nullptr for a service no emulator speaks.
    static Serve find(const std::string &service);
};
