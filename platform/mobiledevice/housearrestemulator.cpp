#include "platform/mobiledevice/housearrestemulator.h"

#include "platform/mobiledevice/afcemulator.h"
#include "platform/mobiledevice/requestlog.h"
#include "platform/mobiledevice/servicechannel.h"

#include <sys/stat.h>

namespace {

const char *const kHouseArrestService = "com.apple.mobile.house_arrest";

// An identifier names one folder inside "containers": never a path.
bool plainName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
           && name.find('\0') == std::string::npos;
}

bool isFolder(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

void HouseArrestEmulator::serve(ServiceChannel &channel, const std::string &phoneFolder)
{
    for (;;) {
        PlistOwned request;
        if (!channel.readPlist(&request))
            return;
        RequestLog::append(phoneFolder, kHouseArrestService, request.get());
        const std::string command = plistwire::textOf(plistwire::valueOf(request.get(), "Command"));
        const std::string app = plistwire::textOf(plistwire::valueOf(request.get(), "Identifier"));
        const std::string container = phoneFolder + "/containers/" + app;
        if (command == "VendContainer" && plainName(app) && isFolder(container)) {
            const PlistOwned reply(plistwire::dictionary({{"Status", plistwire::text("Complete")}}));
            if (!channel.writePlist(reply.get(), false))
                return;
            AfcEmulator afc(channel, container);
            afc.serve();
            return;
        }
        const char *error = command == "VendContainer" ? "ApplicationLookupFailed" : "UnknownCommand";
        const PlistOwned reply(plistwire::dictionary({{"Error", plistwire::text(error)}}));
        if (!channel.writePlist(reply.get(), false))
            return;
    }
}
