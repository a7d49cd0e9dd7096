#pragma once
// Manifest.mbdb files for backup fixtures, written byte by byte here (never
// through the code under test): 6 header bytes "mbdb" 05 00, then each record
// as five strings (domain, path, link target, data hash, encryption key; a
// string is a big-endian u16 length and its bytes, FF FF for an absent one),
// mode u16, inode u64, uid, gid, mtime, atime, ctime u32, length u64,
// protection class u8, property count u8 and the name/value string pairs.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace testsupport {

// A string field; std::nullopt is an absent one.
using MbdbField = std::optional<QByteArray>;
// The field's UTF-8 as text; an absent field is empty.
QString fieldText(const MbdbField &field);

struct MbdbFixtureRecord
{
    MbdbField domain;
    MbdbField path;
    MbdbField linkTarget;
    MbdbField dataHash;
    MbdbField encryptionKey;
    quint16 mode = 0100644;
    quint64 inode = 0;
    quint32 uid = 501;
    quint32 gid = 501;
    quint32 mtime = 0;
    quint32 atime = 0;
    quint32 ctime = 0;
    quint64 length = 0;
    quint8 protectionClass = 4;
    // Written with their count as one byte: more than 255 make a damaged file.
    QList<QPair<MbdbField, MbdbField>> properties;
};

// A folder record as iTunes writes one (mode 040755, length 0).
MbdbFixtureRecord mbdbFolder(const QString &domain, const QString &path, quint64 inode = 0);
// A regular file record for content: its length and its SHA-1 as data hash.
MbdbFixtureRecord mbdbFile(const QString &domain, const QString &path, const QByteArray &content,
                           quint64 inode = 0);

// One record's bytes.
QByteArray mbdbRecordBytes(const MbdbFixtureRecord &record);
// The header and the records in the order given (no sorting).
QByteArray mbdbBytes(const QList<MbdbFixtureRecord> &records);
// Writes mbdbBytes to path, replacing any file; throws std::runtime_error.
void writeMbdb(const QString &path, const QList<MbdbFixtureRecord> &records);

// The name of a file's content in a backup folder: lower-case hex SHA-1 of
// the UTF-8 of domain + "-" + path.
QString backupFileId(const QString &domain, const QString &path);

} // namespace testsupport
