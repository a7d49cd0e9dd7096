#pragma once
// "com.apple.mobile.notification_proxy" of a virtual phone. Messages are XML
// dictionaries with a "Command":
//
//   caller  {"Command": "ObserveNotification", "Name": n}  relay n to this connection from now on
//   caller  {"Command": "PostNotification", "Name": n}     n happens on the phone: every connection
//                                                          of this phone that observes n gets
//                                                          {"Command": "RelayNotification", "Name": n}
//   caller  {"Command": "Shutdown"}                        answered {"Command": "ProxyDeath"}; the
//                                                          service ends
//
// So a test posts a name on one connection and a listener on another hears
// it. Every command is recorded (requestlog.h); others are ignored.
#include <string>

class ServiceChannel;

class NotificationEmulator
{
public:
    static void serve(ServiceChannel &channel, const std::string &phoneFolder);
};
