#include "tests/support/virtualphonebackup.h"

#include "tests/support/backupfixture.h"
#include "tests/support/filefixture.h"
#include "tests/support/modernbackupfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>
#include <sqlite3.h>

#include <stdexcept>

namespace testsupport {

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

QString stringAt(plist_t dict, const char *key)
{
    plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return QString();
    char *value = nullptr;
    plist_get_string_val(item, &value);
    const QString text = QString::fromUtf8(value);
    free(value);
    return text;
}

quint64 numberAt(plist_t dict, const char *key)
{
    plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_UINT)
        return 0;
    uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return value;
}

bool isNewerLayout(const QString &productVersion)
{
    return productVersion.section('.', 0, 0).toInt() >= 10;
}

QString fileId(const QString &domain, const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash((domain + "-" + path).toUtf8(), QCryptographicHash::Sha1).toHex());
}

// Manifest.mbdb read by hand: the header, then per record five strings, mode
// u16, inode u64, uid, gid, mtime, atime, ctime u32, length u64, class u8,
// property count u8 and the property strings.
struct Reader
{
    QByteArray data;
    int pos = 0;
    bool need(int n) const { return pos + n <= data.size(); }
    quint64 number(int n)
    {
        if (!need(n))
            fail("Manifest.mbdb is damaged");
        quint64 v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | quint8(data[pos++]);
        return v;
    }
    QByteArray string()
    {
        const quint64 length = number(2);
        if (length == 0xFFFF)
            return QByteArray();
        if (!need(int(length)))
            fail("Manifest.mbdb is damaged");
        const QByteArray s = data.mid(pos, int(length));
        pos += int(length);
        return s;
    }
};

// The Size of an MBFile archive, -1 when it has none.
qint64 archivedSize(const QByteArray &blob)
{
    plist_t archive = nullptr;
    plist_from_bin(blob.constData(), uint32_t(blob.size()), &archive);
    plist_t objects = archive ? plist_dict_get_item(archive, "$objects") : nullptr;
    plist_t file = objects && plist_array_get_size(objects) > 1 ? plist_array_get_item(objects, 1) : nullptr;
    const qint64 size = file ? qint64(numberAt(file, "Size")) : -1;
    if (archive)
        plist_free(archive);
    return size;
}

// One file a restore puts back: its data file (relative to the backup), its
// path below var/mobile, and the size its record gives (-1: none).
struct Restored
{
    QString data;
    QString path;
    qint64 size = -1;
};

void checkPath(const QString &path)
{
    if (path.contains("..") || path.startsWith('/'))
        fail("refused path " + path);
}

bool restoredDomain(const QString &domain)
{
    return domain == "HomeDomain" || domain == "MediaDomain";
}

QList<Restored> newerRecords(const QString &folder)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2((folder + "/Manifest.db").toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        fail("Manifest.db cannot be opened");
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files", -1, &stmt, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        fail("Manifest.db is damaged");
    }
    QList<Restored> out;
    QString error;
    while (error.isEmpty() && sqlite3_step(stmt) == SQLITE_ROW) {
        auto text = [&](int c) { return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, c))); };
        const QString id = text(0), domain = text(1), path = text(2);
        if (sqlite3_column_int(stmt, 3) != 1 || !restoredDomain(domain))
            continue;
        if (path.contains("..") || path.startsWith('/')) {
            error = "refused path " + path;
            break;
        }
        if (id != fileId(domain, path)) {
            error = "Manifest.db lists " + path + " under another id";
            break;
        }
        const QByteArray blob(static_cast<const char *>(sqlite3_column_blob(stmt, 4)), sqlite3_column_bytes(stmt, 4));
        out.append({id.left(2) + "/" + id, path, archivedSize(blob)});
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (!error.isEmpty())
        fail(error);
    return out;
}

QList<Restored> olderRecords(const QString &folder)
{
    Reader r{readRequiredFile(folder + "/Manifest.mbdb")};
    if (!r.data.startsWith("mbdb\x05\x00"))
        fail("Manifest.mbdb is damaged");
    r.pos = 6;
    QList<Restored> out;
    while (r.pos < r.data.size()) {
        const QString domain = QString::fromUtf8(r.string());
        const QString path = QString::fromUtf8(r.string());
        r.string();
        r.string();
        r.string();
        const quint64 mode = r.number(2);
        r.number(8 + 4 * 5 + 8 + 1);
        const int properties = int(r.number(1));
        for (int i = 0; i < properties * 2; ++i)
            r.string();
        if ((mode & 0xF000) != 0x8000 || !restoredDomain(domain))
            continue;
        checkPath(path);
        out.append({fileId(domain, path), path, -1});
    }
    return out;
}

QList<Restored> restoredRecords(const QString &folder)
{
    if (QFileInfo::exists(folder + "/Manifest.plist")) {
        const QByteArray bytes = readRequiredFile(folder + "/Manifest.plist");
        plist_t manifest = nullptr;
        plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &manifest);
        plist_t encrypted = manifest ? plist_dict_get_item(manifest, "IsEncrypted") : nullptr;
        uint8_t isEncrypted = 0;
        if (encrypted && plist_get_node_type(encrypted) == PLIST_BOOLEAN)
            plist_get_bool_val(encrypted, &isEncrypted);
        if (manifest)
            plist_free(manifest);
        if (isEncrypted)
            fail("this phone takes back only backups that are not encrypted");
    }
    return QFileInfo::exists(folder + "/Manifest.db") ? newerRecords(folder) : olderRecords(folder);
}

} // namespace

VirtualPhoneInfo readVirtualPhone(const QString &phoneFolder)
{
    VirtualPhoneInfo phone;
    QFile file(phoneFolder + "/device.plist");
    if (!file.open(QIODevice::ReadOnly))
        return phone;
    const QByteArray bytes = file.readAll();
    plist_t device = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &device);
    if (!device)
        return phone;
    plist_t values = plist_dict_get_item(device, "Values");
    phone.folder = phoneFolder;
    phone.udid = stringAt(values, "UniqueDeviceID");
    phone.deviceName = stringAt(values, "DeviceName");
    phone.productType = stringAt(values, "ProductType");
    phone.productVersion = stringAt(values, "ProductVersion");
    phone.serialNumber = stringAt(values, "SerialNumber");
    plist_t domains = plist_dict_get_item(device, "Domains");
    plist_t usage = domains ? plist_dict_get_item(domains, "com.apple.disk_usage") : nullptr;
    phone.totalDataCapacity = numberAt(usage, "TotalDataCapacity");
    phone.amountDataAvailable = numberAt(usage, "AmountDataAvailable");
    plist_free(device);
    return phone;
}

VirtualPhoneInfo findVirtualPhone(const QString &phonesDir, const QString &udid)
{
    for (const QString &name : QDir(phonesDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const VirtualPhoneInfo phone = readVirtualPhone(phonesDir + "/" + name);
        if (!phone.folder.isEmpty() && phone.udid == udid)
            return phone;
    }
    return VirtualPhoneInfo();
}

void writeVirtualPhoneBackup(const VirtualPhoneInfo &phone, const QString &folder, const QByteArray &password)
{
    BackupFixture fixture;
    fixture.udid = phone.udid;
    fixture.deviceName = phone.deviceName;
    fixture.productType = phone.productType;
    fixture.productVersion = phone.productVersion;
    fixture.serialNumber = phone.serialNumber;
    fixture.date = QDateTime::currentDateTimeUtc();
    fixture.entries.clear();
    const bool newer = isNewerLayout(phone.productVersion);
    if (!password.isEmpty()) {
        fixture.keys.emplace(password, 10);
        if (newer)
            fixture.keys->useTwoStageKey();
    }
    const QString library = phone.mobile() + "/Library";
    for (const QString &top : {QStringLiteral("SMS"), QStringLiteral("AddressBook")}) {
        QDirIterator it(library + "/" + top, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = QDir(phone.mobile()).relativeFilePath(path);
            const bool media = relative.startsWith("Library/SMS/Attachments/");
            // Each file with its own time, as the phone keeps it: a reader
            // that caches by that time sees a changed database.
            const qint64 mtime = QFileInfo(path).lastModified().toSecsSinceEpoch();
            fixture.addFile(media ? "MediaDomain" : "HomeDomain", relative, readRequiredFile(path), quint32(mtime));
        }
    }
    if (newer) {
        QFile::remove(folder + "/Manifest.mbdb");
        ModernBackupOptions options;
        if (!password.isEmpty())
            options.encryption = ModernEncryption::WithManifestKey;
        writeModernBackup(fixture, folder, options);
        QFile::remove(folder + "/Info.plist");
    } else {
        QFile::remove(folder + "/Manifest.db");
        fixture.write(folder);
    }
    const QVariantMap status = {{"SnapshotState", "finished"}, {"IsFullBackup", false}, {"Version", "2.4"},
                                {"UUID", "6F1C1E7A-5C4A-4C9B-9D0E-3B7C2A1F0E55"}};
    QFile statusFile(folder + "/Status.plist");
    if (!statusFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || statusFile.write(plistBytes(status, true)) < 0)
        fail("cannot write Status.plist");
}

QStringList virtualPhoneRestoreFiles(const QString &folder)
{
    QStringList files;
    for (const Restored &r : restoredRecords(folder))
        files << r.data;
    return files;
}

void restoreVirtualPhoneBackup(const VirtualPhoneInfo &phone, const QString &folder)
{
    const QList<Restored> records = restoredRecords(folder);
    for (const Restored &r : records) {
        const QFileInfo source(folder + "/" + r.data);
        if (r.size >= 0 && source.exists() && source.size() != r.size)
            fail("Manifest.db and the data of " + r.path + " disagree on its size");
    }
    // A restore replaces the phone's database whole, its journal included.
    QFile::remove(phone.mobile() + "/Library/SMS/sms.db-wal");
    QFile::remove(phone.mobile() + "/Library/SMS/sms.db-shm");
    for (const Restored &r : records) {
        const QString source = folder + "/" + r.data;
        if (!QFileInfo::exists(source))
            continue;
        const QString dest = phone.mobile() + "/" + r.path;
        QDir().mkpath(QFileInfo(dest).absolutePath());
        // Whole or not at all: the phone's file is replaced in one step.
        const QString part = dest + ".restoring";
        QFile::remove(part);
        if (!QFile::copy(source, part)) {
            QFile::remove(part);
            fail("cannot restore " + r.path);
        }
        QFile::remove(dest);
        if (!QFile::rename(part, dest))
            fail("cannot restore " + r.path);
    }
}

} // namespace testsupport
