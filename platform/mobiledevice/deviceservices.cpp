#include "platform/mobiledevice/deviceservices.h"

#include "platform/mobiledevice/afcemulator.h"
#include "platform/mobiledevice/backup2emulator.h"
#include "platform/mobiledevice/housearrestemulator.h"
#include "platform/mobiledevice/notificationemulator.h"
#include "platform/mobiledevice/syncemulator.h"

#include <map>

namespace {

void serveMedia(ServiceChannel &channel, const std::string &phoneFolder)
{
    AfcEmulator afc(channel, phoneFolder + "/root/var/mobile/Media");
    afc.serve();
}

} // namespace

DeviceServices::Serve DeviceServices::find(const std::string &service)
{
    static const std::map<std::string, Serve> services = {
        {"com.apple.afc", serveMedia},
        {"com.apple.mobile.house_arrest", HouseArrestEmulator::serve},
        {"com.apple.mobilebackup2", Backup2Emulator::serve},
        {"com.apple.mobilesync", SyncEmulator::serve},
        {"com.apple.mobile.notification_proxy", NotificationEmulator::serve},
    };
    const auto it = services.find(service);
    return it == services.end() ? nullptr : it->second;
}
