#include "ios/manifestdbfilelist.h"

#include "app/failure.h"
#include "app/regularfile.h"
#include "ios/backupcrypto.h"
#include "ios/backupkeybag.h"
#include "ios/mbfilequickreader.h"
#include "platform/plist/keyedarchive.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr qint64 kFlagFile = 1;
constexpr qint64 kFlagFolder = 2;
constexpr qint64 kFlagLink = 4;
constexpr quint16 kTypeMask = 0xF000;
constexpr quint16 kTypeFile = 0x8000;
constexpr quint16 kTypeFolder = 0x4000;
constexpr quint16 kTypeLink = 0xA000;
constexpr qint64 kDecryptChunkBytes = 64 * 1024;

// A relative path (UTF-8) that stays inside its domain: not absolute, no "."
// or ".." component, no NUL. The empty path is the domain's own folder.
bool staysInside(const QByteArray &path)
{
    const char *p = path.constData();
    const char *end = p + path.size();
    if (p == end)
        return true;
    if (p[0] == '/' || std::memchr(p, '\0', size_t(end - p)))
        return false;
    // "." and ".." start with a dot: only components that do are looked at.
    for (const char *dot = static_cast<const char *>(std::memchr(p, '.', size_t(end - p))); dot;
         dot = dot + 1 < end ? static_cast<const char *>(std::memchr(dot + 1, '.', size_t(end - dot - 1))) : nullptr) {
        if (dot != p && dot[-1] != '/')
            continue;
        const char *after = dot + 1;
        if (after == end || *after == '/')
            return false;
        if (*after == '.' && (after + 1 == end || after[1] == '/'))
            return false;
    }
    return true;
}

quint32 clampU32(qint64 value)
{
    return value < 0 ? 0 : value > qint64(std::numeric_limits<quint32>::max()) ? std::numeric_limits<quint32>::max()
                                                                              : quint32(value);
}

class Database
{
public:
    ~Database()
    {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
};

// The column's text where SQLite keeps it, valid until the next step.
QByteArray rawColumn(sqlite3_stmt *stmt, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return text ? QByteArray::fromRawData(text, sqlite3_column_bytes(stmt, column)) : QByteArray();
}

QByteArray columnBytes(sqlite3_stmt *stmt, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return text ? QByteArray(text, sqlite3_column_bytes(stmt, column)) : QByteArray();
}

// Removes the plain copy of an encrypted list however reading ends.
struct ScratchCopy
{
    QString path;
    ~ScratchCopy()
    {
        if (!path.isEmpty()) {
            QFile::remove(path);
            QFile::remove(path + QStringLiteral("-journal"));
        }
    }
};

} // namespace

ManifestDbFileList::ManifestDbFileList(const QDir &folder, const _BackupKeyBag *keyBag, const QByteArray &manifestKey,
                                       const QString &scratchFolder)
    : m_folder(folder), m_keyBag(keyBag), m_manifestKey(manifestKey), m_scratchFolder(scratchFolder)
{
}

QString ManifestDbFileList::dataFilePath(const QString &fileId) const
{
    return m_folder.absoluteFilePath(fileId.left(2) + QLatin1Char('/') + fileId);
}

void ManifestDbFileList::damaged(const QString &why) const
{
    throwError(QStringLiteral("The iTunes backup %1 is damaged: %2")
                   .arg(QDir::toNativeSeparators(m_folder.absolutePath()), why));
}

bool ManifestDbFileList::archiveValues(const QByteArray &file, MbFileValues &values, QString &error)
{
    KeyedArchive archive;
    if (!archive.load(file)) {
        error = QStringLiteral("its file information is not a keyed archive (%1)").arg(archive.error());
        return false;
    }
    const qint64 root = archive.root();
    if (archive.type(root) != KeyedArchive::Type::Dictionary) {
        error = QStringLiteral("its file information holds no MBFile");
        return false;
    }
    // Every value in one pass over the MBFile's keys; the numbers first, in
    // MbFileValues::Number order.
    enum Key { Target = MbFileValues::NumberCount, Digest, EncryptionKey, KeyCount };
    static const QLatin1String names[KeyCount] = {
        QLatin1String("Mode"),         QLatin1String("UserID"),           QLatin1String("GroupID"),
        QLatin1String("InodeNumber"),  QLatin1String("LastModified"),     QLatin1String("LastStatusChange"),
        QLatin1String("Birth"),        QLatin1String("Size"),             QLatin1String("ProtectionClass"),
        QLatin1String("Target"),       QLatin1String("Digest"),           QLatin1String("EncryptionKey")};
    qint64 objects[KeyCount];
    archive.members(root, names, objects, KeyCount);
    values = MbFileValues();
    for (int k = 0; k < Target; ++k) {
        if (objects[k] >= 0 && !archive.toInteger(objects[k], values.numbers[k])) {
            error = QStringLiteral("its %1 is not a number").arg(names[k]);
            return false;
        }
    }
    if (objects[Target] >= 0) {
        values.hasTarget = true;
        values.target = archive.toString(objects[Target]).toUtf8();
    }
    if (objects[Digest] >= 0 && archive.type(objects[Digest]) == KeyedArchive::Type::Data) {
        values.hasDigest = true;
        values.digest = archive.toData(objects[Digest]);
    }
    qint64 key = objects[EncryptionKey];
    if (key >= 0 && archive.type(key) == KeyedArchive::Type::Dictionary)
        key = archive.member(key, QLatin1String("NS.data"));
    if (key >= 0 && archive.type(key) == KeyedArchive::Type::Data) {
        values.hasEncryptionKey = true;
        values.encryptionKey = archive.toData(key);
    }
    if (!archive.error().isEmpty()) {
        error = QStringLiteral("its file information is damaged (%1)").arg(archive.error());
        return false;
    }
    return true;
}

bool ManifestDbFileList::recordFromRow(const QByteArray &domain, const QByteArray &relativePath, qint64 flags,
                                       const QByteArray &file, _MbdbRecord &record, QString &error)
{
    // The common shape read in one pass; anything else, and every damaged
    // archive, through the general reader, which also words the error.
    MbFileValues values;
    if (!MbFileQuickReader::read(file.constData(), file.size(), values) && !archiveValues(file, values, error))
        return false;
    const qint64 *numbers = values.numbers;
    record = _MbdbRecord();
    record.domain.setBytes(domain);
    record.path.setBytes(relativePath);
    const quint16 mode = quint16(numbers[MbFileValues::Mode]);
    record.uid = clampU32(numbers[MbFileValues::UserID]);
    record.gid = clampU32(numbers[MbFileValues::GroupID]);
    const quint64 inode = quint64(numbers[MbFileValues::InodeNumber]);
    record.inodeHigh = quint32(inode >> 32);
    record.inodeLow = quint32(inode & 0xFFFFFFFFu);
    record.mtime = clampU32(numbers[MbFileValues::LastModified]);
    record.atime = clampU32(numbers[MbFileValues::LastStatusChange]);
    record.ctime = clampU32(numbers[MbFileValues::Birth]);
    const qint64 size = numbers[MbFileValues::Size];
    const qint64 protection = numbers[MbFileValues::ProtectionClass];
    if (size < 0 || protection < 0 || protection > 255) {
        error = QStringLiteral("its size or protection class is out of range");
        return false;
    }
    record.fileLength = size;
    record.protectionClass = quint8(protection);
    if (values.hasTarget)
        record.linkTarget.setBytes(values.target);
    if (values.hasDigest)
        record.dataHash.setBytes(values.digest);
    if (values.hasEncryptionKey)
        record.encryptionKey.setBytes(values.encryptionKey);

    // The kind: flags first; the Mode's type bits only when flags names none.
    quint16 kind = 0;
    switch (flags) {
    case kFlagFile: kind = kTypeFile; break;
    case kFlagFolder: kind = kTypeFolder; break;
    case kFlagLink: kind = kTypeLink; break;
    default: {
        const quint16 type = mode & kTypeMask;
        if (type == kTypeFile || type == kTypeFolder || type == kTypeLink)
            kind = type;
    }
    }
    if (kind == 0) {
        error = QStringLiteral("neither its flags (%1) nor its mode tell whether it is a file or a folder").arg(flags);
        return false;
    }
    record.mode = quint16((mode & ~kTypeMask) | kind);
    if (kind == kTypeFolder)
        record.fileLength = 0;
    return true;
}

void ManifestDbFileList::decryptFile(const QString &source, const QString &dest, const QByteArray &key)
{
    QFile in;
    RegularFile::open(in, source);
    if (in.size() == 0 || in.size() % 16 != 0)
        throwError(QStringLiteral("%1 is not whole AES blocks.").arg(QDir::toNativeSeparators(source)));
    aes_context ctx;
    if (!aes256_set_decrypt_key(ctx, key))
        throwError(QStringLiteral("no key opens %1.").arg(QDir::toNativeSeparators(source)));
    QFile out(dest);
    struct RemoveOnFailure
    {
        QFile &file;
        bool done = false;
        ~RemoveOnFailure()
        {
            if (!done) {
                file.close();
                file.remove();
            }
        }
    } guard{out};
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwError(out.errorString());
    unsigned char iv[16];
    std::memset(iv, 0, sizeof iv);
    const qint64 total = in.size();
    qint64 done = 0;
    QByteArray last;
    while (done < total) {
        const QByteArray block = in.read(qMin(kDecryptChunkBytes, total - done));
        if (block.isEmpty() || block.size() % 16 != 0)
            throwError(in.error() != QFileDevice::NoError
                           ? in.errorString()
                           : QStringLiteral("%1 changed while it was read.").arg(source));
        done += block.size();
        QByteArray plain = aes_cbc_decrypt(ctx, iv, block.constData(), int(block.size()));
        if (plain.isNull())
            throwError(QStringLiteral("%1 is not whole AES blocks.").arg(QDir::toNativeSeparators(source)));
        if (done == total) {
            // PKCS#7: the last byte says how many bytes of padding, all alike.
            const int pad = quint8(plain.at(plain.size() - 1));
            bool good = pad >= 1 && pad <= 16;
            for (int i = 1; good && i <= pad; ++i)
                good = quint8(plain.at(plain.size() - i)) == pad;
            if (!good)
                throwError(QStringLiteral("%1 does not decrypt with the backup's key.")
                               .arg(QDir::toNativeSeparators(source)));
            plain.chop(pad);
        }
        if (out.write(plain) != plain.size())
            throwError(out.errorString());
    }
    if (!out.flush())
        throwError(out.errorString());
    out.close();
    guard.done = true;
}

QHash<QString, _MbdbRecord> ManifestDbFileList::read()
{
    QHash<QString, _MbdbRecord> records;
    readRows([&](const QString &id, _MbdbRecord &&record) { records.emplace(id, std::move(record)); });
    return records;
}

std::vector<std::pair<QString, _MbdbRecord>> ManifestDbFileList::readList()
{
    std::vector<std::pair<QString, _MbdbRecord>> list;
    readRows([&](const QString &id, _MbdbRecord &&record) { list.emplace_back(id, std::move(record)); },
             [&](qint64 rows) { list.reserve(size_t(rows)); });
    return list;
}

void ManifestDbFileList::readEach(const std::function<void(const QString &, _MbdbRecord &&)> &take,
                                  const std::function<void(qint64)> &expect)
{
    readRows(take, expect);
}

void ManifestDbFileList::readRows(const std::function<void(const QString &, _MbdbRecord &&)> &take,
                                  const std::function<void(qint64 rows)> &expect)
{
    const QString listPath = m_folder.absoluteFilePath(QStringLiteral("Manifest.db"));
    if (!QFileInfo::exists(listPath))
        throwError(QStringLiteral("Cannot find ") + listPath);
    // Only a regular file: SQLite would wait on a FIFO for ever, and a link
    // could stand for any file at all.
    const QFileInfo listInfo(listPath);
    if (listInfo.isSymLink() || !listInfo.isFile())
        throwError(QStringLiteral("%1 is not a regular file.").arg(QDir::toNativeSeparators(listPath)));

    ScratchCopy scratch;
    QString openPath = listPath;
    if (!m_manifestKey.isEmpty()) {
        if (m_manifestKey.size() != 4 + kKeybagWrappedKeyBytes)
            damaged(QStringLiteral("the ManifestKey of its Manifest.plist has %1 bytes, not 44.").arg(m_manifestKey.size()));
        const auto *k = reinterpret_cast<const unsigned char *>(m_manifestKey.constData());
        const int protectionClass = int(k[0] | (k[1] << 8) | (k[2] << 16) | (quint32(k[3]) << 24));
        const QByteArray key = m_keyBag ? keybag_file_key(*m_keyBag, protectionClass, m_manifestKey.mid(4)) : QByteArray();
        if (key.isEmpty())
            throwError(QStringLiteral("The file list of the encrypted iTunes backup %1 cannot be opened: the backup is "
                                      "not unlocked, or its ManifestKey is damaged.")
                           .arg(QDir::toNativeSeparators(m_folder.absolutePath())));
        if (m_scratchFolder.isEmpty() || !QDir().mkpath(m_scratchFolder))
            throwError(QStringLiteral("No folder to decrypt the file list of %1 into.")
                           .arg(QDir::toNativeSeparators(m_folder.absolutePath())));
        scratch.path = QDir(m_scratchFolder).absoluteFilePath(QStringLiteral("Manifest.db.plain"));
        QFile::remove(scratch.path + QStringLiteral("-journal"));
        try {
            decryptFile(listPath, scratch.path, key);
        } catch (const std::exception &e) {
            damaged(QStringLiteral("its Manifest.db cannot be decrypted (%1)").arg(QString::fromUtf8(e.what())));
        }
        openPath = scratch.path;
    }

    // Immutable: SQLite then writes nothing beside the file, not even the
    // shared-memory file a list in WAL mode would otherwise get in the backup.
    const QByteArray uri = QUrl::fromLocalFile(openPath).toEncoded() + "?immutable=1";
    Database d;
    // The connection never leaves this function's thread: no mutex around
    // each call for every column of every row.
    if (sqlite3_open_v2(uri.constData(), &d.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK)
        damaged(QStringLiteral("its Manifest.db cannot be opened (%1).")
                    .arg(QString::fromUtf8(d.db ? sqlite3_errmsg(d.db) : "out of memory")));
    if (expect) {
        // Room for every record at once: moving them while the list grows
        // would cost more than counting the rows.
        sqlite3_stmt *count = nullptr;
        if (sqlite3_prepare_v2(d.db, "SELECT count(*) FROM Files", -1, &count, nullptr) == SQLITE_OK
            && sqlite3_step(count) == SQLITE_ROW)
            expect(qBound(qint64(0), qint64(sqlite3_column_int64(count, 0)), qint64(50'000'000)));
        sqlite3_finalize(count);
    }
    if (sqlite3_prepare_v2(d.db, "SELECT fileID, domain, relativePath, flags, file FROM Files", -1, &d.stmt, nullptr)
        != SQLITE_OK)
        damaged(QStringLiteral("its Manifest.db is not a list of backed-up files (%1).")
                    .arg(QString::fromUtf8(sqlite3_errmsg(d.db))));

    // A backup has a few hundred domains and hundreds of thousands of rows,
    // mostly listed domain by domain: each domain's bytes are shared by all
    // its records, and the domain of the row before is tried first.
    QHash<QByteArray, QByteArray> domains;
    QByteArray lastDomain;
    bool lastDomainInside = false; // no '/' and no NUL in it
    int rc;
    while ((rc = sqlite3_step(d.stmt)) == SQLITE_ROW) {
        // Id and domain are looked at in SQLite's own buffer; only what the
        // record keeps is copied.
        const auto *id = reinterpret_cast<const char *>(sqlite3_column_text(d.stmt, 0));
        const int idSize = sqlite3_column_bytes(d.stmt, 0);
        bool hex = id && idSize == 40;
        for (int i = 0; hex && i < idSize; ++i) {
            const char c = id[i];
            hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        }
        if (!hex)
            damaged(QStringLiteral("Manifest.db lists a file under the id \"%1\", which is not 40 hex digits.")
                        .arg(QString::fromUtf8(QByteArray(id ? id : "", id ? qMin(idSize, 80) : 0))));
        const QString fileId = QString::fromLatin1(id, idSize);
        const QByteArray rawDomain = rawColumn(d.stmt, 1);
        if (lastDomain.isNull() || rawDomain != lastDomain) {
            auto known = domains.constFind(rawDomain);
            if (known == domains.constEnd()) {
                const QByteArray copy(rawDomain.constData(), rawDomain.size());
                known = domains.insert(copy, copy);
            }
            lastDomain = known.value();
            lastDomainInside = !lastDomain.contains('/') && !lastDomain.contains('\0');
        }
        const QByteArray &domain = lastDomain;
        const QByteArray path = columnBytes(d.stmt, 2);
        if (!lastDomainInside || !staysInside(path))
            damaged(QStringLiteral("Manifest.db lists \"%1\" of \"%2\", which leads outside its domain.")
                        .arg(QString::fromUtf8(path.left(200)), QString::fromUtf8(domain.left(80))));
        // Read in place: the archive is decoded before the next step moves
        // SQLite's buffer, and whatever the record keeps is copied out.
        const auto *blob = static_cast<const char *>(sqlite3_column_blob(d.stmt, 4));
        const QByteArray file = QByteArray::fromRawData(blob ? blob : "", sqlite3_column_bytes(d.stmt, 4));
        _MbdbRecord record;
        QString why;
        if (!recordFromRow(domain, path, sqlite3_column_int64(d.stmt, 3), file, record, why))
            damaged(QStringLiteral("in its Manifest.db, the entry %1 is unreadable: %2.").arg(fileId, why));
        take(fileId, std::move(record));
    }
    if (rc != SQLITE_DONE)
        damaged(QStringLiteral("its Manifest.db cannot be read (%1).").arg(QString::fromUtf8(sqlite3_errmsg(d.db))));
}
