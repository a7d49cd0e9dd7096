#pragma once
// How a phone's services answer, from its device.plist: the dictionary
// "Services" maps a service name to the settings of its emulator (README.md).
// Read when the service starts, so a test may change them between starts.
#include "platform/mobiledevice/plistwire.h"

#include <string>

class ServiceSetup
{
public:
    // A copy of the service's settings, or nullptr when there are none.
    static PlistOwned read(const std::string &phoneFolder, const std::string &service);
};
