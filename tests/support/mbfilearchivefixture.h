#pragma once
// The per-file metadata of a backup of iOS 10 and later (the "file" column of
// Manifest.db's Files table): an MBFile archived by NSKeyedArchiver, written
// through libplist's binary writer, never through the program's reader.
#include <QByteArray>
#include <QString>

namespace testsupport {

// The values of one MBFile. Dates are Unix seconds.
struct MbFileFields
{
    QString relativePath;
    qint64 lastModified = 0;
    qint64 birth = 0;
    qint64 lastStatusChange = 0;
    quint16 mode = 0100644;
    quint64 inode = 0;
    quint32 userId = 501;
    quint32 groupId = 501;
    qint64 size = 0;
    int protectionClass = 3;
    QString target;          // links only
    QByteArray encryptionKey; // encrypted backups: class (4 bytes LE) + wrapped key
};

// The MBFile as NSKeyedArchiver writes it (binary property list): $objects
// starts with "$null", root is UID 1, RelativePath and Target are UIDs to
// strings, EncryptionKey a UID to a dictionary whose NS.data holds the key,
// and $class a UID to the class description.
QByteArray mbFileArchive(const MbFileFields &fields);

} // namespace testsupport
