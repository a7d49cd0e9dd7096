#pragma once
// "com.apple.mobilebackup2" of a virtual phone: the device-link version
// exchange (devicelinkpeer.h), then an answer to each request.
//
// A request is ["DLMessageProcessMessage", {"MessageName": name, ...}]; the
// answer is ["DLMessageProcessMessage", {"MessageName": "Response",
// "ErrorCode": code}], where code is the setup's "ErrorCodes"[name] or 0.
// "ErrorDescriptions"[name], when the code is not 0, goes with it as
// "ErrorDescription". "Hello" agrees on the highest of the caller's "SupportedProtocolVersions"
// that the phone's "ProtocolVersions" (default [2.0, 2.1]) hold and answers
// it as "ProtocolVersion"; without a common one its code is 1. A
// "DLMessageDisconnect" ends the service; other messages (status responses,
// pings) get no answer. Everything the caller sends is recorded.
#include <plist/plist.h>

#include <string>

class ServiceChannel;

class Backup2Emulator
{
public:
    static void serve(ServiceChannel &channel, const std::string &phoneFolder);
    // The answer to request (["DLMessageProcessMessage", {...}], a new node)
    // under the service's settings (nullptr: none).
    static plist_t response(plist_t request, plist_t setup);
};
