// Backups of iOS 10 and later (Manifest.db): plain, encrypted with the
// two-staged key and ManifestKey, and 10.0's plain list beside encrypted
// files, read into the same file tree as the old layout and copied into the
// cache; every damaged list refused with a text naming the backup, and
// nothing written into the backup or left outside the cache.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/itunescachesmsthread.h"
#include "ios/backupkeybag.h"
#include "ios/manifestdbfilelist.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/filefixture.h"
#include "tests/support/httprecorder.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/plistfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QTemporaryDir>

#include <memory>

namespace tst_modernbackup {

using namespace testsupport;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const QByteArray kPassword = QByteArray("b\xC3\xA4r \xF0\x9F\x90\xBB 2023");

const _BackupFileNode *find(const _BackupFileNode &root, const QString &path)
{
    const _BackupFileNode *node = &root;
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

QString text(const MbdbField &field)
{
    return field ? QString::fromUtf8(*field) : QString();
}

QByteArray uidObject(quint64 value)
{
    QByteArray out(1, char(0x83));
    for (int i = 3; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

// An MBFile archive whose root's Size is the UID sizeUid, and whose
// $objects holds "$null", the root, and object 2 (given).
QByteArray archiveWithSizeUid(quint64 sizeUid, const QByteArray &objectTwo)
{
    return binaryPlist({
        bplistDictionary({3, 4}, {1, 2}),    // 0 top
        bplistArray({5, 6, 7}),              // 1 $objects
        bplistDictionary({8}, {9}),          // 2 $top
        bplistAsciiString("$objects"),       // 3
        bplistAsciiString("$top"),           // 4
        bplistAsciiString("$null"),          // 5
        bplistDictionary({10}, {11}),        // 6 root
        objectTwo,                           // 7
        bplistAsciiString("root"),           // 8
        uidObject(1),                        // 9
        bplistAsciiString("Size"),           // 10
        uidObject(sizeUid),                  // 11
    });
}

enum class Layout { Plain, Encrypted, Encrypted100 };

} // namespace

class TestModernBackup : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString &name) const { return dir->filePath(name); }

    // Built once per kind: the builders write real databases.
    static BackupFixture fixtureFor(Layout layout)
    {
        static const BackupFixture plain = iphone16Backup();
        static const BackupFixture encrypted = iphone16Backup(kPassword);
        return layout == Layout::Plain ? plain : encrypted;
    }

    QString write(const BackupFixture &fx, Layout layout, const ModernBackupOptions &base = {})
    {
        ModernBackupOptions options = base;
        options.encryption = layout == Layout::Plain       ? ModernEncryption::Plain
                             : layout == Layout::Encrypted ? ModernEncryption::WithManifestKey
                                                           : ModernEncryption::WithoutManifestKey;
        return writeModernBackup(fx, path(fx.udid), options);
    }

    static QString scratchOf(const BackupManifest &m)
    {
        return appDataDir().absoluteFilePath("itunes_cache/" + m.cacheId());
    }

    static bool succeeded(int result, const QList<DialogDriver::Seen> &boxes)
    {
        return result == QDialog::Accepted && boxes.isEmpty();
    }

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    // The fixture's first stage, checked against published PBKDF2-HMAC-SHA256
    // vectors, so that the backups it encrypts are what a phone makes.
    void sha256StageMatchesPublishedVectors_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<quint32>("iterations");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("1 iteration") << QByteArray("password") << QByteArray("salt") << 1u
                                     << QByteArray::fromHex("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
        QTest::newRow("4096 iterations") << QByteArray("password") << QByteArray("salt") << 4096u
                                         << QByteArray::fromHex("c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
        QTest::newRow("two blocks, RFC 7914") << QByteArray("passwd") << QByteArray("salt") << 1u
                                              << QByteArray::fromHex("55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                                                                     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
        QTest::newRow("long password and salt, 40 bytes")
            << QByteArray("passwordPASSWORDpassword") << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt") << 4096u
            << QByteArray::fromHex("348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9");
    }
    void sha256StageMatchesPublishedVectors()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(quint32, iterations);
        QFETCH(QByteArray, expected);
        QCOMPARE(pbkdf2HmacSha256(password, salt, iterations, int(expected.size())).toHex(), expected.toHex());
    }

    // Keybags of iOS 10.2 and later: the class keys open only through the
    // SHA-256 stage over DPSL and DPIC; a keybag whose stage is damaged never
    // opens, whatever the password.
    void twoStageKeybag_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<bool>("opens");
        QTest::newRow("right password") << "" << kPassword << true;
        QTest::newRow("wrong password") << "" << QByteArray("b\xC3\xA4r") << false;
        QTest::newRow("DPSL dropped (one stage)") << "drop DPSL" << kPassword << false;
        QTest::newRow("DPSL changed") << "change DPSL" << kPassword << false;
        QTest::newRow("DPIC changed") << "DPIC 8" << kPassword << false;
        QTest::newRow("DPIC zero") << "DPIC 0" << kPassword << false;
        QTest::newRow("DPIC of 2 bytes") << "DPIC short" << kPassword << false;
        QTest::newRow("DPIC missing") << "drop DPIC" << kPassword << false;
    }
    void twoStageKeybag()
    {
        QFETCH(QString, edit);
        QFETCH(QByteArray, typed);
        QFETCH(bool, opens);
        EncryptedBackupKeys keys(kPassword, 3);
        keys.useTwoStageKey(5);
        QList<KeybagRecord> records = keys.keybagRecords();
        for (qsizetype i = records.size() - 1; i >= 0; --i) {
            KeybagRecord &r = records[i];
            if (edit == "drop " + r.tag)
                records.removeAt(i);
            else if (edit == "change DPSL" && r.tag == "DPSL")
                r.value[0] = char(r.value[0] ^ 1);
            else if (edit == "DPIC 8" && r.tag == "DPIC")
                r.value = QByteArray::fromHex("00000008");
            else if (edit == "DPIC 0" && r.tag == "DPIC")
                r.value = QByteArray(4, '\0');
            else if (edit == "DPIC short" && r.tag == "DPIC")
                r.value = QByteArray::fromHex("0005");
        }
        _BackupKeyBag bag = keybag_parse(keybagBytes(records));
        QCOMPARE(keybag_unlock(bag, typed), opens);
        QCOMPARE(keybag_file_key(bag, 3, keys.wrappedFileKey(3, manifestDbKey())),
                 opens ? manifestDbKey() : QByteArray());
    }

    void readsEveryLayout_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::newRow("plain") << Layout::Plain;
        QTest::newRow("encrypted, iOS 10.2 and later") << Layout::Encrypted;
        QTest::newRow("encrypted files, plain list (iOS 10.0)") << Layout::Encrypted100;
    }
    void readsEveryLayout()
    {
        QFETCH(Layout, layout);
        const BackupFixture fx = fixtureFor(layout);
        const QString folder = write(fx, layout);
        const QMap<QString, QByteArray> before = fileTree(folder);

        BackupManifest m(folder);
        m.loadManifestPlist();
        QVERIFY(m.isNewerLayout());
        QCOMPARE(m.displayName, fx.deviceName);
        QCOMPARE(m.info.productVersion, "16.5");
        QCOMPARE(m.info.date, fx.date);
        QCOMPARE(m.info.isEncrypted, layout != Layout::Plain);
        if (layout != Layout::Plain) {
            QVERIFY(!m.unlock("wrong password"));
            QVERIFY(m.unlock(QString::fromUtf8(kPassword)));
        }
        m.loadMbdb();

        const _BackupFileNode *sms = find(m.root, kSmsDb);
        QVERIFY(sms);
        QCOMPARE(sms->fileId, backupFileId(kHome, kSmsDb));
        QCOMPARE(m.dataFilePath(sms), modernDataPath(folder, kHome, kSmsDb));
        QCOMPARE(sms->record.mtime, 1687990000u);
        QCOMPARE(sms->record.mode, quint16(0100644));
        const BackupFixtureEntry &smsEntry = *const_cast<BackupFixture &>(fx).entry(kHome, kSmsDb);
        QCOMPARE(quint64(sms->record.fileLength), smsEntry.record.length);
        QCOMPARE(find(m.root, "Library/SMS")->record.mode & 0xF000, 0x4000);
        // Kind from flags: the empty WAL file is a file, not a folder.
        const _BackupFileNode *wal = find(m.root, "Library/SMS/sms.db-wal");
        QVERIFY(wal);
        QCOMPARE(wal->record.mode & 0xF000, 0x8000);
        QCOMPARE(wal->record.fileLength, 0);
        QVERIFY(find(m.root, "Library/SMS/Attachments/01/IMG_1.JPG"));

        m.extractFile(sms, path("sms.db"));
        QCOMPARE(readFile(path("sms.db")), smsEntry.content);
        QCOMPARE(QFileInfo(path("sms.db")).lastModified().toSecsSinceEpoch(), 1687990000);
        const _BackupFileNode *book = find(m.root, "Library/AddressBook/AddressBook.sqlitedb");
        QVERIFY(book);
        m.extractFile(book, path("book"));
        QCOMPARE(readFile(path("book")), const_cast<BackupFixture &>(fx).entry(kHome, book->record.path.toQString())->content);

        // The backup is only read; a decrypted list does not outlive the read.
        QCOMPARE(fileTree(folder), before);
        QVERIFY(!QFileInfo::exists(scratchOf(m) + "/Manifest.db.plain"));
    }

    // A list in WAL mode is read without SQLite leaving its shared-memory or
    // log files in the backup.
    void aListInWalModeLeavesNothingBeside()
    {
        const QString folder = write(fixtureFor(Layout::Plain), Layout::Plain);
        {
            SqliteFixture m(folder + "/Manifest.db");
            m.exec("PRAGMA journal_mode=WAL;");
        }
        const QMap<QString, QByteArray> before = fileTree(folder);
        QVERIFY(!before.contains("Manifest.db-shm") && !before.contains("Manifest.db-wal"));
        BackupManifest m(folder);
        m.loadManifestPlist();
        m.loadMbdb();
        QVERIFY(find(m.root, kSmsDb));
        QCOMPARE(fileTree(folder), before);
    }

    void lockedListIsRefused()
    {
        const BackupFixture fx = fixtureFor(Layout::Encrypted);
        BackupManifest m(write(fx, Layout::Encrypted));
        m.loadManifestPlist();
        try {
            m.loadMbdb();
            QFAIL("a locked Manifest.db was read");
        } catch (const std::runtime_error &e) {
            const QString error = QString::fromUtf8(e.what());
            QVERIFY2(error.contains(m.folder.absolutePath()) && error.contains("not unlocked"), qPrintable(error));
        }
        QVERIFY(m.root.children.isEmpty());
    }

    void missingManifestFiles_data()
    {
        QTest::addColumn<bool>("manifestPlist");
        QTest::addColumn<QString>("missing");
        QTest::newRow("no Manifest.plist") << false << "Manifest.plist";
        QTest::newRow("no Status.plist") << true << "Status.plist";
    }
    void missingManifestFiles()
    {
        QFETCH(bool, manifestPlist);
        QFETCH(QString, missing);
        ModernBackupOptions options;
        options.manifestPlist = manifestPlist;
        options.statusPlist = false;
        const QString folder = write(fixtureFor(Layout::Plain), Layout::Plain, options);
        BackupManifest m(folder);
        try {
            m.loadManifestPlist();
            QFAIL("a trimmed backup was taken");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()), "Cannot find " + folder + "/" + missing);
        }
    }

    // Damaged file lists: each a clear error naming the backup, never a crash,
    // nothing written into the backup, no plain copy left behind.
    void damagedListsAreRefused_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("errorHas");
        QTest::newRow("truncated Manifest.db") << Layout::Plain << "truncate" << "Manifest.db";
        QTest::newRow("Manifest.db of another program") << Layout::Plain << "foreign" << "not a list of backed-up files";
        QTest::newRow("Manifest.db that is no database") << Layout::Plain << "text" << "Manifest.db";
        QTest::newRow("blob that is no keyed archive") << Layout::Plain << "blob" << "not a keyed archive";
        QTest::newRow("UID outside $objects") << Layout::Plain << "uid outside" << "object 7 of 3";
        QTest::newRow("UIDs in a cycle") << Layout::Plain << "uid cycle" << "cycle";
        QTest::newRow("file id that is not 40 hex digits") << Layout::Plain << "file id" << "not 40 hex digits";
        QTest::newRow("path leading outside") << Layout::Plain << "path" << "leads outside";
        QTest::newRow("absolute path") << Layout::Plain << "absolute" << "leads outside";
        QTest::newRow("domain with a slash") << Layout::Plain << "domain" << "leads outside";
        QTest::newRow("neither flags nor mode") << Layout::Plain << "kind" << "file or a folder";
        QTest::newRow("encrypted list cut inside a block") << Layout::Encrypted << "cut" << "whole AES blocks";
        QTest::newRow("encrypted list cut by a block") << Layout::Encrypted << "cut block" << "does not decrypt";
        QTest::newRow("damaged ManifestKey") << Layout::Encrypted << "manifest key" << "not unlocked";
    }
    void damagedListsAreRefused()
    {
        QFETCH(Layout, layout);
        QFETCH(QString, damage);
        QFETCH(QString, errorHas);
        const BackupFixture fx = fixtureFor(layout);
        ModernBackupOptions options;
        options.damageManifestKey = damage == "manifest key";
        const QString folder = write(fx, layout, options);
        const QString db = folder + "/Manifest.db";
        const QString smsId = backupFileId(kHome, kSmsDb);
        auto update = [&](const QString &sql, const QVariantList &values) {
            SqliteFixture m(db);
            m.run(sql, values);
        };
        if (damage == "truncate") {
            writeFile(db, readFile(db).left(2048 + 100));
        } else if (damage == "foreign") {
            QFile::remove(db);
            SqliteFixture m(db);
            m.exec("CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT); INSERT INTO message VALUES(1, 'hi');");
        } else if (damage == "text") {
            writeFile(db, QByteArray("This is not a database, just a note.\n").repeated(200));
        } else if (damage == "blob") {
            update("UPDATE Files SET file = ? WHERE fileID = ?", {QByteArray("\x00\x01 no plist", 11), smsId});
        } else if (damage == "uid outside") {
            update("UPDATE Files SET file = ? WHERE fileID = ?", {archiveWithSizeUid(7, bplistAsciiString("x")), smsId});
        } else if (damage == "uid cycle") {
            update("UPDATE Files SET file = ? WHERE fileID = ?", {archiveWithSizeUid(2, uidObject(2)), smsId});
        } else if (damage == "file id") {
            update("UPDATE Files SET fileID = ? WHERE fileID = ?", {"../../../../etc/passwd", smsId});
        } else if (damage == "path") {
            update("UPDATE Files SET relativePath = ? WHERE fileID = ?", {"Library/SMS/../../../../evil", smsId});
        } else if (damage == "absolute") {
            update("UPDATE Files SET relativePath = ? WHERE fileID = ?", {"/etc/passwd", smsId});
        } else if (damage == "domain") {
            update("UPDATE Files SET domain = ? WHERE fileID = ?", {"AppDomain-../../x", smsId});
        } else if (damage == "kind") {
            MbFileFields f;
            f.relativePath = kSmsDb;
            f.mode = 0644;
            update("UPDATE Files SET flags = 0, file = ? WHERE fileID = ?", {mbFileArchive(f), smsId});
        } else if (damage == "cut") {
            writeFile(db, readFile(db).chopped(5));
        } else if (damage == "cut block") {
            writeFile(db, readFile(db).chopped(16));
        }
        const QMap<QString, QByteArray> before = fileTree(folder);
        const QMap<QString, QByteArray> dataBefore = fileTree(appDataDir().absolutePath());

        BackupManifest m(folder);
        m.loadManifestPlist();
        if (layout != Layout::Plain)
            QVERIFY(m.unlock(QString::fromUtf8(kPassword)));
        try {
            m.loadMbdb();
            QFAIL("a damaged list was read");
        } catch (const std::runtime_error &e) {
            const QString error = QString::fromUtf8(e.what());
            QVERIFY2(error.contains(folder) && error.contains(errorHas), qPrintable(error));
        }
        QVERIFY(m.root.children.isEmpty());
        QCOMPARE(fileTree(folder), before);
        // Nothing left in the data folder but (at most) the empty cache folder.
        QMap<QString, QByteArray> dataAfter = fileTree(appDataDir().absolutePath());
        for (auto it = dataAfter.begin(); it != dataAfter.end();) {
            if (it.value() == "<dir>" && !dataBefore.contains(it.key()))
                it = dataAfter.erase(it);
            else
                ++it;
        }
        QCOMPARE(dataAfter, dataBefore);
    }

    // A backup that lists its message database without holding its data:
    // a clear error naming the backup, and no cache left behind.
    void missingMessageDataIsAnError()
    {
        const BackupFixture fx = fixtureFor(Layout::Plain);
        const QString folder = write(fx, Layout::Plain);
        QVERIFY(QFile::remove(modernDataPath(folder, kHome, kSmsDb)));
        BackupManifest m(folder);
        m.loadManifestPlist();
        m.loadMbdb();
        ProgressForm form("", nullptr);
        ITunesCacheSMSThread thread(&m, QDir(path("cache")), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        thread.start();
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        thread.wait();
        QStringList boxes;
        for (const DialogDriver::Seen &s : driver.seen())
            if (s.className == "QMessageBox")
                boxes << s.text;
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].contains(folder) && boxes[0].contains("message database"), qPrintable(boxes[0]));
        QVERIFY(!QFileInfo::exists(path("cache/file-relay/var/mobile/Library/SMS")));
    }

    // The cache thread copies the messages and the address book out of each
    // layout; a second run copies nothing again.
    void cacheCopiesEveryLayout_data() { readsEveryLayout_data(); }
    void cacheCopiesEveryLayout()
    {
        QFETCH(Layout, layout);
        const BackupFixture fx = fixtureFor(layout);
        const QString folder = write(fx, layout);
        auto runOnce = [&](const QString &cache) {
            BackupManifest m(folder);
            m.loadManifestPlist();
            if (layout != Layout::Plain)
                m.unlock(QString::fromUtf8(kPassword));
            m.loadMbdb();
            ProgressForm form("", nullptr);
            ITunesCacheSMSThread thread(&m, QDir(cache), &form, nullptr);
            DialogDriver driver;
            driver.thenPress(QMessageBox::Ok);
            thread.start();
            const int result = form.exec();
            thread.wait();
            QList<DialogDriver::Seen> boxes;
            for (const DialogDriver::Seen &s : driver.seen())
                if (s.className == "QMessageBox")
                    boxes.append(s);
            return succeeded(result, boxes);
        };
        const QString cache = path("cache");
        QVERIFY(runOnce(cache));
        const QString library = cache + "/file-relay/var/mobile/Library/";
        QMap<QString, QByteArray> expected;
        for (const BackupFixtureEntry &e : fx.entries) {
            const QString p = text(e.record.path);
            if ((p.startsWith("Library/SMS/") || p.startsWith("Library/AddressBook/")) && (e.record.mode & 0xF000) == 0x8000)
                expected.insert(p.mid(8), e.content);
        }
        QMap<QString, QByteArray> copied = fileTree(library);
        for (auto it = copied.begin(); it != copied.end();)
            it = it.value() == "<dir>" ? copied.erase(it) : std::next(it);
        QCOMPARE(copied.keys(), expected.keys());
        QCOMPARE(copied, expected);

        // Of the copy's length: a copy of another length would be made again.
        const QByteArray marker = QByteArray("marker").leftJustified(QFileInfo(library + "SMS/sms.db").size(), '#');
        writeFile(library + "SMS/sms.db", marker);
        QVERIFY(runOnce(cache));
        QCOMPARE(readFile(library + "SMS/sms.db"), marker);
    }
};

QP_TEST_MAIN(TestModernBackup)

} // namespace tst_modernbackup

#include "tst_modernbackup.moc"
