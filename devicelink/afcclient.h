#pragma once
// A connection to an iPhone's file service: the media area ("com.apple.afc")
// or one app's container ("com.apple.mobile.house_arrest", then
// VendContainer). Only open throws; every other member catches the AFC
// layer's failures and answers false, -1, an empty record or an empty list.
// One thread uses a client and its files, each call waiting for the device.
#include "devicelink/afcfile.h"
#include "devicelink/afcfileinfo.h"

#include <QList>
#include <QString>

class AfcClient
{
public:
    explicit AfcClient(void *device);
    ~AfcClient();
    // The socket is owned: one close per connection.
    AfcClient(const AfcClient &) = delete;
    AfcClient &operator=(const AfcClient &) = delete;

    void *device = nullptr; // the phone's handle (IOSDevice::amDevice); not owned
    int socket = 0;         // 0 while not connected; owned

    // The media area for an empty identifier, else that app's container.
    // A connection open before is closed first. Throws the device layer's
    // texts or "can not find <app>."; a house_arrest socket that was
    // started stays here until close.
    void open(const QString &appIdentifier = QString());
    void close();

    bool makeDirectory(const QString &path);
    bool removePath(const QString &path);
    bool renamePath(const QString &from, const QString &to);

    // false (the file left as it was) when the device refuses or gives no
    // handle, and for a file that is open already.
    bool openFile(const QString &path, int mode, AfcFile &file);
    bool openForRead(const QString &path, AfcFile &file);
    bool openForWrite(const QString &path, AfcFile &file);

    // An empty record when the device cannot describe path.
    AfcFileInfo fileInfo(const QString &path);
    // The files and folders directly in directory, in the device's order,
    // each named by its full path; links, devices and entries that cannot be
    // described are left out.
    QList<AfcFileInfo> entryInfoList(const QString &directory);

    // The path of name in directory as the device reads it: "/" joins them,
    // "." and ".." are resolved, nothing of this computer's folders enters.
    static QString childPath(const QString &directory, const QString &name);
};
