#include "platform/mobiledevice/devicelinkpeer.h"

#include "platform/mobiledevice/requestlog.h"

DeviceLinkPeer::DeviceLinkPeer(ServiceChannel &channel, const std::string &phoneFolder, const std::string &service,
                               plist_t setup)
    : channel(channel), phoneFolder(phoneFolder), service(service), setup(setup)
{
}

bool DeviceLinkPeer::handshake()
{
    plist_t versions = plistwire::valueOf(setup, "DeviceLinkVersion");
    plist_t exchange = plistwire::array({plistwire::text("DLMessageVersionExchange")});
    if (plistwire::isArray(versions)) {
        for (uint32_t i = 0; i < plistwire::countOf(versions); ++i)
            plist_array_append_item(exchange, plistwire::copy(plistwire::itemAt(versions, i)));
    } else {
        plist_array_append_item(exchange, plistwire::integer(300));
        plist_array_append_item(exchange, plistwire::integer(0));
    }
    if (!send(exchange))
        return false;
    PlistOwned answer;
    if (!receive(&answer))
        return false;
    if (nameOf(answer.get()) != "DLMessageVersionExchange" || textAt(answer.get(), 1) != "DLVersionsOk")
        return false;
    return send(plistwire::array({plistwire::text("DLMessageDeviceReady")}));
}

bool DeviceLinkPeer::receive(PlistOwned *message)
{
    if (!channel.readPlist(message))
        return false;
    RequestLog::append(phoneFolder, service, message->get());
    return true;
}

bool DeviceLinkPeer::send(plist_t message)
{
    const PlistOwned owned(message);
    return channel.writePlist(owned.get(), true);
}

std::string DeviceLinkPeer::nameOf(plist_t message)
{
    return textAt(message, 0);
}

std::string DeviceLinkPeer::textAt(plist_t message, uint32_t index)
{
    return plistwire::textOf(plistwire::itemAt(message, index));
}
