#pragma once
// What the emulators were asked, for tests to read back: one XML property
// list per phone and service, "<phone>/requests/<service>.plist", an array of
// the messages received in order (from every connection to that service),
// rewritten whole and renamed into place after each one.
#include <plist/plist.h>

#include <string>

class RequestLog
{
public:
    // Appends a copy of message (nothing is taken over).
    static void append(const std::string &phoneFolder, const std::string &service, plist_t message);
};
