#pragma once
// Phones coming and going: an iPhone reported by the device library is read
// (its messages through file relay or a backup) into a node under "Devices";
// an Android phone reported by the monitor, or connected over WiFi, is
// connected, loaded into its cache and shown; a phone that leaves takes its
// nodes along. An arrival that comes while an operation uses the same phone
// is kept by the busy guard and runs after it, unless the phone has left.
#include "android/adbdevice.h"
#include "android/androiddevice.h"
#include "ios/iosdevice.h"

#include <QList>
#include <QString>

class OperationContext;

class DeviceArrivals
{
public:
    explicit DeviceArrivals(const OperationContext &context) : context(context) {}
    DeviceArrivals(const DeviceArrivals &) = delete;
    DeviceArrivals &operator=(const DeviceArrivals &) = delete;

    // The iPhones whose arrival was reported, in the order they arrived.
    const QList<IOSDevice> &iosDevices() const { return m_iosDevices; }

    void iosConnected(void *device);
    void iosDisconnected(void *device);
    void androidConnected(const AdbDevice &device);
    // id: the phone's device key.
    void androidDisconnected(const QString &id);
    void androidLoad(AndroidDevice device);
    // A phone that leaves before its turn is neither connected nor loaded:
    // drops its kept calls.
    void dropKeptArrivals(const QString &serial);
    // The WiFi form, then the load of the phone it connected.
    void connectWifi();
    // The phones of the data folder's "virtual_ios" and "virtual_android"
    // folders, each a message database standing in for a phone.
    void loadVirtualPhones();

private:
    // iPhone arrival: the steps after the device values.
    void loadIOSDevice(IOSDevice record);
    bool isAttached(const void *handle) const;
    static QString iosTag(const void *handle);
    static QString androidTag(const QString &deviceKey);

    const OperationContext &context;
    QList<IOSDevice> m_iosDevices;
};
