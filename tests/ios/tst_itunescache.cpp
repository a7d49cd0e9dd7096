// The copy of a backup's message and address-book files into a cache folder,
// run under a real progress dialog as the main window runs it: what lands
// where, which runs copy again, what a cancel or a failure takes away, and
// that no name from a crafted backup leads a copy out of the cache.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/itunescachesmsthread.h"
#include "tests/support/backupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/filefixture.h"
#include "tests/support/httprecorder.h"
#include "tests/support/permissionsapply.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <memory>

namespace tst_itunescache {

using namespace testsupport;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kMedia = QStringLiteral("MediaDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const QString kPhoto = QStringLiteral("ab/11/8E1F7C2A-9D3B-4C55-A1E2-0F6B3D2C1A90/IMG_0001.JPG");
const QByteArray kPassword = "open sesame";

QString text(const MbdbField &field)
{
    return field ? QString::fromUtf8(*field) : QString();
}

bool isCopied(const BackupFixtureEntry &e)
{
    if (text(e.record.domain).startsWith("AppDomain-"))
        return false;
    const QString path = text(e.record.path);
    return path == "Library/SMS" || path == "Library/AddressBook" || path.startsWith("Library/SMS/")
        || path.startsWith("Library/AddressBook/");
}

// What a run copies from backup: paths below the cache's Library folder.
QMap<QString, QByteArray> expectedCopies(const BackupFixture &backup)
{
    QMap<QString, QByteArray> out;
    for (const BackupFixtureEntry &e : backup.entries) {
        if (!isCopied(e))
            continue;
        const bool folder = (e.record.mode & 0xF000) == 0x4000;
        out.insert(text(e.record.path).mid(8), folder ? QByteArray("<dir>") : e.content);
    }
    return out;
}

// The rows "manifest.db" holds after a run that copied every file of backup.
QList<QVariantList> expectedRows(const BackupFixture &backup)
{
    QList<QVariantList> rows;
    for (const BackupFixtureEntry &e : backup.entries) {
        if (isCopied(e) && (e.record.mode & 0xF000) != 0x4000)
            rows.append({backupFileId(text(e.record.domain), text(e.record.path)), qlonglong(qint32(e.record.mtime))});
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const QVariantList &a, const QVariantList &b) { return a[0].toString() < b[0].toString(); });
    return rows;
}

// A phone's backup as users have them: a later phone's message database,
// attachments with emoji in their names, an address book with pictures, and
// files elsewhere that the cache leaves alone.
BackupFixture typicalBackup()
{
    BackupFixture backup;
    MsgFixtureContent content = generateMsgContent(6, 80, 9, 5);
    content.messages[0].text = QString::fromUtf8("Gr\u00fc\u00dfe \xF0\x9F\x98\x80");
    backup.addMessageDb(content);
    backup.addAttachment(kPhoto, QByteArray(30000, '\xFF'));
    backup.addAttachment(QString::fromUtf8("c4/04/5B0E/Zo\u00eb \xF0\x9F\x98\x80 voice.amr"), "#!AMR\n");
    backup.addAddressBook({{1, "Ann", "", "Smith", {"+49 170 1234567"}, {"ann@example.com"}},
                           {2, QString::fromUtf8("Zo\u00eb \xF0\x9F\x98\x80"), "", "", {"98765 43210"}, {}}},
                          {{1, QByteArray("\x89PNG\r\n\x1a\n", 8)}});
    backup.addFile(kHome, "Library/Notes/notes.sqlite", "notes");
    backup.addFile(kHome, "Library/Preferences/com.apple.MobileSMS.plist", "prefs");
    backup.addFile("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.JPG", "camera");
    backup.addFolder("AppDomain-com.example.chat", "");
    backup.addFile("AppDomain-com.example.chat", "Library/SMS/not-messages.db", "app");
    return backup;
}

struct Run
{
    int result = -1;
    QList<DialogDriver::Seen> boxes;
    QString status;
    QString progress;
    QString cacheDir;
};

} // namespace

class TestITunesCache : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString &name) const { return dir->filePath(name); }

    // The backup written and prepared as the main window prepares it.
    std::unique_ptr<BackupManifest> open(const BackupFixture &backup, const QString &name = "backup")
    {
        auto manifest = std::make_unique<BackupManifest>(backup.write(path(name)));
        manifest->loadManifestPlist();
        if (backup.keys && !manifest->unlock(QString::fromUtf8(backup.keys->password)))
            qWarning("the fixture's password does not open its backup");
        manifest->loadMbdb();
        return manifest;
    }

    // One run of the thread under its dialog; an error box is answered.
    // cacheDir empty: the backup's own cache in the data folder.
    Run runCache(BackupManifest &manifest, const QString &cacheDir = QString())
    {
        ProgressForm form("", nullptr);
        std::unique_ptr<ITunesCacheSMSThread> thread(
            cacheDir.isEmpty() ? new ITunesCacheSMSThread(&manifest, &form, nullptr)
                               : new ITunesCacheSMSThread(&manifest, QDir(cacheDir), &form, nullptr));
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        thread->start();
        Run run;
        run.result = form.exec();
        thread->wait();
        for (const DialogDriver::Seen &s : driver.seen())
            if (s.className == "QMessageBox")
                run.boxes.append(s);
        run.status = form.widgets()->lbStatus->text();
        run.progress = form.widgets()->lbProgress->text();
        run.cacheDir = thread->cacheDir().absolutePath();
        return run;
    }

    static QString library(const Run &run) { return run.cacheDir + "/file-relay/var/mobile/Library"; }
    static QString manifestDb(const Run &run) { return run.cacheDir + "/manifest.db"; }

    static QList<QVariantList> rows(const Run &run)
    {
        return queryRows(manifestDb(run), "SELECT file_name, last_date FROM manifest ORDER BY file_name");
    }

    // Writes a marker into every copied file, so a later copy shows.
    static void markCopies(const Run &run)
    {
        QDirIterator it(library(run), QDir::Files, QDirIterator::Subdirectories);
        // Of the copy's length: a copy of another length is made again.
        while (it.hasNext()) {
            const QString file = it.next();
            writeFile(file, marker(QFileInfo(file).size()));
        }
    }
    static QByteArray marker(qint64 size) { return QByteArray("marker").leftJustified(size, '#', true); }

    static QStringList markedCopies(const Run &run)
    {
        QStringList marked;
        const QMap<QString, QByteArray> all = fileTree(library(run));
        for (auto it = all.begin(); it != all.end(); ++it)
            if (!it.value().isEmpty() && it.value() == marker(it.value().size()))
                marked << it.key();
        return marked;
    }

    static bool succeeded(const Run &run)
    {
        if (run.result == 1 && run.boxes.isEmpty())
            return true;
        qWarning("result %d, %d boxes: %s", run.result, int(run.boxes.size()),
                 run.boxes.isEmpty() ? "" : qPrintable(run.boxes[0].text));
        return false;
    }

    static bool failedWith(const Run &run, const QString &part)
    {
        if (run.result == 0 && run.boxes.size() == 1 && run.boxes[0].icon == int(QMessageBox::Critical)
            && run.boxes[0].text.contains(part))
            return true;
        qWarning("result %d, %d boxes: %s", run.result, int(run.boxes.size()),
                 run.boxes.isEmpty() ? "" : qPrintable(run.boxes[0].text));
        return false;
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

    void firstRunCopiesEveryFile_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("deviceCache");
        QTest::newRow("plain backup, its own cache") << false << false;
        QTest::newRow("encrypted backup, its own cache") << true << false;
        QTest::newRow("plain backup, a device's cache") << false << true;
    }
    void firstRunCopiesEveryFile()
    {
        QFETCH(bool, encrypted);
        QFETCH(bool, deviceCache);
        BackupFixture backup = typicalBackup();
        if (encrypted)
            backup.keys.emplace(kPassword);
        backup.entry(kHome, kSmsDb)->record.mtime = 1404299999;
        const auto manifest = open(backup);
        const Run run = runCache(*manifest, deviceCache ? path("device cache") : QString());
        QVERIFY(succeeded(run));
        QCOMPARE(run.cacheDir, deviceCache ? path("device cache")
                                           : appDataDir().absoluteFilePath("itunes_cache/" + manifest->cacheId()));
        QCOMPARE(run.status, "Loading iTunes backup...");
        QCOMPARE(run.progress, "Saving AddressBookImages.sqlitedb...");

        QCOMPARE(fileTree(library(run)).keys(), expectedCopies(backup).keys());
        QCOMPARE(fileTree(library(run)), expectedCopies(backup));
        QCOMPARE(rows(run), expectedRows(backup));
        QCOMPARE(QFileInfo(library(run) + "/SMS/sms.db").lastModified().toSecsSinceEpoch(), 1404299999);
        // Nothing but the copies and their dates.
        QCOMPARE(QDir(run.cacheDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"file-relay", "manifest.db"}));
    }

    // Only a file whose record time changed, or whose copy has gone, is
    // copied again.
    void laterRunsCopyOnlyWhatChanged()
    {
        BackupFixture backup = typicalBackup();
        const auto first = open(backup);
        const Run run = runCache(*first);
        QVERIFY(succeeded(run));

        markCopies(run);
        const QStringList all = markedCopies(run);
        QVERIFY(succeeded(runCache(*open(backup))));
        QCOMPARE(markedCopies(run), all);

        BackupFixtureEntry *sms = backup.entry(kHome, kSmsDb);
        sms->content += "newer";
        sms->record.length = quint64(sms->content.size());
        sms->record.mtime += 60;
        QVERIFY(QFile::remove(library(run) + "/SMS/Attachments/" + kPhoto));
        const Run second = runCache(*open(backup));
        QVERIFY(succeeded(second));
        QStringList expected = all;
        expected.removeAll("SMS/sms.db");
        expected.removeAll("SMS/Attachments/" + kPhoto);
        QCOMPARE(markedCopies(run), expected);
        QCOMPARE(readFile(library(run) + "/SMS/sms.db"), sms->content);
        QCOMPARE(fileTree(library(run)).value("SMS/Attachments/" + kPhoto), QByteArray(30000, '\xFF'));
        QCOMPARE(rows(run), expectedRows(backup));

        markCopies(run);
        QVERIFY(succeeded(runCache(*open(backup))));
        QCOMPARE(markedCopies(run), all);
    }

    // A time of 0 is a time: the file is copied once, then skipped.
    void zeroTimeIsCopiedOnce()
    {
        BackupFixture backup;
        backup.addMessageDb(generateMsgContent(2, 6, 3)).record.mtime = 0;
        const Run run = runCache(*open(backup));
        QVERIFY(succeeded(run));
        QCOMPARE(readFile(library(run) + "/SMS/sms.db"), backup.entry(kHome, kSmsDb)->content);
        QCOMPARE(rows(run), (QList<QVariantList>{{backupFileId(kHome, kSmsDb), 0LL}}));
        markCopies(run);
        QVERIFY(succeeded(runCache(*open(backup))));
        QCOMPARE(markedCopies(run), QStringList{"SMS/sms.db"});
    }

    // An empty regular file stays a file; only a record without a mode falls
    // back to the length rule.
    void zeroLengthFiles_data()
    {
        QTest::addColumn<quint16>("mode");
        QTest::addColumn<bool>("isFile");
        QTest::newRow("empty regular file") << quint16(0100644) << true;
        QTest::newRow("empty regular file, read-only") << quint16(0100400) << true;
        QTest::newRow("folder") << quint16(040755) << false;
        QTest::newRow("no mode") << quint16(0) << false;
    }
    void zeroLengthFiles()
    {
        QFETCH(quint16, mode);
        QFETCH(bool, isFile);
        BackupFixture backup;
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        BackupFixtureEntry &e = backup.addFile(kHome, "Library/SMS/sms.db-shm", QByteArray());
        e.record.mode = mode;
        e.hasDataFile = isFile;
        const Run run = runCache(*open(backup));
        QVERIFY(succeeded(run));
        const QFileInfo copy(library(run) + "/SMS/sms.db-shm");
        QCOMPARE(copy.isFile(), isFile);
        QCOMPARE(copy.isDir(), !isFile);
        if (isFile)
            QCOMPARE(copy.size(), 0);
        QCOMPARE(int(rows(run).size()), isFile ? 2 : 1);
    }

    void partsOfTheBackup_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no address book") << "no address book";
        QTest::newRow("a listed file missing from the folder") << "missing data file";
        QTest::newRow("names with characters other systems refuse") << "odd names";
        QTest::newRow("folders in another case") << "other case";
        QTest::newRow("an app's Library without the app's own record") << "app without root";
    }
    void partsOfTheBackup()
    {
        QFETCH(QString, kind);
        BackupFixture backup;
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        QMap<QString, QByteArray> expected;
        if (kind == "missing data file") {
            backup.addAttachment("ab/12/IMG_0002.JPG", "gone").hasDataFile = false;
            expected = expectedCopies(backup);
            expected.remove("SMS/Attachments/ab/12/IMG_0002.JPG");
        } else if (kind == "odd names") {
            // A file name loses the characters; a folder name is kept.
            backup.addAttachment("ab/x:y/a:b?<c>.jpg", "jpeg");
            expected = expectedCopies(backup);
            expected.remove("SMS/Attachments/ab/x:y/a:b?<c>.jpg");
            expected.insert("SMS/Attachments/ab/x:y/abc.jpg", "jpeg");
        } else if (kind == "other case") {
            backup = BackupFixture();
            backup.addFile(kHome, "library/sms/sms.db", "db");
            backup.addFile(kHome, "library/addressbook/AddressBook.sqlitedb", "book");
            // Copied where the readers look, whatever the case in the backup.
            expected = {{"SMS", "<dir>"}, {"SMS/sms.db", "db"}, {"AddressBook", "<dir>"},
                        {"AddressBook/AddressBook.sqlitedb", "book"}};
        } else if (kind == "app without root") {
            // Its Library hangs under the root as well, ahead of the phone's.
            backup = BackupFixture();
            backup.addFile("AppDomain-com.example.chat", "Library/SMS/sms.db", "not the phone's");
            backup.addMessageDb(generateMsgContent(2, 6, 3));
            expected = expectedCopies(backup);
            expected.insert("SMS/sms.db", backup.entry(kHome, kSmsDb)->content);
        } else {
            expected = expectedCopies(backup);
        }
        const Run run = runCache(*open(backup));
        QVERIFY(succeeded(run));
        QCOMPARE(fileTree(library(run)), expected);
        QCOMPARE(int(rows(run).size()), int(std::count_if(expected.begin(), expected.end(),
                                                          [](const QByteArray &v) { return v != "<dir>"; })));
    }

    void noMessageFolderIsAnError_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::newRow("no Library/SMS") << QStringList{"Library/AddressBook/AddressBook.sqlitedb"};
        QTest::newRow("sms.db without its folder records") << QStringList{};
        QTest::newRow("empty backup") << QStringList{};
    }
    void noMessageFolderIsAnError()
    {
        QFETCH(QStringList, paths);
        BackupFixture backup;
        for (const QString &p : paths)
            backup.addFile(kHome, p, "x");
        if (QString(QTest::currentDataTag()).startsWith("sms.db")) {
            // Without "Library/SMS" the database hangs straight under the root.
            backup.addFile(kHome, kSmsDb, "db");
            backup.entries.removeIf([](const BackupFixtureEntry &e) { return (e.record.mode & 0xF000) == 0x4000; });
        }
        const QString cache = path("cache");
        writeFile(cache + "/recycle.db", "recovered");
        const Run run = runCache(*open(backup), cache);
        QVERIFY(failedWith(run, "Found no message database file in this iTunes backup."));
        QCOMPARE(fileTree(cache), (QMap<QString, QByteArray>{{"recycle.db", "recovered"}}));
    }

    // A cancel takes away this copy and its dates, and nothing else the
    // cache folder holds; the next run starts afresh.
    void cancelRemovesTheCopy()
    {
        BackupFixture backup = typicalBackup();
        const QString cache = path("device cache");
        const Run run = runCache(*open(backup), cache);
        QVERIFY(succeeded(run));
        writeFile(cache + "/recycle.db", "recovered messages");
        writeFile(cache + "/ct-phone.db", "contacts");
        writeFile(cache + "/file-relay/var/mobile/Library/Preferences/x.plist", "relayed");
        // A file manager's hidden file in the copy goes with it.
        writeFile(cache + "/file-relay/var/mobile/Library/SMS/.directory", "[Desktop Entry]");
        {
            const auto manifest = open(backup);
            ProgressForm form("", nullptr);
            ITunesCacheSMSThread thread(manifest.get(), QDir(cache), &form, nullptr);
            form.failed = true; // as the dialog leaves it after Cancel
            thread.start();
            QVERIFY(thread.wait(60000));
            QVERIFY(!QFile::exists(cache + "/manifest.db"));
        }
        QVERIFY(!QFile::exists(cache + "/manifest.db")); // not brought back by the thread's end
        QVERIFY(!QFileInfo::exists(cache + "/file-relay/var/mobile/Library/SMS"));
        QCOMPARE(fileTree(cache), (QMap<QString, QByteArray>{{"recycle.db", "recovered messages"},
                                                         {"ct-phone.db", "contacts"},
                                                         {"file-relay", "<dir>"},
                                                         {"file-relay/var", "<dir>"},
                                                         {"file-relay/var/mobile", "<dir>"},
                                                         {"file-relay/var/mobile/Library", "<dir>"},
                                                         {"file-relay/var/mobile/Library/Preferences", "<dir>"},
                                                         {"file-relay/var/mobile/Library/Preferences/x.plist", "relayed"}}));
        const Run again = runCache(*open(backup), cache);
        QVERIFY(succeeded(again));
        QCOMPARE(rows(again), expectedRows(backup));
    }

    // A copy that fails takes away what the run copied and its dates: the
    // error box names the cause.
    void failedCopyRemovesTheCopy_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("error");
        const QString photoId = backupFileId(kMedia, "Library/SMS/Attachments/" + kPhoto);
        QTest::newRow("encrypted, not unlocked") << "not unlocked" << backupFileId(kHome, kSmsDb) + ": no key opens";
        QTest::newRow("encrypted, partial block") << "partial block"
                                                  << photoId + ", POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.";
        QTest::newRow("encrypted, class locked") << "locked class" << photoId + ": no key opens";
        QTest::newRow("data file unreadable") << "folder as data file" << "";
    }
    void failedCopyRemovesTheCopy()
    {
        QFETCH(QString, damage);
        QFETCH(QString, error);
        BackupFixture backup = typicalBackup();
        backup.keys.emplace(kPassword);
        BackupFixtureEntry *photo = backup.entry(kMedia, "Library/SMS/Attachments/" + kPhoto);
        if (damage == "partial block")
            photo->storedData = backup.storedBytes(*photo).chopped(5);
        else if (damage == "locked class")
            photo->record.protectionClass = 2; // wrapped under the phone's key below
        else if (damage == "folder as data file")
            photo->hasDataFile = false;
        if (damage == "locked class")
            backup.keys->classes[1].wrap = EncryptedBackupKeys::kWrapDevice;
        const QString folder = backup.write(path("backup"));
        if (damage == "folder as data file")
            QVERIFY(QDir().mkpath(QDir(folder).absoluteFilePath(backupFileId(kMedia, "Library/SMS/Attachments/" + kPhoto))));
        BackupManifest manifest(folder);
        manifest.loadManifestPlist();
        if (damage != "not unlocked")
            QVERIFY(manifest.unlock(QString::fromUtf8(kPassword)));
        manifest.loadMbdb();

        const QString cache = path("cache");
        writeFile(cache + "/recycle.db", "recovered");
        const Run run = runCache(manifest, cache);
        QVERIFY(failedWith(run, error));
        QCOMPARE(fileTree(cache).keys(), (QStringList{"file-relay", "file-relay/var", "file-relay/var/mobile",
                                                  "file-relay/var/mobile/Library", "recycle.db"}));
    }

    // A failed copy whose remains cannot go says so beside the cause.
    void failedCopyNamesWhatStays()
    {
        BackupFixture backup = typicalBackup();
        BackupFixtureEntry *photo = backup.entry(kMedia, "Library/SMS/Attachments/" + kPhoto);
        photo->hasDataFile = false;
        const QString folder = backup.write(path("backup"));
        QVERIFY(QDir().mkpath(QDir(folder).absoluteFilePath(backupFileId(kMedia, "Library/SMS/Attachments/" + kPhoto))));
        BackupManifest manifest(folder);
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        const QString cache = path("cache");
        const QString locked = cache + "/file-relay/var/mobile/Library/SMS/locked";
        writeFile(locked + "/.keep", "");
        setFolderWritable(QFile::encodeName(locked).constData(), false);
        Run run;
        {
            PermissionsApply permissions;
            run = runCache(manifest, cache);
        }
        setFolderWritable(QFile::encodeName(locked).constData(), true);
        QVERIFY(failedWith(run, "The unfinished copy in the cache cannot be removed: " + locked + "/.keep stays."));
        QVERIFY(QFileInfo::exists(locked + "/.keep"));
        QVERIFY(!QFileInfo::exists(cache + "/file-relay/var/mobile/Library/SMS/sms.db"));
    }

    // Data files that are not what their record says: each fails within
    // seconds, the backup stays as it was, and no copy of the message
    // database (neither the bad one nor an older good one) is left to be
    // read as the backup's.
    void brokenDataFilesFailQuickly_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("error");
        const QString smsId = backupFileId(kHome, kSmsDb);
        QTest::newRow("a FIFO") << "fifo" << "is not a regular file";
        QTest::newRow("a link to /dev/zero") << "zero" << "is not a regular file";
        QTest::newRow("cut short") << "short" << smsId + ": the backup's file holds 4096 bytes, but its record says";
        QTest::newRow("the message database missing") << "missing" << smsId + " is missing";
        QTest::newRow("Manifest.mbdb a FIFO") << "manifest fifo" << "Manifest.mbdb is not a regular file";
        QTest::newRow("Manifest.mbdb a link to /dev/zero") << "manifest zero" << "Manifest.mbdb is not a regular file";
    }
    void brokenDataFilesFailQuickly()
    {
        QFETCH(QString, damage);
        QFETCH(QString, error);
        const BackupFixture backup = typicalBackup();
        const QString cache = path("cache");
        QVERIFY(succeeded(runCache(*open(backup), cache)));

        const QString folder = path("backup");
        const QString target = damage.startsWith("manifest") ? folder + "/Manifest.mbdb"
                                                             : folder + "/" + backupFileId(kHome, kSmsDb);
        const QByteArray whole = readFile(target);
        QVERIFY(QFile::remove(target));
        if (damage.endsWith("fifo"))
            QCOMPARE(mkfifo(QFile::encodeName(target).constData(), 0600), 0);
        else if (damage.endsWith("zero"))
            QVERIFY(QFile::link("/dev/zero", target));
        else if (damage == "short")
            writeFile(target, whole.left(4096));
        // The earlier copy matches its record and is kept; a first copy of
        // the short file must fail.
        if (damage == "short")
            QVERIFY(QDir(cache).removeRecursively());
        const QMap<QString, QByteArray> before = fileTree(folder);

        QElapsedTimer clock;
        clock.start();
        BackupManifest manifest(folder);
        manifest.loadManifestPlist();
        if (damage.startsWith("manifest")) {
            try {
                manifest.loadMbdb();
                QFAIL("the manifest was read");
            } catch (const std::runtime_error &e) {
                QVERIFY2(QString::fromUtf8(e.what()).contains(error), e.what());
            }
        } else {
            manifest.loadMbdb();
            QVERIFY(failedWith(runCache(manifest, cache), error));
            QVERIFY(!QFileInfo::exists(cache + "/file-relay/var/mobile/Library/SMS/sms.db"));
        }
        QVERIFY2(clock.elapsed() < 10000, "the broken file held the reader up");
        QCOMPARE(fileTree(folder), before);
    }

    // Names from a crafted backup never lead a copy out of the cache folder.
    void unsafeNamesAreRefused_data()
    {
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("shown");
        QStringList up;
        QString climb = "Library/SMS";
        for (int i = 0; i < 7; ++i)
            up << (climb += "/..");
        QTest::newRow("folders named ..") << up << climb + "/escape.txt" << "Library/SMS/..";
        QTest::newRow("a folder named .") << QStringList{"Library/SMS/."} << "Library/SMS/./escape.txt"
                                          << "Library/SMS/.";
        QTest::newRow("a file named ..") << QStringList{} << "Library/SMS/.." << "Library/SMS/..";
        QTest::newRow("a file named .") << QStringList{} << "Library/SMS/." << "Library/SMS/.";
        QTest::newRow("a file name made of refused characters") << QStringList{} << "Library/SMS/???"
                                                                << "Library/SMS/???";
        QTest::newRow("a file name with a line break") << QStringList{} << "Library/SMS/a\nb" << "Library/SMS/a\nb";
        QTest::newRow("a link in the cache") << QStringList{} << "Library/SMS/escape.txt" << "Library/SMS";
    }
    void unsafeNamesAreRefused()
    {
        QFETCH(QStringList, folders);
        QFETCH(QString, file);
        QFETCH(QString, shown);
        BackupFixture backup;
        backup.addMessageDb(generateMsgContent(2, 6, 3));
        for (const QString &f : folders)
            backup.addFolder(kHome, f);
        backup.entries.append({mbdbFile(kHome, file, "escaped"), "escaped", std::nullopt, true});
        const QString cache = path("a/b/c/d/cache");
        const QString outside = path("outside");
        QVERIFY(QDir().mkpath(outside));
        if (QString(QTest::currentDataTag()) == "a link in the cache") {
            QVERIFY(QDir().mkpath(cache + "/file-relay/var/mobile/Library"));
            QVERIFY(QFile::link(outside, cache + "/file-relay/var/mobile/Library/SMS"));
        }
        const Run run = runCache(*open(backup), cache);
        QVERIFY(failedWith(run, QString("The backup lists \"%1\", whose name cannot be copied").arg(shown)));
        QStringList escaped;
        QDirIterator it(dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            if (readFile(p) == "escaped" && !p.startsWith(path("backup")))
                escaped << p;
        }
        QCOMPARE(escaped, QStringList());
        QVERIFY(!QFile::exists(cache + "/manifest.db"));
    }
};

QP_TEST_MAIN(TestITunesCache)

} // namespace tst_itunescache

#include "tst_itunescache.moc"
