#pragma once
// Virtual iPhones for the MobileDevice stand-in, in the folder format of
// platform/mobiledevice/README.md: a folder per phone with its device.plist
// (values, pairing, failures to give) and its own file tree below "root".
// Phones are written into a folder of phones; pointing QP_VIRTUAL_IPHONES_DIR
// at that folder attaches them, removing one detaches it.
#include "tests/support/addressbookfixture.h"
#include "tests/support/messagedbfixture.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>
#include <optional>

namespace testsupport {

struct VirtualIPhoneSetup
{
    QString folderName;                  // the phone's folder inside the folder of phones
    QVariantMap values;                  // top-level device values ("UniqueDeviceID", ...)
    QMap<QString, QVariantMap> domains;  // "com.apple.mobile.backup", "com.apple.disk_usage", ...
    bool paired = true;                  // trusts this computer already
    QMap<QString, int> failures;         // MobileDevice function name -> code it answers
    QMap<QString, int> serviceFailures;  // service name -> code AMDeviceStartService answers
    QVariantMap fileRelay;               // how its file-relay service behaves ("FileRelay", README.md)
    // The phone's file tree: its message database and address book.
    std::optional<MsgFixtureContent> messages;
    MsgDbLayout messageLayout = MsgDbLayout::LaterPhone;
    QList<AddressBookPerson> contacts;
    // Files of the media folder AFC serves (path below it -> bytes); the
    // folder itself is always there.
    QMap<QString, QByteArray> mediaFiles;
    // Installed apps whose containers house_arrest vends: app identifier ->
    // its files (path below the container -> bytes); no files, an empty one.
    QMap<QString, QMap<QString, QByteArray>> appContainers;
    // How the phone's services answer: service name -> the settings of its
    // emulator (platform/mobiledevice/README.md), e.g. "com.apple.mobilesync"
    // -> {"Batches": {...}}; behind the virtual usbmuxd "com.apple.mobilebackup2"
    // also takes the backup peer's ("Password", "UnplugAfterFiles":
    // virtualusbmuxd/backup2peer.h).
    QMap<QString, QVariantMap> services;
    // How its lockdownd answers behind the virtual usbmuxd ("Lockdown":
    // Trust, ServiceSSL, Errors, Links; tests/support/virtualusbmuxd/
    // lockdownsettings.h); empty: trusts, no TLS services, USB only.
    QVariantMap lockdown;
};

// A phone as real ones answer: a 25-character unique id with a dash (later
// models), a user-given name with a typographic apostrophe and an emoji,
// German network, iOS productVersion, backups neither in iCloud nor
// encrypted, and disk figures in bytes.
VirtualIPhoneSetup typicalIPhone(const QString &folderName, const QString &productVersion = QStringLiteral("7.1.2"));

// Writes the phone (its files first, then device.plist renamed into place, so
// the stand-in never reads half a phone); answers its folder. Throws
// std::runtime_error when a file cannot be written.
QString writeVirtualIPhone(const QString &phonesDir, const VirtualIPhoneSetup &setup);
// Takes the phone away: the stand-in reports it detached.
void removeVirtualIPhone(const QString &phoneFolder);
// The phone's file tree.
QString virtualIPhoneRoot(const QString &phoneFolder);
// The folder the phone's AFC service shows as "/".
QString virtualIPhoneMedia(const QString &phoneFolder);
// The container of an app (shown as "/" once house_arrest vended it).
QString virtualIPhoneContainer(const QString &phoneFolder, const QString &appIdentifier);
// What the phone's emulator of service was sent: an XML property list, an
// array of the messages in order; empty before any.
QByteArray recordedServiceRequests(const QString &phoneFolder, const QString &service);
// What the stand-in wrote down of AMDeviceSetValue: an XML property list, an
// array of {Domain, Key, Value} dictionaries in call order; empty before any.
QByteArray recordedSetValues(const QString &phoneFolder);

// An XML property list of a map, list, string, integer, boolean, double, byte
// array or date, written by hand.
QByteArray xmlPlist(const QVariant &value);

} // namespace testsupport
