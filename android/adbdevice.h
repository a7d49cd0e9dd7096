#pragma once
// One entry of adb's device list, copied by value (also across threads in the
// monitor's queued signals, hence the metatype "AdbDevice").
#include <QMetaType>
#include <QString>

class AdbDevice
{
public:
    QString line;   // the whole line of the list, trimmed
    QString serial; // the key of the monitor's set; the argument after "-s"
    QString state;  // "device", "offline", "unauthorized", ...

    // The state is "device" (any case): adb can talk to the phone.
    bool isReady() const;
    // The state is "offline" or "unauthorized" (any case).
    bool isOfflineOrUnauthorized() const;
};

Q_DECLARE_METATYPE(AdbDevice)
