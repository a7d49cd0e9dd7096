#pragma once
// What a virtual iPhone (virtualiphonefixture.h) backs up and takes back, as
// the phone itself would: shared by the stand-in backup program and by the
// virtual phone's own backup service behind the virtual usbmuxd, so the two
// roads leave the same backups.
//
// A backup holds the phone's Library/SMS and Library/AddressBook in
// HomeDomain (attachments below Library/SMS/Attachments in MediaDomain, as
// phones keep them), each file with its own modification time, in the old
// layout (Manifest.mbdb) below iOS 10 and with Manifest.db from it, and a
// Status.plist that says it finished. A restore puts the HomeDomain and
// MediaDomain files of a backup back into the phone's tree below var/mobile.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

struct VirtualPhoneInfo
{
    QString folder; // empty: no such phone
    QString udid, deviceName, productType, productVersion, serialNumber;
    quint64 totalDataCapacity = 0, amountDataAvailable = 0;
    QString mobile() const { return folder + "/root/var/mobile"; }
};

// The phone in phoneFolder, from its device.plist; folder empty when it has
// none.
VirtualPhoneInfo readVirtualPhone(const QString &phoneFolder);
// The phone of that unique device id in the folder of phones; folder empty
// when none has it.
VirtualPhoneInfo findVirtualPhone(const QString &phonesDir, const QString &udid);

// Writes the phone's backup into folder (created; an earlier backup's
// manifest files replaced), encrypted under password when it is not empty.
// Writes no Info.plist: the computer writes that. Throws std::runtime_error.
void writeVirtualPhoneBackup(const VirtualPhoneInfo &phone, const QString &folder,
                             const QByteArray &password = QByteArray());

// The data files (paths relative to folder) a restore of the backup in
// folder reads: those of the regular HomeDomain and MediaDomain files its
// manifest lists. Needs only the manifest files in folder. Throws
// std::runtime_error for a manifest that cannot be read, an encrypted backup,
// or a record leading outside the phone.
QStringList virtualPhoneRestoreFiles(const QString &folder);
// Puts those files back into the phone (the database's -wal and -shm go: a
// restore replaces the database whole). A data file that is missing is left
// out; a Manifest.db record whose size disagrees with its data fails the
// restore before anything is written, as a phone refuses such a backup.
// Throws std::runtime_error.
void restoreVirtualPhoneBackup(const VirtualPhoneInfo &phone, const QString &folder);

} // namespace testsupport
