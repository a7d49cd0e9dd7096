#pragma once
// iTunes backup folders of the old layout as Apple's backup tool writes them,
// made without the program's own readers:
//   Manifest.plist  binary or XML: Lockdown values, Date, IsEncrypted and, when
//                   encrypted, the keybag of an EncryptedBackupKeys
//   Manifest.mbdb   written by mbdbfixture.h
//   <file id>       each file's content under the SHA-1 of domain + "-" + path;
//                   in an encrypted backup AES-256-CBC under a key of its own
//                   (PKCS#7 padded), whose wrapped form the record holds
// The message database and the address book come from messagedbfixture.h and
// addressbookfixture.h; attachments lie in MediaDomain, as on real phones.
//
// Entries are edited freely before write(), so tests can damage a record, a
// key or a data file on purpose.
#include "tests/support/addressbookfixture.h"
#include "tests/support/encryptedbackupfixture.h"
#include "tests/support/mbdbfixture.h"
#include "tests/support/messagedbfixture.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace testsupport {

struct BackupFixtureEntry
{
    MbdbFixtureRecord record;
    // The file's plain content (folders: none).
    QByteArray content;
    // What lands in the data file instead of the (encrypted) content.
    std::optional<QByteArray> storedData;
    // False: listed in the manifest, but no data file in the folder.
    bool hasDataFile = true;
};

class BackupFixture
{
public:
    static constexpr quint32 kTime = 1404200000; // 2014-07-01, an iOS 7 backup

    // A backup of a typical phone: a 40-digit udid, a device name with a
    // typographic apostrophe and an emoji, iOS 7.1.2, binary Manifest.plist.
    BackupFixture();

    QString udid;
    QString deviceName;
    QString productType;
    QString productVersion;
    QString serialNumber;
    QDateTime date;
    bool binaryPlist = true;
    // Set: an encrypted backup whose keybag and file keys come from these.
    std::optional<EncryptedBackupKeys> keys;

    QList<BackupFixtureEntry> entries;

    // A folder record (mode 040755), once per domain and path.
    BackupFixtureEntry &addFolder(const QString &domain, const QString &path, quint32 mtime = kTime);
    // A regular file (mode 0100644) with the folder records of its missing
    // parents before it.
    BackupFixtureEntry &addFile(const QString &domain, const QString &path, const QByteArray &content,
                                quint32 mtime = kTime);
    // HomeDomain Library/SMS/sms.db from the message builder.
    BackupFixtureEntry &addMessageDb(const MsgFixtureContent &content, MsgDbLayout layout = MsgDbLayout::LaterPhone);
    // HomeDomain Library/AddressBook/AddressBook.sqlitedb and
    // AddressBookImages.sqlitedb from the address-book builder.
    void addAddressBook(const QList<AddressBookPerson> &people, const QList<AddressBookImage> &images = {});
    // MediaDomain Library/SMS/Attachments/<relative>.
    BackupFixtureEntry &addAttachment(const QString &relative, const QByteArray &content);

    // The entry of domain and path; nullptr when there is none.
    BackupFixtureEntry *entry(const QString &domain, const QString &path);

    // Writes the backup into folder (created), replacing its manifest files;
    // answers the folder. Throws std::runtime_error.
    QString write(const QString &folder) const;

    // The bytes of Manifest.plist as write() puts them.
    QByteArray manifestPlist() const;
    // What write() puts in the data file of e, and the record it lists: in an
    // encrypted backup a file with content gets its wrapped key (class
    // record.protectionClass) unless the record holds a key already.
    QByteArray storedBytes(const BackupFixtureEntry &e) const;
    MbdbFixtureRecord listedRecord(const BackupFixtureEntry &e) const;
    // The file key of an entry in an encrypted backup.
    static QByteArray fileKeyOf(const BackupFixtureEntry &e);

private:
    // Bytes of a fixture file written by a builder that writes files only.
    static QByteArray builtFile(const std::function<QString(const QString &)> &build);
    quint64 nextInode = 1000;
};

// A property list of value, binary (through libplist's writer) or XML.
QByteArray plistBytes(const QVariant &value, bool binary);

} // namespace testsupport
