#include "platform/mobiledevice/backup2emulator.h"

#include "platform/mobiledevice/devicelinkpeer.h"
#include "platform/mobiledevice/servicesetup.h"

#include <cmath>
#include <vector>

namespace {

const char *const kBackup2Service = "com.apple.mobilebackup2";

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

plist_t Backup2Emulator::response(plist_t request, plist_t setup)
{
    const std::string requestName = plistwire::textOf(plistwire::valueOf(request, "MessageName"));
    plist_t code = plistwire::valueOf(plistwire::valueOf(setup, "ErrorCodes"), requestName.c_str());
    std::vector<double> phoneVersions = reals(plistwire::valueOf(setup, "ProtocolVersions"));
    if (!plistwire::isArray(plistwire::valueOf(setup, "ProtocolVersions")))
        phoneVersions = {2.0, 2.1};
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
    plist_t description = plistwire::valueOf(plistwire::valueOf(setup, "ErrorDescriptions"), requestName.c_str());
    if (errorCode != 0 && description)
        plist_dict_set_item(response, "ErrorDescription", plistwire::copy(description));
    return plistwire::array({plistwire::text("DLMessageProcessMessage"), response});
}

void Backup2Emulator::serve(ServiceChannel &channel, const std::string &phoneFolder)
{
    const PlistOwned setup = ServiceSetup::read(phoneFolder, kBackup2Service);
    DeviceLinkPeer peer(channel, phoneFolder, kBackup2Service, setup.get());
    if (!peer.handshake())
        return;
    for (;;) {
        PlistOwned message;
        if (!peer.receive(&message))
            return;
        const std::string name = DeviceLinkPeer::nameOf(message.get());
        if (name == "DLMessageDisconnect")
            return;
        if (name != "DLMessageProcessMessage")
            continue;
        if (!peer.send(response(plistwire::itemAt(message.get(), 1), setup.get())))
            return;
    }
}
