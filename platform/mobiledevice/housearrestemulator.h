#pragma once
// "com.apple.mobile.house_arrest" of a virtual phone: hands an app's
// container over to AFC. An app is installed when the phone's folder holds
// "containers/<app identifier>/" (README.md).
//
// The caller sends an XML dictionary {"Command": "VendContainer",
// "Identifier": app}. For an installed app the answer is {"Status":
// "Complete"} and from then on the socket speaks AFC inside the container;
// for any other app {"Error": "ApplicationLookupFailed"}, a command it does
// not know {"Error": "UnknownCommand"}, and the next command is awaited.
// Every command is recorded (requestlog.h).
#include <string>

class ServiceChannel;

class HouseArrestEmulator
{
public:
    static void serve(ServiceChannel &channel, const std::string &phoneFolder);
};
