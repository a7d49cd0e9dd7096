#include "tests/support/mbdbfixture.h"

#include <QCryptographicHash>
#include <QFile>

#include <stdexcept>

namespace testsupport {

namespace {

void putBigEndian(QByteArray &out, quint64 value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.append(char((value >> shift) & 0xff));
}

void putString(QByteArray &out, const MbdbField &field)
{
    if (!field) {
        out.append("\xff\xff", 2);
        return;
    }
    putBigEndian(out, quint64(field->size()), 2);
    out.append(*field);
}

} // namespace

MbdbFixtureRecord mbdbFolder(const QString &domain, const QString &path, quint64 inode)
{
    MbdbFixtureRecord r;
    r.domain = domain.toUtf8();
    r.path = path.toUtf8();
    r.mode = 040755;
    r.inode = inode;
    r.mtime = r.atime = r.ctime = 1357000000;
    return r;
}

MbdbFixtureRecord mbdbFile(const QString &domain, const QString &path, const QByteArray &content, quint64 inode)
{
    MbdbFixtureRecord r;
    r.domain = domain.toUtf8();
    r.path = path.toUtf8();
    r.dataHash = QCryptographicHash::hash(content, QCryptographicHash::Sha1);
    r.inode = inode;
    r.mtime = r.atime = r.ctime = 1357000000;
    r.length = quint64(content.size());
    return r;
}

QByteArray mbdbRecordBytes(const MbdbFixtureRecord &r)
{
    QByteArray out;
    putString(out, r.domain);
    putString(out, r.path);
    putString(out, r.linkTarget);
    putString(out, r.dataHash);
    putString(out, r.encryptionKey);
    putBigEndian(out, r.mode, 2);
    putBigEndian(out, r.inode, 8);
    putBigEndian(out, r.uid, 4);
    putBigEndian(out, r.gid, 4);
    putBigEndian(out, r.mtime, 4);
    putBigEndian(out, r.atime, 4);
    putBigEndian(out, r.ctime, 4);
    putBigEndian(out, r.length, 8);
    putBigEndian(out, r.protectionClass, 1);
    putBigEndian(out, quint64(r.properties.size()), 1);
    for (const auto &property : r.properties) {
        putString(out, property.first);
        putString(out, property.second);
    }
    return out;
}

QByteArray mbdbBytes(const QList<MbdbFixtureRecord> &records)
{
    QByteArray out("mbdb\x05\x00", 6);
    for (const MbdbFixtureRecord &r : records)
        out.append(mbdbRecordBytes(r));
    return out;
}

void writeMbdb(const QString &path, const QList<MbdbFixtureRecord> &records)
{
    QFile file(path);
    const QByteArray bytes = mbdbBytes(records);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error(QString("%1: %2").arg(path, file.errorString()).toStdString());
}

QString fieldText(const MbdbField &field)
{
    return field ? QString::fromUtf8(*field) : QString();
}

QString backupFileId(const QString &domain, const QString &path)
{
    const QByteArray name = domain.toUtf8() + '-' + path.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex());
}

} // namespace testsupport
