#include "platform/mobiledevice/backup2emulator.h"

#include "platform/mobiledevice/devicelinkpeer.h"
#include "platform/mobiledevice/servicesetup.h"

#include <cmath>
#include <vector>

namespace {

const char *const kService = "com.apple.mobilebackup2";

std::vector<double> reals(plist_t array)
{
    std::vector<double> out;
    for (uint32_t i = 0; i < plistwire::countOf(array); ++i)
        out.push_back(plistwire::realOf(plistwire::itemAt(array, i), -1));
    return out;
}

bool holds(const std::vector<double> &versions, double version)
{
    for (double v : versions) {
        if (std::fabs(v - version) < 1e-9)
            return true;
    }
    return false;
}

} // namespace

void Backup2Emulator::serve(ServiceChannel &channel, const std::string &phoneFolder)
{
    const PlistOwned setup = ServiceSetup::read(phoneFolder, kService);
    DeviceLinkPeer peer(channel, phoneFolder, kService, setup.get());
    if (!peer.handshake())
        return;
    plist_t errorCodes = plistwire::valueOf(setup.get(), "ErrorCodes");
    std::vector<double> phoneVersions = reals(plistwire::valueOf(setup.get(), "ProtocolVersions"));
    if (!plistwire::isArray(plistwire::valueOf(setup.get(), "ProtocolVersions")))
        phoneVersions = {2.0, 2.1};

    for (;;) {
        PlistOwned message;
        if (!peer.receive(&message))
            return;
        const std::string name = DeviceLinkPeer::nameOf(message.get());
        if (name == "DLMessageDisconnect")
            return;
        if (name != "DLMessageProcessMessage")
            continue;
        plist_t request = plistwire::itemAt(message.get(), 1);
        const std::string requestName = plistwire::textOf(plistwire::valueOf(request, "MessageName"));
        plist_t code = plistwire::valueOf(errorCodes, requestName.c_str());
        plist_t response = plistwire::dictionary({{"MessageName", plistwire::text("Response")}});
        int64_t errorCode = plistwire::integerOf(code, 0);
        if (requestName == "Hello") {
            double agreed = -1;
            for (double version : reals(plistwire::valueOf(request, "SupportedProtocolVersions"))) {
                if (holds(phoneVersions, version) && version > agreed)
                    agreed = version;
            }
            if (agreed < 0 && !code)
                errorCode = 1;
            if (agreed >= 0 && errorCode == 0)
                plist_dict_set_item(response, "ProtocolVersion", plistwire::real(agreed));
        }
        plist_dict_set_item(response, "ErrorCode", plistwire::integer(errorCode));
        if (!peer.send(plistwire::array({plistwire::text("DLMessageProcessMessage"), response})))
            return;
    }
}
