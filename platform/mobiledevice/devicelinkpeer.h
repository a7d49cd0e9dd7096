#pragma once
// The device's side of a device-link service (mobilebackup2, mobilesync):
// messages are property-list arrays whose item 0 names them, framed as on
// every service (servicechannel.h). The device opens with the version
// exchange:
//
//   device  ["DLMessageVersionExchange", major, minor]   (setup "DeviceLinkVersion",
//                                                         default [300, 0])
//   caller  ["DLMessageVersionExchange", "DLVersionsOk", ...]
//   device  ["DLMessageDeviceReady"]
//
// Every message the caller sends is recorded (requestlog.h); the device
// sends binary property lists.
#include "platform/mobiledevice/servicechannel.h"

#include <string>

class DeviceLinkPeer
{
public:
    DeviceLinkPeer(ServiceChannel &channel, const std::string &phoneFolder, const std::string &service,
                   plist_t setup);

    // false when the caller answered otherwise or left.
    bool handshake();
    // The caller's next message (nullptr when it did not parse), recorded;
    // false when none came.
    bool receive(PlistOwned *message);
    // Sends and frees message.
    bool send(plist_t message);

    // Item 0 of message as text; "" when it is not an array or not text.
    static std::string nameOf(plist_t message);
    static std::string textAt(plist_t message, uint32_t index);

private:
    ServiceChannel &channel;
    const std::string phoneFolder;
    const std::string service;
    plist_t setup;
};
