#pragma once
// "Manifest.mbdb", the list of every file, folder and link an iTunes backup
// holds (the byte layout is set out at the top of mbdb.cpp). A backup keeps the
// content of each file in its folder under the file id: the lower-case hex
// SHA-1 of domain + "-" + path.
//
// Everything here is a free function or a plain value: no state is kept
// between calls. Failures are thrown as std::runtime_error with a UTF-8 text.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// A manifest of a full phone lists some hundred thousand records of a few
// hundred bytes each; a file far beyond this size is not one.
constexpr qint64 kMaxMbdbBytes = 512LL * 1024 * 1024;

// One string field. Absent and empty are different values in the file and
// both survive a read and a write unchanged.
struct _MbdbString
{
    // Marks an absent field; a string therefore holds at most 65534 bytes.
    static constexpr quint16 kAbsent = 0xFFFF;

    // kAbsent, 0 for an empty string, else the number of bytes in bytes.
    quint16 length = kAbsent;
    // Empty for an absent or empty string.
    QByteArray bytes;

    // The UTF-8 text of bytes up to the first zero byte; "" when absent or empty.
    QString toQString() const;
    // bytes = data, length = its size. An array longer than 65534 bytes gives
    // a string the writer refuses.
    void setBytes(const QByteArray &data);
    bool isAbsent() const { return length == kAbsent; }
};

struct _MbdbProperty
{
    _MbdbString name;
    _MbdbString value;
};

// One file, folder or link of a backup. A new record has every string absent,
// every number 0 and no properties.
struct _MbdbRecord
{
    _MbdbString domain;        // "HomeDomain", "MediaDomain", "AppDomain-<app id>", ...
    _MbdbString path;          // inside the domain, '/'-separated, no leading '/'
    _MbdbString linkTarget;    // absent or empty unless a symbolic link
    _MbdbString dataHash;      // SHA-1 of the content (20 bytes) as this program writes it
    _MbdbString encryptionKey; // encrypted backups: 4 bytes, then the wrapped file key
    quint16 mode = 0;          // Unix type and permission bits; 040700 / 0100644 when made here
    quint32 inodeHigh = 0;
    quint32 inodeLow = 0;
    quint32 uid = 0;
    quint32 gid = 0;
    quint32 mtime = 0; // Unix seconds, as are atime and ctime
    quint32 atime = 0;
    quint32 ctime = 0;
    qint64 fileLength = 0;      // bytes of content; 0 for folders
    quint8 protectionClass = 0; // selects the class key that unwraps encryptionKey
    QList<_MbdbProperty> properties; // at most 255

    // Length 0 and no link target. Only the length is looked at, so an empty
    // regular file counts as a folder here; where that matters, look at mode.
    bool isDirectory() const;
};

// Every record of the manifest at path, keyed by file id; of two records with
// one id the later in the file is kept. Throws when the file cannot be read or
// is damaged (a record or string cut short): no records are returned then.
QHash<QString, _MbdbRecord> mbdb_read(const QString &path);
// The same over the bytes of a manifest.
QHash<QString, _MbdbRecord> mbdb_read_data(const QByteArray &data);

// Sorts records with mbdb_record_less and writes them as a manifest to path.
// The file is replaced only once it is written whole: on any failure (a record
// the format cannot hold, a full disk) the old file stays as it was.
void mbdb_write(QList<_MbdbRecord> &records, const QString &path);
// The bytes mbdb_write writes, records sorted in place; throws for a record
// the format cannot hold (more than 255 properties, a string of more than
// 65534 bytes or whose length does not match its bytes).
QByteArray mbdb_write_data(QList<_MbdbRecord> &records);

// The name of a file's content in the backup folder.
QString mbdb_file_id(const QString &domain, const QString &path);
QString mbdb_record_file_id(const _MbdbRecord &record);
// Domain, then path, as text compared by UTF-16 code units, case-sensitive.
bool mbdb_record_less(const _MbdbRecord &a, const _MbdbRecord &b);
// The 20-byte SHA-1 of the file's content; empty when it cannot be read.
QByteArray mbdb_file_digest(const QString &localPath);

// Lists the local file as domain/path in records: a new record for each
// missing parent folder, deepest first (the walk up stops at the first folder
// already listed), then the file's own record when missing. A file already
// listed gets only its digest and times renewed; its length, mode, inode,
// owner, protection class, key and properties stay. New records take inode
// numbers above the largest one listed.
void mbdb_add_file(QHash<QString, _MbdbRecord> &records, const QString &localPath,
                   const QString &domain, const QString &path);
