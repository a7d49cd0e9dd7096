#pragma once
// iTunes backups as iOS 10 and later leave them, written from the format's
// facts without the program's readers:
//   Manifest.plist  Lockdown values, Date, IsEncrypted, the keybag and (from
//                   iOS 10.2, when encrypted) ManifestKey: the class number
//                   (4 bytes, little-endian) and the wrapped database key
//   Status.plist    SnapshotState "finished"
//   Manifest.db     SQLite: Files(fileID, domain, relativePath, flags, file)
//                   with flags 1 file, 2 folder, 4 link, and "file" an MBFile
//                   archived by NSKeyedArchiver; Properties(key, value). From
//                   iOS 10.2 an encrypted backup encrypts the whole file with
//                   AES-256-CBC (zero IV, PKCS#7) under the database key.
//   xx/<file id>    each file's data, xx the first two digits of its id;
//                   encrypted as in the old layout when the backup is
// The entries come from a BackupFixture, so one set of files can be written
// in either layout.
#include "tests/support/backupfixture.h"
#include "tests/support/mbfilearchivefixture.h"

#include <QByteArray>
#include <QString>

namespace testsupport {

enum class ModernEncryption {
    Plain,
    // iOS 10.2 and later: two-staged password key, ManifestKey, Manifest.db
    // encrypted. The fixture's keys must have useTwoStageKey() applied.
    WithManifestKey,
    // iOS 10.0 and 10.1: files encrypted, Manifest.db in plain text.
    WithoutManifestKey,
};

struct ModernBackupOptions
{
    ModernEncryption encryption = ModernEncryption::Plain;
    bool manifestPlist = true;
    bool statusPlist = true;
    // The key of Manifest.db and the class it is wrapped under.
    quint32 manifestKeyClass = 4;
    // One bit of the wrapped key flipped, so that it no longer unwraps.
    bool damageManifestKey = false;
};

// Writes fx's entries in the newer layout into folder (created, manifest
// files replaced) and answers its absolute path. An encrypted layout takes
// fx.keys. Throws std::runtime_error.
QString writeModernBackup(const BackupFixture &fx, const QString &folder,
                          const ModernBackupOptions &options = {});

// The Manifest.db bytes writeModernBackup writes (before any encryption).
QByteArray modernManifestDb(const BackupFixture &fx);
// The fixed key of an encrypted Manifest.db.
QByteArray manifestDbKey();

// Messages as an iOS 16 phone holds them: the generated content in the later
// layout (dates in nanoseconds, every other text only in attributedBody,
// e-mail handles, group chats) plus an RCS chat and texts with emoji.
MsgFixtureContent iphone16Content();
// A backup of an iOS 16 phone: iphone16Content's sms.db, an address book and
// one attachment in MediaDomain. Encrypted when password is not empty (with
// the two-staged key).
BackupFixture iphone16Backup(const QByteArray &password = QByteArray());

// Where a file's data lies in a backup of the newer layout.
QString modernDataPath(const QString &folder, const QString &domain, const QString &path);

} // namespace testsupport
