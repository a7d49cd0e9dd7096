#include "tests/support/backupfixture.h"

#include "tests/support/filefixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/virtualiphonefixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>

#include <plist/plist.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kMedia = QStringLiteral("MediaDomain");

bool isFolderRecord(const MbdbFixtureRecord &r)
{
    return (r.mode & 0xF000) == 0x4000;
}

} // namespace

QByteArray plistBytes(const QVariant &value, bool binary)
{
    const QByteArray xml = xmlPlist(value);
    if (!binary)
        return xml;
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    if (!root)
        throw std::runtime_error("libplist does not take the fixture's XML property list");
    char *out = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    plist_free(root);
    const QByteArray bytes(out, qsizetype(length));
    std::free(out);
    return bytes;
}

BackupFixture::BackupFixture()
    : udid(QStringLiteral("5f1a2b3c4d5e6f708192a3b4c5d6e7f809a1b2c3")),
      deviceName(QString::fromUtf8("Ann\u2019s iPhone \xF0\x9F\x98\x80")),
      productType(QStringLiteral("iPhone6,2")),
      productVersion(QStringLiteral("7.1.2")),
      serialNumber(QStringLiteral("F2LMK3ABFF9R")),
      date(QDateTime::fromSecsSinceEpoch(kTime, QTimeZone::utc()))
{
}

BackupFixtureEntry *BackupFixture::entry(const QString &domain, const QString &path)
{
    for (BackupFixtureEntry &e : entries) {
        if (fieldText(e.record.domain) == domain && fieldText(e.record.path) == path)
            return &e;
    }
    return nullptr;
}

BackupFixtureEntry &BackupFixture::addFolder(const QString &domain, const QString &path, quint32 mtime)
{
    if (BackupFixtureEntry *existing = entry(domain, path))
        return *existing;
    BackupFixtureEntry e;
    e.record = mbdbFolder(domain, path, nextInode++);
    e.record.mtime = e.record.atime = e.record.ctime = mtime;
    e.hasDataFile = false;
    entries.append(e);
    return entries.last();
}

BackupFixtureEntry &BackupFixture::addFile(const QString &domain, const QString &path, const QByteArray &content,
                                           quint32 mtime)
{
    for (qsizetype slash = path.indexOf('/'); slash > 0; slash = path.indexOf('/', slash + 1))
        addFolder(domain, path.left(slash), mtime);
    BackupFixtureEntry e;
    e.record = mbdbFile(domain, path, content, nextInode++);
    e.record.mtime = e.record.atime = e.record.ctime = mtime;
    e.content = content;
    entries.append(e);
    return entries.last();
}

QByteArray BackupFixture::builtFile(const std::function<QString(const QString &)> &build)
{
    QTemporaryDir work;
    if (!work.isValid())
        throw std::runtime_error("no temporary folder for a backup fixture file");
    return readRequiredFile(build(work.path()));
}

BackupFixtureEntry &BackupFixture::addMessageDb(const MsgFixtureContent &content, MsgDbLayout layout)
{
    const QByteArray db = builtFile([&](const QString &dir) { return writeMsgDbFile(dir + "/sms.db", layout, content); });
    return addFile(kHome, QStringLiteral("Library/SMS/sms.db"), db);
}

void BackupFixture::addAddressBook(const QList<AddressBookPerson> &people, const QList<AddressBookImage> &images)
{
    const QByteArray book = builtFile([&](const QString &dir) { return writeAddressBook(dir, people); });
    addFile(kHome, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), book);
    const QByteArray pictures = builtFile([&](const QString &dir) { return writeAddressBookImages(dir, images); });
    addFile(kHome, QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb"), pictures);
}

BackupFixtureEntry &BackupFixture::addAttachment(const QString &relative, const QByteArray &content)
{
    // The phone lists the attachment folders in MediaDomain from Library on.
    return addFile(kMedia, QStringLiteral("Library/SMS/Attachments/") + relative, content);
}

QByteArray BackupFixture::fileKeyOf(const BackupFixtureEntry &e)
{
    return EncryptedBackupKeys::fileKeyFor(e.record.domain.value_or(QByteArray()) + '-'
                                           + e.record.path.value_or(QByteArray()));
}

QByteArray BackupFixture::storedBytes(const BackupFixtureEntry &e) const
{
    if (e.storedData)
        return *e.storedData;
    if (keys && !e.content.isEmpty())
        return encryptBackupFile(fileKeyOf(e), e.content);
    return e.content;
}

MbdbFixtureRecord BackupFixture::listedRecord(const BackupFixtureEntry &e) const
{
    MbdbFixtureRecord r = e.record;
    if (keys && !isFolderRecord(r) && !e.content.isEmpty() && !r.encryptionKey)
        r.encryptionKey = keys->recordEncryptionKey(r.protectionClass, fileKeyOf(e));
    return r;
}

QByteArray BackupFixture::manifestPlist() const
{
    QVariantMap lockdown{
        {"BuildVersion", "11D257"},
        {"DeviceName", deviceName},
        {"ProductType", productType},
        {"ProductVersion", productVersion},
        {"SerialNumber", serialNumber},
        {"UniqueDeviceID", udid},
        {"com.apple.mobile.data_sync", QVariantMap{{"Notes", QVariantMap{{"AccountNames", QStringList{"iCloud"}}}}}},
    };
    QVariantMap top{
        {"Applications", QVariantMap{}},
        {"Date", date},
        {"IsEncrypted", bool(keys)},
        {"Lockdown", lockdown},
        {"Version", "9.1"},
        {"WasPasscodeSet", true},
    };
    if (keys)
        top.insert("BackupKeyBag", keys->keybag());
    return plistBytes(top, binaryPlist);
}

QString BackupFixture::write(const QString &folder) const
{
    QDir().mkpath(folder);
    const QDir dir(folder);
    writeFile(dir.absoluteFilePath("Manifest.plist"), manifestPlist());
    QList<MbdbFixtureRecord> records;
    for (const BackupFixtureEntry &e : entries) {
        records.append(listedRecord(e));
        if (e.hasDataFile)
            writeFile(dir.absoluteFilePath(backupFileId(fieldText(e.record.domain), fieldText(e.record.path))),
                      storedBytes(e));
    }
    writeMbdb(dir.absoluteFilePath("Manifest.mbdb"), records);
    return dir.absolutePath();
}

} // namespace testsupport
