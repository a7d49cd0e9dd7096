#include "tests/support/modernbackupfixture.h"

#include "tests/support/bytesfixture.h"
#include "tests/support/filefixture.h"
#include "tests/support/mbdbfixture.h"
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

int flagsOf(quint16 mode)
{
    switch (mode & 0xF000) {
    case 0x4000: return 2;
    case 0xA000: return 4;
    default: return 1;
    }
}

} // namespace

QByteArray manifestDbKey()
{
    return QCryptographicHash::hash("manifest database key", QCryptographicHash::Sha256);
}

QString modernDataPath(const QString &folder, const QString &domain, const QString &path)
{
    const QString id = backupFileId(domain, path);
    return QDir(folder).absoluteFilePath(id.left(2) + QLatin1Char('/') + id);
}

QByteArray modernManifestDb(const BackupFixture &fx)
{
    QTemporaryDir work;
    if (!work.isValid())
        throw std::runtime_error("no temporary folder for Manifest.db");
    const QString path = work.filePath("Manifest.db");
    {
        SqliteFixture m(path);
        m.exec("PRAGMA synchronous=OFF;"
               "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
               "CREATE INDEX FilesDomainIdx ON Files(domain);"
               "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
               "CREATE INDEX FilesFlagsIdx ON Files(flags);"
               "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
               "BEGIN;");
        m.run("INSERT INTO Properties VALUES('salt', ?)", {QByteArray(16, '\x11')});
        m.run("INSERT INTO Properties VALUES('passwordHash', ?)", {QByteArray(32, '\x22')});
        for (const BackupFixtureEntry &e : fx.entries) {
            const MbdbFixtureRecord r = fx.listedRecord(e);
            MbFileFields f;
            f.relativePath = fieldText(r.path);
            f.lastModified = r.mtime;
            f.birth = r.ctime;
            f.lastStatusChange = r.atime;
            f.mode = r.mode;
            f.inode = r.inode;
            f.userId = r.uid;
            f.groupId = r.gid;
            f.size = qint64(r.length);
            f.protectionClass = r.protectionClass;
            f.target = fieldText(r.linkTarget);
            f.encryptionKey = r.encryptionKey.value_or(QByteArray());
            m.run("INSERT INTO Files VALUES(?, ?, ?, ?, ?)",
                  {backupFileId(fieldText(r.domain), fieldText(r.path)), fieldText(r.domain), fieldText(r.path),
                   flagsOf(r.mode), mbFileArchive(f)});
        }
        m.exec("COMMIT;");
    }
    return readRequiredFile(path);
}

QString writeModernBackup(const BackupFixture &fx, const QString &folder, const ModernBackupOptions &options)
{
    const bool encrypted = options.encryption != ModernEncryption::Plain;
    if (encrypted && !fx.keys)
        throw std::runtime_error("an encrypted backup fixture needs keys");
    QDir().mkpath(folder);
    const QDir dir(folder);

    QByteArray db = modernManifestDb(fx);
    QVariantMap lockdown{
        {"BuildVersion", "20F66"},
        {"DeviceName", fx.deviceName},
        {"ProductType", fx.productType},
        {"ProductVersion", fx.productVersion},
        {"SerialNumber", fx.serialNumber},
        {"UniqueDeviceID", fx.udid},
    };
    QVariantMap top{
        {"Applications", QVariantMap{}},
        {"Date", fx.date},
        {"IsEncrypted", encrypted},
        {"Lockdown", lockdown},
        {"SystemDomainsVersion", "24.0"},
        {"Version", "10.0"},
        {"WasPasscodeSet", true},
    };
    if (encrypted)
        top.insert("BackupKeyBag", fx.keys->keybag());
    if (options.encryption == ModernEncryption::WithManifestKey) {
        QByteArray manifestKey = littleEndian32(options.manifestKeyClass)
            + fx.keys->wrappedFileKey(options.manifestKeyClass, manifestDbKey());
        if (options.damageManifestKey)
            manifestKey[manifestKey.size() - 1] = char(manifestKey.at(manifestKey.size() - 1) ^ 0x01);
        top.insert("ManifestKey", manifestKey);
        db = encryptBackupFile(manifestDbKey(), db);
    }
    const QString manifestPlistPath = dir.absoluteFilePath("Manifest.plist");
    const QString statusPath = dir.absoluteFilePath("Status.plist");
    QFile::remove(manifestPlistPath);
    QFile::remove(statusPath);
    if (options.manifestPlist)
        writeFile(manifestPlistPath, plistBytes(top, fx.binaryPlist));
    if (options.statusPlist)
        writeFile(statusPath, plistBytes(QVariantMap{{"BackupState", "new"},
                                                     {"Date", fx.date},
                                                     {"IsFullBackup", false},
                                                     {"SnapshotState", "finished"},
                                                     {"UUID", "7A1C3C1E-0D33-4E2B-9C55-3B1E4C2D9F10"},
                                                     {"Version", "3.3"}},
                                          true));
    writeFile(dir.absoluteFilePath("Info.plist"),
              plistBytes(QVariantMap{{"Device Name", fx.deviceName},
                                     {"Product Version", fx.productVersion},
                                     {"Unique Identifier", fx.udid}},
                         false));
    writeFile(dir.absoluteFilePath("Manifest.db"), db);
    for (const BackupFixtureEntry &e : fx.entries) {
        if (e.hasDataFile && (e.record.mode & 0xF000) == 0x8000)
            writeFile(modernDataPath(folder, fieldText(e.record.domain), fieldText(e.record.path)), fx.storedBytes(e));
    }
    return dir.absolutePath();
}

MsgFixtureContent iphone16Content()
{
    MsgFixtureContent content = generateMsgContent(6, 40, 6, 10, 16);
    // An RCS conversation: its own service on chat, handle and message.
    MsgFixtureHandle rcs;
    rcs.rowid = content.handles.size() + 1;
    rcs.id = QStringLiteral("+447700900123");
    rcs.country = QStringLiteral("gb");
    rcs.service = QStringLiteral("RCS");
    rcs.uncanonicalizedId = rcs.id;
    content.handles.append(rcs);
    MsgFixtureChat chat;
    chat.rowid = content.chats.size() + 1;
    chat.service = QStringLiteral("RCS");
    chat.identifier = rcs.id;
    chat.guid = QStringLiteral("RCS;-;") + rcs.id;
    chat.handles.append(rcs.rowid);
    content.chats.append(chat);
    const QStringList words{QString::fromUtf8("Bis gleich \xF0\x9F\x91\x8B"),
                            QString::fromUtf8("\xF0\x9F\x8E\x89\xF0\x9F\x8E\x82 Happy birthday!"),
                            QString::fromUtf8("Caf\xC3\xA9 at 8? \xE2\x98\x95\xEF\xB8\x8F")};
    int date = content.messages.last().date;
    for (int i = 0; i < words.size(); ++i) {
        MsgFixtureMessage m;
        m.rowid = content.messages.size() + 1;
        m.guid = QStringLiteral("RC5%1-0000-4000-8000-0000000000%2").arg(i).arg(m.rowid, 2, 10, QLatin1Char('0'));
        m.text = words.at(i);
        m.service = QStringLiteral("RCS");
        m.isFromMe = i % 2;
        m.isSent = m.isFromMe;
        m.handleId = m.isFromMe ? 0 : rcs.rowid;
        m.date = (date += 61);
        m.dateRead = m.date + 3;
        m.chats.append(chat.rowid);
        content.messages.append(m);
    }
    // Emoji in an ordinary conversation too.
    content.messages[0].text = QString::fromUtf8("\xF0\x9F\x98\x80 ") + content.messages[0].text;
    return content;
}

BackupFixture iphone16Backup(const QByteArray &password)
{
    BackupFixture fx;
    fx.udid = QStringLiteral("00008110-001C195A3C38801E");
    fx.productType = QStringLiteral("iPhone15,2");
    fx.productVersion = QStringLiteral("16.5");
    fx.serialNumber = QStringLiteral("K7QX2MV9LW");
    fx.date = QDateTime::fromSecsSinceEpoch(1688000000, QTimeZone::utc()); // 2023-06-29
    if (!password.isEmpty()) {
        fx.keys.emplace(password, 10);
        fx.keys->useTwoStageKey();
    }
    constexpr quint32 kTime16 = 1687990000;
    BackupFixtureEntry &db = fx.addMessageDb(iphone16Content());
    db.record.mtime = db.record.atime = db.record.ctime = kTime16;
    fx.addAddressBook({{1, "Anna", "", "M\u00fcller", {"+49 170 1000001"}, {}},
                       {2, "Ravi", "", "Sharma", {"09800000002"}, {"user3@example.com"}}});
    fx.addAttachment(QStringLiteral("01/IMG_1.JPG"), QByteArray("\xFF\xD8\xFF\xE0 a small jpeg", 18));
    // The phone lists its WAL files beside the database, even when empty.
    fx.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db-wal"), QByteArray(), kTime16);
    fx.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db-shm"), QByteArray(32768, '\0'),
               kTime16);
    fx.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/com.apple.MobileSMS.plist"),
               plistBytes(QVariantMap{{"KeepMessageForDays", 0}}, true));
    return fx;
}

} // namespace testsupport
