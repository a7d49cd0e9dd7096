#pragma once
// One iTunes backup folder on this computer: the full backup of one iPhone as
// Apple's backup tool keeps it, in either layout:
//
//   Manifest.plist   property list (binary or XML): the device's Lockdown
//                    values, the date, IsEncrypted, the keybag and, from
//                    iOS 10.2, ManifestKey
//   Manifest.mbdb    up to iOS 9: the record of every backed-up file and
//                    folder (ios/mbdb.h); the data files lie in the folder
//   Manifest.db      from iOS 10: the same records in SQLite
//                    (ios/manifestdbfilelist.h), with Status.plist beside it;
//                    the data files lie in "<first two digits>/<file id>"
//   <file id>        the content of each backed-up file, named by the lower-case
//                    hex SHA-1 of domain + "-" + path; in an encrypted backup
//                    AES-256-CBC under a key of its own, which the record holds
//                    wrapped under its protection class's key (ios/backupkeybag.h)
//
// Both layouts fill the same file tree, so everything after loadMbdb works
// alike on either.
//
// Calling order: construct; loadManifestPlist; when info.isEncrypted, unlock
// with the user's password until it answers true; loadMbdb; then extractFile
// for each wanted file. One thread at a time: the GUI thread prepares the
// manifest, and the caching thread then only reads it.
#include "ios/backupfilelist.h"
#include "ios/backupfilenode.h"
#include "ios/backupkeybag.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QObject>
#include <QString>

#include <memory>

class QIODevice;
struct aes_context;

// A Manifest.plist holds a few kilobytes of values and a keybag; older ones
// list the installed apps too. Anything near this size is not a manifest, and
// reading it whole (a link to an endless device, say) would never end.
constexpr qint64 kMaxManifestPlistBytes = 64LL * 1024 * 1024;

// The values of "Manifest.plist". Missing keys and values of another type
// stay empty: "", an invalid date, false, an empty array.
struct _BackupInfo
{
    QString udid;           // Lockdown / UniqueDeviceID
    QString deviceName;     // Lockdown / DeviceName
    QDateTime date;         // Date
    QString productType;    // Lockdown / ProductType, "iPhone5,2"
    QString productVersion; // Lockdown / ProductVersion, "7.1.2"
    QString serialNumber;   // Lockdown / SerialNumber
    bool isEncrypted = false; // IsEncrypted
    QByteArray backupKeyBag;  // BackupKeyBag (data)
    // ManifestKey (data), iOS 10.2 and later when encrypted: the class of the
    // key of Manifest.db (4 bytes, little-endian) and that key, wrapped.
    QByteArray manifestKey;
};

class BackupManifest : public QObject
{
    Q_OBJECT

public:
    // Reads nothing yet.
    explicit BackupManifest(const QString &folderPath, QObject *parent = nullptr);
    ~BackupManifest() override;

    // Where Apple's backup tool keeps backups for this user: "Apple Computer/
    // MobileSync/Backup" below the XDG data home; answered whether it exists
    // or not.
    static QDir defaultBackupRoot();

    // MD5 (32 lower-case hex digits) of the folder's absolute, cleaned path:
    // the name of the backup's cache folder. It follows the characters of the
    // path, so one folder reached through a symbolic link has a second id.
    QString cacheId() const;

    // Fills info and displayName from "Manifest.plist". Throws
    // std::runtime_error when the file is missing ("Cannot find <path>"),
    // cannot be opened (its error text), or, in a backup of the newer layout,
    // "Status.plist" is missing ("Cannot find <path>"). A file that does not
    // parse leaves the values empty.
    void loadManifestPlist();

    // Whether the folder keeps its file list in Manifest.db (iOS 10 and later).
    bool isNewerLayout() const;

    // Parses the keybag of info and unwraps its class keys with the password,
    // dropping the keys of any earlier call. True only when the password opens
    // every class wrapped under it and at least one class got its key: a
    // keybag without password-wrapped classes opens nothing and answers false.
    bool unlock(const QString &password);
    // The same, telling how it ended (a keybag without password-wrapped
    // classes answers WrongPassword) and reporting to progress, which may
    // stop it. The derivation takes seconds: callers on the GUI thread run it
    // in a KeybagUnlockThread.
    KeybagUnlock unlock(const QString &password, const KeybagProgress &progress);

    // Builds the file tree (root) from the backup's file list once; a later
    // call does nothing. Throws std::runtime_error when the list is missing or
    // damaged, or an encrypted Manifest.db is still locked; the tree then
    // stays empty. An encrypted Manifest.db is decrypted into the backup's
    // cache folder only while it is read.
    void loadMbdb();

    // The backup's file list in the layout the folder has.
    std::unique_ptr<BackupFileList> fileList() const;
    // Where node's data lies in the folder, and its file id.
    QString dataFilePath(const _BackupFileNode *node) const;
    static QString fileIdOf(const _BackupFileNode *node);

    // Copies the content of node's file to destPath (created or truncated),
    // decrypting it in an encrypted backup and cutting the padding at the
    // recorded length, and gives the copy the record's modification time.
    // Throws std::runtime_error (UTF-8) when a file cannot be opened, read or
    // written, when the encrypted content is not whole AES blocks
    // ("<file id>, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH."), or when a
    // non-empty file of an encrypted backup has no key (its class locked, its
    // wrapped key damaged): then destPath is not touched. After another failure
    // destPath is left as far as it was written.
    void extractFile(const _BackupFileNode *node, const QString &destPath) const;

    // The block loop of extractFile: copies source to dest in reads of 8192
    // bytes, decrypting with ctx when given (its IV starts at zero and runs on
    // across reads) and then writing no more than fileLength bytes of a last
    // block that runs 1 to 16 bytes past it. fileId names the file in errors.
    // Throws when a read fails or yields nothing before the end, or a write is
    // short.
    static void copyData(QIODevice &source, QIODevice &dest, aes_context *ctx, qint64 fileLength,
                         const QString &fileId);

    _BackupInfo info;
    QString displayName; // "<device name>-<folder>", or the folder name with the udid replaced
    QDir folder;
    _BackupFileNode root; // the file tree; owns every node
    _BackupKeyBag keyBag; // empty until unlock
};
