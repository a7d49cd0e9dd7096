#include "ios/mbdb.h"

#include "app/durablefile.h"
#include "app/regularfile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <stdexcept>

// "Manifest.mbdb". Every integer is big-endian; fields are packed with no gaps.
//
// The file:
//
//   OFFSET   SIZE   DESCRIPTION
//      0       4    "mbdb" (6D 62 64 62).
//      4       2    05 00, the version.
//      6       *    Records, one after another up to the very end of the file.
//                   Nothing lies between or after them.
//
// A file that does not start with these six bytes (an empty one, say: what a
// full disk leaves behind) is no manifest and fails the read; one of exactly
// six bytes lists nothing.
//
// One record:
//
//   OFFSET   SIZE   DESCRIPTION
//      0       S    Domain, a string (below).
//      .       S    Path inside the domain.
//      .       S    Link target: absent or empty unless a symbolic link.
//      .       S    Data hash: SHA-1 of the content.
//      .       S    Encryption key: 4 bytes, then the wrapped file key.
//      .       2    Mode: Unix type and permission bits.
//      .       4    Inode number, high 32 bits.
//      .       4    Inode number, low 32 bits.
//      .       4    Owner user id.
//      .       4    Owner group id.
//      .       4    Modification time, Unix seconds.
//      .       4    Access time.
//      .       4    Change time.
//      .       8    Length of the content in bytes.
//      .       1    Data-protection class.
//      .       1    Property count n, 0 to 255.
//      .       *    n properties, each a name string and a value string.
//
// The smallest record has five absent strings and no properties:
// 5 x 2 + 2 + 7 x 4 + 8 + 1 + 1 = 50 bytes.
//
// A string is a 2-byte length L and then L bytes. Two lengths are followed by
// no bytes at all: FF FF marks an absent field, 00 00 an empty one. Examples:
//   FF FF                absent
//   00 00                ""
//   00 03 61 62 63       "abc"
//
// Every length is checked against the bytes left before anything is read: a
// file that ends inside a record, or a string whose length runs past the end,
// is damaged and fails the read as a whole. (Keeping such a string with the
// bytes there are would let a later write put out a length its bytes do not
// match, and so leave a broken manifest behind.)

namespace {

// The name of each field, for the message of a record that ends inside it.
const char *const kDomainField = "domain";
const char *const kPathField = "path";
const char *const kLinkTargetField = "link target";
const char *const kDataHashField = "data hash";
const char *const kEncryptionKeyField = "encryption key";

class MbdbReader
{
public:
    MbdbReader(const QByteArray &data, const QString &source)
        : m_data(reinterpret_cast<const uchar *>(data.constData())), m_size(data.size()),
          m_source(source)
    {
    }

    bool atEnd() const { return m_at >= m_size; }
    void skip(qsizetype n) { m_at = std::min(m_size, m_at + n); }
    void startRecord() { m_recordStart = m_at; }

    quint8 u8(const char *field)
    {
        need(1, field);
        return m_data[m_at++];
    }

    quint16 u16(const char *field)
    {
        need(2, field);
        const quint16 value = quint16(m_data[m_at] << 8 | m_data[m_at + 1]);
        m_at += 2;
        return value;
    }

    quint32 u32(const char *field)
    {
        need(4, field);
        quint32 value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | m_data[m_at + i];
        m_at += 4;
        return value;
    }

    quint64 u64(const char *field)
    {
        need(8, field);
        quint64 value = 0;
        for (int i = 0; i < 8; ++i)
            value = value << 8 | m_data[m_at + i];
        m_at += 8;
        return value;
    }

    _MbdbString string(const char *field)
    {
        _MbdbString s;
        s.length = u16(field);
        if (s.length != 0 && s.length != _MbdbString::kAbsent) {
            need(s.length, field);
            s.bytes = QByteArray(reinterpret_cast<const char *>(m_data + m_at), s.length);
            m_at += s.length;
        }
        return s;
    }

private:
    void need(qsizetype n, const char *field) const
    {
        if (m_size - m_at < n)
            throw std::runtime_error(QStringLiteral("%1 is damaged: the record at byte %2 ends inside its %3.")
                                         .arg(m_source)
                                         .arg(m_recordStart)
                                         .arg(QLatin1String(field))
                                         .toUtf8()
                                         .toStdString());
    }

    const uchar *m_data;
    qsizetype m_size;
    qsizetype m_at = 0;
    qsizetype m_recordStart = 0;
    QString m_source;
};

const char kHeader[] = "mbdb\x05\x00";
constexpr qsizetype kHeaderSize = 6;

QHash<QString, _MbdbRecord> readRecords(const QByteArray &data, const QString &source)
{
    if (!data.startsWith(QByteArray(kHeader, kHeaderSize)))
        throw std::runtime_error(QStringLiteral("%1 is damaged: it does not start as a manifest does (\"mbdb\", "
                                                "version 5.0)%2.")
                                     .arg(source, data.isEmpty() ? QStringLiteral("; it is empty") : QString())
                                     .toUtf8()
                                     .toStdString());
    MbdbReader in(data, source);
    in.skip(kHeaderSize);
    QHash<QString, _MbdbRecord> records;
    while (!in.atEnd()) {
        in.startRecord();
        _MbdbRecord r;
        r.domain = in.string(kDomainField);
        r.path = in.string(kPathField);
        r.linkTarget = in.string(kLinkTargetField);
        r.dataHash = in.string(kDataHashField);
        r.encryptionKey = in.string(kEncryptionKeyField);
        r.mode = in.u16("mode");
        r.inodeHigh = in.u32("inode number");
        r.inodeLow = in.u32("inode number");
        r.uid = in.u32("owner");
        r.gid = in.u32("group");
        r.mtime = in.u32("modification time");
        r.atime = in.u32("access time");
        r.ctime = in.u32("change time");
        r.fileLength = qint64(in.u64("file length"));
        r.protectionClass = in.u8("protection class");
        const int count = in.u8("property count");
        r.properties.reserve(count);
        for (int i = 0; i < count; ++i) {
            _MbdbProperty p;
            p.name = in.string("property name");
            p.value = in.string("property value");
            r.properties.append(p);
        }
        records.insert(mbdb_record_file_id(r), r);
    }
    return records;
}

class Writer
{
public:
    QByteArray out;

    void u8(quint8 v) { out.append(char(v)); }
    void u16(quint16 v)
    {
        u8(quint8(v >> 8));
        u8(quint8(v));
    }
    void u32(quint32 v)
    {
        u16(quint16(v >> 16));
        u16(quint16(v));
    }
    void u64(quint64 v)
    {
        u32(quint32(v >> 32));
        u32(quint32(v));
    }

    void string(const _MbdbString &s, const _MbdbRecord &record, const char *field)
    {
        const qsizetype expected = s.isAbsent() ? 0 : s.length;
        if (s.bytes.size() != expected)
            refuse(record, QStringLiteral("its %1 holds %2 bytes under the length %3")
                               .arg(QLatin1String(field))
                               .arg(s.bytes.size())
                               .arg(s.isAbsent() ? QStringLiteral("of an absent field")
                                                 : QString::number(s.length)));
        u16(s.length);
        out.append(s.bytes);
    }

    [[noreturn]] static void refuse(const _MbdbRecord &record, const QString &why)
    {
        throw std::runtime_error(QStringLiteral("The manifest cannot hold the record %1-%2: %3.")
                                     .arg(record.domain.toQString(), record.path.toQString(), why)
                                     .toUtf8()
                                     .toStdString());
    }
};

quint32 unixSeconds(const QDateTime &time)
{
    if (!time.isValid())
        return 0;
    return quint32(std::clamp<qint64>(time.toSecsSinceEpoch(), 0, 0xFFFFFFFF));
}

} // namespace

QString _MbdbString::toQString() const
{
    if (length == 0 || length == kAbsent)
        return QString();
    const qsizetype zero = bytes.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
}

void _MbdbString::setBytes(const QByteArray &data)
{
    bytes = data;
    length = quint16(data.size());
}

bool _MbdbRecord::isDirectory() const
{
    return fileLength == 0 && linkTarget.toQString().isEmpty();
}

QHash<QString, _MbdbRecord> mbdb_read(const QString &path)
{
    return readRecords(RegularFile::read(path, kMaxMbdbBytes), path);
}

QHash<QString, _MbdbRecord> mbdb_read_data(const QByteArray &data)
{
    return readRecords(data, QStringLiteral("The manifest"));
}

QByteArray mbdb_write_data(QList<_MbdbRecord> &records)
{
    std::stable_sort(records.begin(), records.end(), mbdb_record_less);
    Writer w;
    w.out.append(kHeader, kHeaderSize);
    for (const _MbdbRecord &r : records) {
        w.string(r.domain, r, kDomainField);
        w.string(r.path, r, kPathField);
        w.string(r.linkTarget, r, kLinkTargetField);
        w.string(r.dataHash, r, kDataHashField);
        w.string(r.encryptionKey, r, kEncryptionKeyField);
        w.u16(r.mode);
        w.u32(r.inodeHigh);
        w.u32(r.inodeLow);
        w.u32(r.uid);
        w.u32(r.gid);
        w.u32(r.mtime);
        w.u32(r.atime);
        w.u32(r.ctime);
        w.u64(quint64(r.fileLength));
        w.u8(r.protectionClass);
        if (r.properties.size() > 255)
            Writer::refuse(r, QStringLiteral("it has %1 properties, 255 at most fit").arg(r.properties.size()));
        w.u8(quint8(r.properties.size()));
        for (const _MbdbProperty &p : r.properties) {
            w.string(p.name, r, "property name");
            w.string(p.value, r, "property value");
        }
    }
    return w.out;
}

void mbdb_write(QList<_MbdbRecord> &records, const QString &path)
{
    // Built whole before the file is touched, and the old manifest replaced
    // only after the new one is on disk: a backup must never be left with half
    // a manifest.
    DurableFile::write(path, mbdb_write_data(records));
}

QString mbdb_file_id(const QString &domain, const QString &path)
{
    const QByteArray name = (domain + QLatin1Char('-') + path).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex());
}

QString mbdb_record_file_id(const _MbdbRecord &record)
{
    return mbdb_file_id(record.domain.toQString(), record.path.toQString());
}

bool mbdb_record_less(const _MbdbRecord &a, const _MbdbRecord &b)
{
    const QString domainA = a.domain.toQString();
    const QString domainB = b.domain.toQString();
    if (domainA != domainB)
        return domainA < domainB;
    return a.path.toQString() < b.path.toQString();
}

QByteArray mbdb_file_digest(const QString &localPath)
{
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha1);
    // A digest of part of the content would pass for the whole one.
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result();
}

void mbdb_add_file(QHash<QString, _MbdbRecord> &records, const QString &localPath,
                   const QString &domain, const QString &path)
{
    // Inode numbers above 0x7FFFFFFF count as negative, as they always have.
    qint64 inode = 0;
    for (const _MbdbRecord &r : records)
        inode = std::max<qint64>(inode, qint32(r.inodeLow));

    const QFileInfo info(localPath);
    const quint32 modified = unixSeconds(info.lastModified());
    // Not every Linux file system keeps a birth time.
    const QDateTime born = info.birthTime();
    const quint32 created = unixSeconds(born.isValid() ? born : info.metadataChangeTime());

    const QByteArray domainBytes = domain.toUtf8();
    QString folder = path;
    for (qsizetype slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = folder.lastIndexOf(QLatin1Char('/'))) {
        folder.truncate(slash);
        const QString id = mbdb_file_id(domain, folder);
        if (records.contains(id))
            break;
        _MbdbRecord r;
        r.domain.setBytes(domainBytes);
        r.path.setBytes(folder.toUtf8());
        r.mode = 040700;
        r.inodeLow = quint32(++inode);
        r.uid = 501;
        r.gid = 501;
        r.mtime = modified;
        r.atime = modified;
        r.ctime = created;
        r.protectionClass = 4;
        records.insert(id, r);
    }

    const QString id = mbdb_file_id(domain, path);
    auto it = records.find(id);
    if (it == records.end()) {
        _MbdbRecord r;
        r.domain.setBytes(domainBytes);
        r.path.setBytes(path.toUtf8());
        r.mode = 0100644;
        r.inodeLow = quint32(inode + 1);
        r.uid = 501;
        r.gid = 501;
        r.fileLength = info.size();
        r.protectionClass = 4;
        it = records.insert(id, r);
    }
    it->dataHash.setBytes(mbdb_file_digest(localPath));
    it->mtime = modified;
    it->atime = modified;
    it->ctime = created;
}
