#pragma once
// How a virtual phone's lockdown service answers, from the dictionary
// "Lockdown" in its device.plist (read afresh at each use, so a test may
// change it while the phone stays attached), and the hosts it trusts.
//
//   Trust       string      what Pair answers: "Trusted" (default: pairs),
//                           "Pending" (the phone shows "Trust This
//                           Computer?"), "Denied" ("Don't Trust" was
//                           tapped), "PasswordProtected" (locked)
//   ServiceSSL  array       service names whose start answers EnableServiceSSL
//   Errors      dictionary  request name -> the "Error" it answers instead
//   Links       array       "USB" and/or "Network": how usbmuxd reports the
//                           phone (default: USB only)
//
// The hosts a phone trusts (the HostIDs of pair records it accepted) are
// kept in "lockdown-hosts.txt" in its folder, one a line; a test writes one
// in to have the phone trust a record made before it.
#include <map>
#include <set>
#include <string>
#include <vector>

class LockdownSettings
{
public:
    static LockdownSettings read(const std::string &phoneFolder);

    std::string trust = "Trusted";
    std::set<std::string> sslServices;
    std::map<std::string, std::string> errors;
    std::vector<std::string> links = {"USB"};

    static bool trusts(const std::string &phoneFolder, const std::string &hostId);
    static void addTrusted(const std::string &phoneFolder, const std::string &hostId);
    // The phone's UniqueDeviceID from its device.plist ("" when unreadable).
    static std::string udid(const std::string &phoneFolder);
};
