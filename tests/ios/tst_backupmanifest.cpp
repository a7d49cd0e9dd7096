// iTunes backup folders: the values of Manifest.plist and the name shown for a
// backup, the cache id, unlocking an encrypted backup, the file tree, and the
// copy of one backed-up file with its decryption, padding cut and times.
#include "ios/backupcrypto.h"
#include "ios/backupmanifest.h"
#include "tests/support/filefixture.h"
#include "tests/support/backupfixture.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/testmain.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <functional>
#include <sys/stat.h>
#include <memory>

namespace tst_backupmanifest {

using namespace testsupport;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const QByteArray kPassword = QByteArray("pa\xC3\x9F" "wort \xF0\x9F\x94\x91"); // UTF-8, with an emoji

// The text of the std::runtime_error call throws; "<no error>" when none.
QString thrownText(const std::function<void()> &call)
{
    try {
        call();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<no error>");
}

// Content of n bytes that differs at every offset.
QByteArray content(int n, char seed = 'a')
{
    QByteArray out(n, '\0');
    for (int i = 0; i < n; ++i)
        out[i] = char(seed + i * 7 + i / 251);
    return out;
}

const _BackupFileNode *find(const _BackupFileNode *node, const QString &path)
{
    for (const QString &name : path.split('/')) {
        const _BackupFileNode *next = nullptr;
        for (const _BackupFileNode *child : node->children)
            if (child->name == name)
                next = child;
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

// A device that claims more bytes than it gives: not at its end, but every
// read answers `answer` (0: nothing, -1: an error).
class StuckDevice : public QIODevice
{
public:
    StuckDevice(QByteArray head, qint64 answer) : m_head(std::move(head)), m_answer(answer)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return false; }
    qint64 bytesAvailable() const override { return 1; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        if (!m_head.isEmpty()) {
            const qint64 n = qMin<qint64>(max, m_head.size());
            memcpy(data, m_head.constData(), size_t(n));
            m_head.remove(0, qsizetype(n));
            return n;
        }
        if (m_answer < 0)
            setErrorString(QStringLiteral("the cable came loose"));
        return m_answer;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_head;
    qint64 m_answer;
};

} // namespace

class TestBackupManifest : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString &name) const { return dir->filePath(name); }

    // The fixture written to a folder named name, loaded (and unlocked with
    // the fixture's password when encrypted).
    std::unique_ptr<BackupManifest> load(const BackupFixture &backup, const QString &name = "backup")
    {
        auto manifest = std::make_unique<BackupManifest>(backup.write(path(name)));
        manifest->loadManifestPlist();
        if (backup.keys)
            manifest->unlock(QString::fromUtf8(backup.keys->password));
        manifest->loadMbdb();
        return manifest;
    }

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void readsManifestPlist_data()
    {
        QTest::addColumn<bool>("binary");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("binary, plain") << true << false;
        QTest::newRow("XML, plain") << false << false;
        QTest::newRow("binary, encrypted") << true << true;
        QTest::newRow("XML, encrypted") << false << true;
    }
    void readsManifestPlist()
    {
        QFETCH(bool, binary);
        QFETCH(bool, encrypted);
        BackupFixture backup;
        backup.binaryPlist = binary;
        if (encrypted)
            backup.keys.emplace(kPassword);
        BackupManifest manifest(backup.write(path("backup")));
        manifest.loadManifestPlist();
        QCOMPARE(manifest.info.udid, backup.udid);
        QCOMPARE(manifest.info.deviceName, backup.deviceName);
        QCOMPARE(manifest.info.date, backup.date);
        QCOMPARE(manifest.info.productType, "iPhone6,2");
        QCOMPARE(manifest.info.productVersion, "7.1.2");
        QCOMPARE(manifest.info.serialNumber, "F2LMK3ABFF9R");
        QCOMPARE(manifest.info.isEncrypted, encrypted);
        QCOMPARE(manifest.info.backupKeyBag, encrypted ? backup.keys->keybag() : QByteArray());
    }

    void displayName_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("udid");
        QTest::addColumn<QString>("shown");
        const QString udid = BackupFixture().udid;
        const QString name = BackupFixture().deviceName;
        QTest::newRow("named after the udid") << udid << udid << name;
        QTest::newRow("udid and a date stamp") << udid + "-20140701-101500" << udid << name + "-20140701-101500";
        QTest::newRow("another name") << "MyBackup" << udid << name + "-MyBackup";
        QTest::newRow("udid in another case") << udid.toUpper() << udid << name + "-" + udid.toUpper();
        QTest::newRow("no udid in the manifest") << "MyBackup" << "" << name + "-MyBackup";
    }
    void displayName()
    {
        QFETCH(QString, folder);
        QFETCH(QString, udid);
        QFETCH(QString, shown);
        BackupFixture backup;
        backup.udid = udid;
        BackupManifest manifest(backup.write(path(folder)));
        manifest.loadManifestPlist();
        QCOMPARE(manifest.displayName, shown);
    }

    // Nothing in a manifest that is damaged or of another shape is thrown:
    // every value it does not hold stays empty.
    void missingValuesStayEmpty_data()
    {
        QTest::addColumn<QByteArray>("plist");
        QTest::addColumn<QString>("deviceName");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("empty file") << QByteArray() << "" << false;
        QTest::newRow("not a property list") << QByteArray("mbdb\x05\x00 garbage", 15) << "" << false;
        QTest::newRow("binary list cut short") << BackupFixture().manifestPlist().left(200) << "" << false;
        QTest::newRow("an array at the top") << plistBytes(QVariantList{"Lockdown"}, true) << "" << false;
        QTest::newRow("no Lockdown") << plistBytes(QVariantMap{{"IsEncrypted", true}}, false) << "" << true;
        QTest::newRow("values of other types")
            << plistBytes(QVariantMap{{"Lockdown", QVariantMap{{"DeviceName", 7}, {"UniqueDeviceID", true}}},
                                      {"Date", "yesterday"},
                                      {"IsEncrypted", "yes"},
                                      {"BackupKeyBag", "text"}},
                          true)
            << "" << false;
        QTest::newRow("only a device name")
            << plistBytes(QVariantMap{{"Lockdown", QVariantMap{{"DeviceName", "Zo\u00eb"}}}}, true) << "Zo\u00eb" << false;
    }
    void missingValuesStayEmpty()
    {
        QFETCH(QByteArray, plist);
        QFETCH(QString, deviceName);
        QFETCH(bool, encrypted);
        QDir().mkpath(path("odd"));
        writeFile(path("odd/Manifest.plist"), plist);
        BackupManifest manifest(path("odd"));
        manifest.loadManifestPlist();
        QCOMPARE(manifest.info.udid, "");
        QCOMPARE(manifest.info.deviceName, deviceName);
        QVERIFY(!manifest.info.date.isValid());
        QCOMPARE(manifest.info.productType, "");
        QCOMPARE(manifest.info.productVersion, "");
        QCOMPARE(manifest.info.serialNumber, "");
        QCOMPARE(manifest.info.isEncrypted, encrypted);
        QVERIFY(manifest.info.backupKeyBag.isEmpty());
        QCOMPARE(manifest.displayName, deviceName + "-odd");
    }

    // A manifest that never ends (a link to an endless device) or never
    // starts (a FIFO without a writer) is refused at once, not read.
    void manifestPlistMustBeARegularFile_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("a link to /dev/zero") << false;
        QTest::newRow("a FIFO") << true;
    }
    void manifestPlistMustBeARegularFile()
    {
        QFETCH(bool, fifo);
        QVERIFY(QDir().mkpath(path("odd")));
        const QString plist = path("odd/Manifest.plist");
        if (fifo)
            QCOMPARE(mkfifo(QFile::encodeName(plist).constData(), 0600), 0);
        else
            QVERIFY(QFile::link("/dev/zero", plist));
        BackupManifest manifest(path("odd"));
        const QString text = thrownText([&] { manifest.loadManifestPlist(); });
        QVERIFY2(text.contains("is not a regular file"), qPrintable(text));
        QCOMPARE(manifest.info.deviceName, "");
    }

    void unreadableManifestPlistThrows()
    {
        BackupManifest missing(path("nothing"));
        QCOMPARE(thrownText([&] { missing.loadManifestPlist(); }),
                 "Cannot find " + QDir(path("nothing")).absoluteFilePath("Manifest.plist"));
        // A folder in the file's place cannot be opened for reading.
        QVERIFY(QDir().mkpath(path("odd/Manifest.plist")));
        BackupManifest folder(path("odd"));
        const QString text = thrownText([&] { folder.loadManifestPlist(); });
        QVERIFY2(text != "<no error>" && !text.startsWith("Cannot find"), qPrintable(text));
    }

    void cacheIdFollowsThePathsCharacters()
    {
        QVERIFY(QDir().mkpath(path("a/backup")));
        const QString plain = QDir(path("a/backup")).absolutePath();
        const QString expected =
            QString::fromLatin1(QCryptographicHash::hash(plain.toUtf8(), QCryptographicHash::Md5).toHex());
        QCOMPARE(BackupManifest(plain).cacheId(), expected);
        // Spellings that clean to the same path share the id.
        QCOMPARE(BackupManifest(path("a/./b/../backup/")).cacheId(), expected);
        QCOMPARE(BackupManifest(plain + "//").cacheId(), expected);
        // One folder through a link is another path, and another cache.
        QVERIFY(QFile::link(path("a"), path("link")));
        QVERIFY(BackupManifest(path("link/backup")).cacheId() != expected);
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(expected).hasMatch());
    }

    void defaultBackupRootLiesInTheDataHome()
    {
        const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QCOMPARE(qEnvironmentVariable("XDG_DATA_HOME"), dataHome); // the test's own, never the user's
        QCOMPARE(BackupManifest::defaultBackupRoot().absolutePath(),
                 QDir(dataHome).absoluteFilePath("Apple Computer/MobileSync/Backup"));
    }

    void unlock_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QList<quint32>>("deviceOnlyClasses");
        QTest::addColumn<bool>("opens");
        const QString right = QString::fromUtf8(kPassword);
        QTest::newRow("right password") << right << QList<quint32>{} << true;
        QTest::newRow("wrong password") << "password" << QList<quint32>{} << false;
        QTest::newRow("empty password") << "" << QList<quint32>{} << false;
        QTest::newRow("some classes under the phone's key") << right << QList<quint32>{1, 2, 11} << true;
        QList<quint32> all;
        for (quint32 c = 1; c <= 11; ++c)
            all << c;
        // Such a keybag opens for any password but holds no usable key.
        QTest::newRow("no class under the password") << right << all << false;
        QTest::newRow("no class under the password, wrong password") << "x" << all << false;
    }
    void unlock()
    {
        QFETCH(QString, password);
        QFETCH(QList<quint32>, deviceOnlyClasses);
        QFETCH(bool, opens);
        BackupFixture backup;
        backup.keys.emplace(kPassword);
        for (auto &c : backup.keys->classes)
            if (deviceOnlyClasses.contains(c.number))
                c.wrap = EncryptedBackupKeys::kWrapDevice;
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        BackupManifest manifest(backup.write(path("backup")));
        manifest.loadManifestPlist();
        QCOMPARE(manifest.unlock(password), opens);
        manifest.loadMbdb();
        const QString dest = path("sms.db");
        const QString error = thrownText([&] { manifest.extractFile(find(&manifest.root, kSmsDb), dest); });
        if (opens) {
            QCOMPARE(error, "<no error>");
            QCOMPARE(readFile(dest), backup.entry(kHome, kSmsDb)->content);
        } else {
            QVERIFY2(error.startsWith(backupFileId(kHome, kSmsDb) + ": no key"), qPrintable(error));
        }
    }

    // A failed attempt leaves no key of an earlier one behind.
    void failedUnlockDropsEarlierKeys()
    {
        BackupFixture backup;
        backup.keys.emplace(kPassword);
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        BackupManifest manifest(backup.write(path("backup")));
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        QVERIFY(manifest.unlock(QString::fromUtf8(kPassword)));
        QVERIFY(!manifest.unlock("guess"));
        QVERIFY(thrownText([&] { manifest.extractFile(find(&manifest.root, kSmsDb), path("out")); })
                    .contains("no key"));
    }

    void plainCopyKeepsBytesAndTime()
    {
        BackupFixture backup;
        const QByteArray db = content(20000);
        backup.addFile(kHome, kSmsDb, db, 1234567890);
        backup.addFile(kHome, "Library/SMS/empty", QByteArray(), 1300000000);
        const auto manifest = load(backup);
        manifest->extractFile(find(&manifest->root, kSmsDb), path("sms.db"));
        QCOMPARE(readFile(path("sms.db")), db);
        QCOMPARE(QFileInfo(path("sms.db")).lastModified().toSecsSinceEpoch(), 1234567890);
        manifest->extractFile(find(&manifest->root, "Library/SMS/empty"), path("empty"));
        QCOMPARE(readFile(path("empty")), QByteArray());
        QCOMPARE(QFileInfo(path("empty")).lastModified().toSecsSinceEpoch(), 1300000000);
    }

    // The padding ends the content at the recorded length, whether it is a
    // few bytes, a whole block, or lies in a later read of 8192 bytes.
    void decryptionCutsThePadding_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << 0;
        QTest::newRow("1 byte, 15 of padding") << 1;
        QTest::newRow("8 bytes of padding") << 40;
        QTest::newRow("a whole block of padding") << 48;
        QTest::newRow("padding alone in the second read") << 8192;
        QTest::newRow("padding at the end of the first read") << 8191;
        QTest::newRow("three reads") << 8192 * 2 + 100;
    }
    void decryptionCutsThePadding()
    {
        QFETCH(int, length);
        BackupFixture backup;
        backup.keys.emplace(kPassword);
        const QByteArray plain = content(length, 'k');
        BackupFixtureEntry &e = backup.addFile(kHome, kSmsDb, plain, 1400000001);
        if (length > 0)
            QCOMPARE(backup.storedBytes(e).size(), qsizetype(length + 16 - length % 16));
        const auto manifest = load(backup);
        manifest->extractFile(find(&manifest->root, kSmsDb), path("sms.db"));
        QCOMPARE(readFile(path("sms.db")), plain);
        QCOMPARE(QFileInfo(path("sms.db")).lastModified().toSecsSinceEpoch(), 1400000001);
    }

    // A data file shorter or longer than its record is refused before
    // anything is copied; one within the padding but not whole blocks stops
    // at its last block with the library's error naming the file.
    void storedLengthMustFitTheRecord_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("error");
        const QString id = backupFileId(kHome, kSmsDb);
        const QString refused = id + ": the backup's file holds %1 bytes, but its record says 9000 bytes.";
        QTest::newRow("plain, cut short") << false << 8292 << refused.arg(8292);
        QTest::newRow("plain, longer") << false << 9001 << refused.arg(9001);
        QTest::newRow("encrypted, cut short") << true << 8292 << refused.arg(8292);
        QTest::newRow("encrypted, a block too many") << true << 9024 << refused.arg(9024);
        QTest::newRow("encrypted, not whole blocks") << true << 9003
                                                     << id + ", POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.";
    }
    void storedLengthMustFitTheRecord()
    {
        QFETCH(bool, encrypted);
        QFETCH(int, stored);
        QFETCH(QString, error);
        BackupFixture backup;
        if (encrypted)
            backup.keys.emplace(kPassword);
        const QByteArray plain = content(9000);
        BackupFixtureEntry &e = backup.addFile(kHome, kSmsDb, plain);
        QByteArray bytes = backup.storedBytes(e);
        e.storedData = stored <= bytes.size() ? bytes.left(stored) : bytes + QByteArray(stored - bytes.size(), 'x');
        const auto manifest = load(backup);
        const QString thrown =
            thrownText([&] { manifest->extractFile(find(&manifest->root, kSmsDb), path("sms.db")); });
        QVERIFY2(thrown.startsWith(error), qPrintable(thrown));
    }

    // Without a key a non-empty file is refused instead of being copied as
    // ciphertext under its plain name; the destination is not touched. An
    // empty file needs no key.
    void fileWithoutKeyFails_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("empty");
        QTest::newRow("class locked") << "locked class" << false;
        QTest::newRow("class unknown") << "unknown class" << false;
        QTest::newRow("wrapped key of 39 bytes") << "short key" << false;
        QTest::newRow("wrapped key of 41 bytes") << "long key" << false;
        QTest::newRow("wrapped key without its 4-byte prefix") << "no prefix" << false;
        QTest::newRow("no key") << "no key" << false;
        QTest::newRow("before unlock") << "not unlocked" << false;
        QTest::newRow("empty file, no key") << "no key" << true;
    }
    void fileWithoutKeyFails()
    {
        QFETCH(QString, damage);
        QFETCH(bool, empty);
        BackupFixture backup;
        backup.keys.emplace(kPassword);
        BackupFixtureEntry &e = backup.addFile(kHome, kSmsDb, empty ? QByteArray() : content(100));
        const QByteArray key = backup.listedRecord(e).encryptionKey.value_or(QByteArray());
        if (damage == "locked class")
            backup.keys->classes[e.record.protectionClass - 1].wrap = EncryptedBackupKeys::kWrapDevice;
        else if (damage == "unknown class")
            e.record.protectionClass = 12;
        else if (damage == "short key")
            e.record.encryptionKey = key.left(43);
        else if (damage == "long key")
            e.record.encryptionKey = key + 'x';
        else if (damage == "no prefix")
            e.record.encryptionKey = key.mid(4);
        else if (damage == "no key")
            e.record.encryptionKey = QByteArray();

        BackupManifest manifest(backup.write(path("backup")));
        manifest.loadManifestPlist();
        if (damage != "not unlocked")
            QVERIFY(manifest.unlock(QString::fromUtf8(kPassword)));
        manifest.loadMbdb();
        writeFile(path("sms.db"), "kept");
        const QString error = thrownText([&] { manifest.extractFile(find(&manifest.root, kSmsDb), path("sms.db")); });
        if (empty) {
            QCOMPARE(error, "<no error>");
            QCOMPARE(readFile(path("sms.db")), QByteArray());
        } else {
            QVERIFY2(error.startsWith(backupFileId(kHome, kSmsDb) + ": no key opens this file"), qPrintable(error));
            QCOMPARE(readFile(path("sms.db")), QByteArray("kept"));
        }
    }

    void missingFilesFail()
    {
        BackupFixture backup;
        backup.addFile(kHome, kSmsDb, "x").hasDataFile = false;
        const auto manifest = load(backup);
        const _BackupFileNode *node = find(&manifest->root, kSmsDb);
        QVERIFY(thrownText([&] { manifest->extractFile(node, path("sms.db")); }) != "<no error>");
        QVERIFY(!QFile::exists(path("sms.db")));
        writeFile(manifest->folder.absoluteFilePath(backupFileId(kHome, kSmsDb)), "x");
        QVERIFY(thrownText([&] { manifest->extractFile(node, path("no/such/folder/sms.db")); }) != "<no error>");
    }

    // A source that stops giving bytes before its end ends the copy with an
    // error instead of asking again for ever.
    void stuckSourceFails_data()
    {
        QTest::addColumn<qint64>("answer");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<QString>("error");
        QTest::newRow("nothing more, plain") << qint64(0) << false << "f00d: the backed-up file gave no more bytes before its end.";
        QTest::newRow("nothing more, encrypted") << qint64(0) << true << "f00d: the backed-up file gave no more bytes before its end.";
        QTest::newRow("read error") << qint64(-1) << false << "the cable came loose";
    }
    void stuckSourceFails()
    {
        QFETCH(qint64, answer);
        QFETCH(bool, encrypted);
        QFETCH(QString, error);
        StuckDevice source(QByteArray(8192 + 32, 'x'), answer);
        QBuffer dest;
        dest.open(QIODevice::WriteOnly);
        aes_context ctx;
        QVERIFY(aes256_set_decrypt_key(ctx, QByteArray(32, 'k')));
        QCOMPARE(thrownText([&] { BackupManifest::copyData(source, dest, encrypted ? &ctx : nullptr, 1 << 20, "f00d"); }),
                 error);
    }

    // A copy cut short by a full disk is an error, not a finished copy.
    void shortWriteFails()
    {
        BackupFixture backup;
        backup.addFile(kHome, kSmsDb, content(100000));
        const auto manifest = load(backup);
        QString error;
        {
            FileSizeLimit limit(40000);
            error = thrownText([&] { manifest->extractFile(find(&manifest->root, kSmsDb), path("sms.db")); });
        }
        QVERIFY2(error != "<no error>", "a copy of 40000 of 100000 bytes passed");
    }

    void loadMbdbBuildsTheTreeOnce()
    {
        BackupFixture backup;
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        backup.addAttachment("ab/11/8E1F-A2/IMG_0001.JPG", "jpeg");
        const auto manifest = load(backup);
        QVERIFY(find(&manifest->root, kSmsDb));
        // MediaDomain's attachment folders hang below HomeDomain's Library/SMS.
        QVERIFY(find(&manifest->root, "Library/SMS/Attachments/ab/11/8E1F-A2/IMG_0001.JPG"));
        const int count = int(manifest->root.children.size());
        QFile::remove(manifest->folder.absoluteFilePath("Manifest.mbdb"));
        manifest->loadMbdb();
        QCOMPARE(int(manifest->root.children.size()), count);
    }

    void loadMbdbFailures_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << "missing" << "Cannot find %1/Manifest.mbdb";
        QTest::newRow("cut inside a record") << "cut" << "ends inside its";
    }
    void loadMbdbFailures()
    {
        QFETCH(QString, damage);
        QFETCH(QString, error);
        BackupFixture backup;
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        const QString folder = backup.write(path("backup"));
        const QString mbdb = QDir(folder).absoluteFilePath("Manifest.mbdb");
        if (damage == "missing")
            QFile::remove(mbdb);
        else
            writeFile(mbdb, readFile(mbdb).chopped(3));
        BackupManifest manifest(folder);
        const QString text = thrownText([&] { manifest.loadMbdb(); });
        QVERIFY2(text.contains(error.contains("%1") ? error.arg(folder) : error), qPrintable(text));
        QVERIFY(manifest.root.children.isEmpty());
        // A later call tries again.
        backup.write(folder);
        manifest.loadMbdb();
        QVERIFY(find(&manifest.root, kSmsDb));
    }
};

QP_TEST_MAIN(TestBackupManifest)

} // namespace tst_backupmanifest

#include "tst_backupmanifest.moc"
