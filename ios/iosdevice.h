#pragma once
// One attached iPhone: the MobileDevice handle and the five device values
// read on arrival. The main window fills one per arrival and keeps a copy;
// workers get a pointer to it. The handle is not owned.
#include <QDir>
#include <QList>
#include <QString>

class IOSDevice
{
public:
    IOSDevice();
    virtual ~IOSDevice();

    QString deviceName;                  // "DeviceName", the user's name for the phone
    QString uniqueDeviceId;              // "UniqueDeviceID"; names the cache folder
    QString mobileSubscriberCountryCode; // "MobileSubscriberCountryCode"; empty without one
    QString productVersion;              // "ProductVersion", e.g. 7.1.2
    QString productType;                 // "ProductType", the model code
    void *amDevice = nullptr;            // from the arrival notification

    // "ios_cache/<id>" in the data folder, made when missing (a failure to
    // make it is not reported). An id of letters, digits and "-" names the
    // folder as it is; any other (empty, with separators, "." or "..") is
    // replaced by its MD5, so the folder never lies outside "ios_cache".
    QDir cacheDir() const;
    // The numbers of productVersion in order: 7.1.2 gives 7, 1, 2.
    QList<int> versionNumbers() const;
    // False, after a warning, when iCloud backup is on (checkCloud) or the
    // device's backups are encrypted (checkEncrypt); true otherwise, also when
    // the settings cannot be read.
    bool checkBackupSettings(bool checkCloud, bool checkEncrypt) const;

    // The folder name cacheDir uses for id.
    static QString cacheFolderName(const QString &id);
};
