#pragma once
// The file list of a backup of iOS 10 and later: "Manifest.db", an SQLite
// database, with each file's data at "<first two digits of its id>/<id>".
//
//   Files(fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT,
//         flags INTEGER, file BLOB)
//     fileID        SHA-1 hex of domain + "-" + relativePath, as in the old layout
//     flags         1 a file, 2 a folder, 4 a symbolic link
//     file          an MBFile archived by NSKeyedArchiver (platform/plist/
//                   keyedarchive.h), whose root dictionary holds, by key:
//                     LastModified, Birth, LastStatusChange  Unix seconds
//                     Mode, UserID, GroupID, InodeNumber, Size, ProtectionClass
//                     Target         UID of the link's target string
//                     EncryptionKey  UID of a dictionary whose NS.data holds the
//                                    class (4 bytes, little-endian) and the
//                                    40-byte wrapped file key
//                     Digest         SHA-1 of the content, when given
//   Properties(key, value)   not read here
//
// From iOS 10.2 an encrypted backup encrypts Manifest.db itself: AES-256-CBC
// with a zero IV and PKCS#7 padding under the key that Manifest.plist's
// ManifestKey (class, 4 bytes little-endian, then the wrapped key) holds. The
// plain copy is written into a scratch folder of ours, read, and removed;
// nothing is ever written into the backup folder. iOS 10.0 and 10.1 keep
// Manifest.db plain even when the files are encrypted.
#include "ios/backupfilelist.h"

#include <QByteArray>
#include <QDir>

#include <functional>

struct _BackupKeyBag;
struct MbFileValues;

class ManifestDbFileList : public BackupFileList
{
public:
    // keyBag and manifestKey: for an encrypted Manifest.db, the unlocked
    // keybag and the ManifestKey value; scratchFolder takes the plain copy
    // while it is read. A plain Manifest.db needs none of them.
    explicit ManifestDbFileList(const QDir &folder, const _BackupKeyBag *keyBag = nullptr,
                                const QByteArray &manifestKey = QByteArray(),
                                const QString &scratchFolder = QString());

    // Throws "Cannot find <path>" when there is no Manifest.db, and a text
    // naming the backup when it cannot be decrypted, is not a file list, or a
    // row is damaged (a file id that is not 40 hex digits, a path leading
    // outside its domain, file information that is no MBFile archive).
    QHash<QString, _MbdbRecord> read() override;
    // fileID is the table's primary key, so no hash is needed to keep ids
    // unique. A crafted list without that key may repeat an id; every row
    // then names a data file inside the backup all the same, and the tree
    // keeps the first row of each path.
    std::vector<std::pair<QString, _MbdbRecord>> readList() override;
    void readEach(const std::function<void(const QString &fileId, _MbdbRecord &&record)> &take,
                  const std::function<void(qint64 count)> &expect = {}) override;
    QString dataFilePath(const QString &fileId) const override;

    // One row of Files as a record. The kind comes from flags (and from the
    // Mode type bits only when flags names none), never from the length: the
    // record's mode carries it, a folder's length is 0. False with error set
    // when the row is damaged.
    // domain and relativePath are UTF-8.
    static bool recordFromRow(const QByteArray &domain, const QByteArray &relativePath, qint64 flags,
                              const QByteArray &file, _MbdbRecord &record, QString &error);

    // The values of an MBFile archive through the general keyed-archive
    // reader, whatever its shape. False with error set when it is no MBFile
    // archive or is damaged. recordFromRow reads the common shape faster
    // (MbFileQuickReader) and comes here for everything else.
    static bool archiveValues(const QByteArray &file, MbFileValues &values, QString &error);

    // Decrypts the encrypted Manifest.db at source into dest (replaced) with
    // the 32-byte key, removing the padding. Throws std::runtime_error when
    // the content is not whole blocks, the padding is wrong (a wrong key) or a
    // file cannot be read or written; dest is removed then.
    static void decryptFile(const QString &source, const QString &dest, const QByteArray &key);

private:
    [[noreturn]] void damaged(const QString &why) const;
    // Reads every row, handing each (file id, record) to take; expect, when
    // given, first learns how many rows there are.
    void readRows(const std::function<void(const QString &, _MbdbRecord &&)> &take,
                  const std::function<void(qint64 rows)> &expect = {});

    QDir m_folder;
    const _BackupKeyBag *m_keyBag;
    QByteArray m_manifestKey;
    QString m_scratchFolder;
};
