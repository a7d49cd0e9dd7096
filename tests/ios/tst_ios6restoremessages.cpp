// Writing messages into an iTunes backup: the merged database keeps every
// message of the phone and adds each new one once, in time order, with its
// chat, handles and attachment files; the backup's database and Manifest.mbdb
// change together or not at all; encrypted backups are refused.
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "ios/backupleftovers.h"
#include "ios/backupmanifest.h"
#include "ios/ios6restoremessagesthread.h"
#include "ios/itunescachesmsthread.h"
#include "ios/mbdb.h"
#include "store/ios6messagedb.h"
#include "tests/support/filefixture.h"
#include "tests/support/killedmerge.h"
#include "tests/support/backupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTemporaryDir>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tst_ios6restoremessages {

using namespace testsupport;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kMedia = QStringLiteral("MediaDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const QString kPhotoPath = QStringLiteral("Library/SMS/Attachments/ab/12/IMG_0001.JPG");
const int kBaseDate = 600000000; // the fixture's first message date, minus 37 s
// The steps of a merge that change files, in order, the renames of the swap
// among them.
const char *const kMergeSteps[] = {"merge",         "database",        "attachments",   "manifest",
                                   "check",         "swap database",   "swap database in",
                                   "swap manifest", "swap manifest in", "swap old journal", "swap done"};

struct Run
{
    int result = -1;
    QStringList boxes;
    int restored = -1;
    int skipped = -1;
    QString text; // the success box's text the window shows
};

} // namespace

class TestIOS6RestoreMessages : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    // The phone's backup and its cached database.
    BackupFixture backup;
    MsgFixtureContent content;
    std::unique_ptr<MsgStoreBuilder> builder;
    QList<_MsgMessage *> fresh;

    QString path(const QString &name) const { return dir->filePath(name); }
    QString backupDir() const { return path("backup"); }
    QString cacheDir() const { return path("cache"); }
    QString smsFile() const { return backupDir() + "/" + backupFileId(kHome, kSmsDb); }

    void writeBackup(MsgDbLayout layout = MsgDbLayout::LaterPhone)
    {
        backup.write(backupDir());
        writeMsgDb(cacheDir(), layout, content);
    }

    // The message store of the backup's database after a run.
    QHash<QString, QString> guidsByText() const
    {
        QHash<QString, QString> guids;
        for (const QVariantList &row : queryRows(smsFile(), "select text, guid from message"))
            guids.insert(row[0].toString(), row[1].toString());
        return guids;
    }

    // New messages as a store holds them: far from the phone's rowids, so
    // their dates place them; an SMS conversation, an iMessage group, a photo
    // under Library/, an attachment outside it, and one message the phone
    // has already.
    void makeMessages()
    {
        builder.reset(new MsgStoreBuilder);
        _MsgHandle *anna = builder->handle("+4915112345678");
        _MsgHandle *zoe = builder->handle("zoe@example.com", "iMessage");
        _MsgHandle *raj = builder->handle("raj@example.in", "iMessage");
        _MsgChat *sms = builder->chat({anna});
        _MsgChat *group = builder->chat({zoe, raj}, "iMessage");
        builder->message(sms, anna, QString::fromUtf8("Neue Nachricht \xF0\x9F\x98\x80"),
                                           kBaseDate + 5 * 37 + 10);
        _MsgMessage *m2 = builder->message(sms, nullptr, QString(QChar(0xFFFC)), kBaseDate + 12 * 37 + 3);
        writeFile(path("photo.jpg"), QByteArray(5000, '\xD8'));
        builder->attachment(m2, "~/" + kPhotoPath, path("photo.jpg"));
        builder->message(group, zoe, "group hello", kBaseDate + 20 * 37 + 1);
        _MsgMessage *m4 = builder->message(group, raj, "outside", kBaseDate + 40 * 37);
        builder->attachment(m4, "/tmp/elsewhere/file.bin", path("photo.jpg"));
        // The phone's own fourth message (sent by me), as another source
        // delivers it again.
        const MsgFixtureMessage &known = content.messages[3];
        _MsgMessage *m5 = builder->message(sms, nullptr, known.text, known.date);
        m5->guid = known.guid;
        fresh = builder->messages();
        qint64 src = 100000;
        for (_MsgMessage *m : fresh)
            m->srcRowid = src += 50;
    }

    Run runMerge(const QString &mcc = QString())
    {
        IOS6MessageDb target(QDir(cacheDir()), mcc, false);
        ProgressForm form("", nullptr);
        IOS6RestoreMessagesThread thread(mcc, &fresh, &target, QDir(backupDir()), &form);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        thread.start();
        Run run;
        run.result = form.exec();
        thread.wait();
        for (const DialogDriver::Seen &s : driver.seen())
            if (s.className == "QMessageBox")
                run.boxes << s.text;
        run.restored = thread.restoredCount();
        run.skipped = thread.skippedCount();
        run.text = thread.successText();
        return run;
    }

    static bool succeeded(const Run &run)
    {
        if (run.result == 1 && run.boxes.isEmpty())
            return true;
        qWarning("result %d: %s", run.result, qPrintable(run.boxes.join(" | ")));
        return false;
    }

    // The phone's journal files of an earlier state: a merge sets them aside.
    void addOldJournals()
    {
        backup.addFile(kHome, "Library/SMS/sms.db-wal", "stale journal");
        backup.addFile(kHome, "Library/SMS/sms.db-shm", "stale index");
    }

    // Work copies left in the cache folder.
    QStringList workCopies() const
    {
        return QDir(cacheDir() + "/file-relay/var/mobile/Library/SMS").entryList({"sms.db[0-9]*"}, QDir::Files);
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
        backup = BackupFixture();
        content = generateMsgContent(4, 30, 5, 7);
        content.messages[0].text = QString::fromUtf8("Gr\u00fc\u00dfe \xF0\x9F\x98\x80");
        backup.addMessageDb(content);
        backup.addAttachment("ab/07/IMG_0007.JPG", "old photo");
        makeMessages();
        IOS6RestoreMessagesThread::setStepHook({});
    }
    void cleanup() { IOS6RestoreMessagesThread::setStepHook({}); }

    void theMergeKeepsEveryMessageAndAddsEachOnce()
    {
        writeBackup();
        const QByteArray oldSms = readFile(smsFile());
        const Run run = runMerge();
        QVERIFY(succeeded(run));
        // Five handed in, one of them the phone's own: four written.
        QCOMPARE(run.restored, 4);
        QCOMPARE(run.skipped, 0);
        QCOMPARE(run.text, "Successfully recovered 4 SMS to iPhone.");

        // The phone's messages under their own rowids, the new ones after
        // them in time order, the duplicate written once.
        QStringList order;
        for (const MsgFixtureMessage &m : content.messages)
            order << m.guid;
        QList<QPair<int, QString>> added;
        for (_MsgMessage *m : fresh.mid(0, 4))
            added.append({m->date, m->guid});
        std::stable_sort(added.begin(), added.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &e : added)
            order << e.second;
        QStringList written;
        for (const QVariantList &row : queryRows(smsFile(), "select guid from message order by rowid"))
            written << row[0].toString();
        QCOMPARE(written, order);
        for (const MsgFixtureMessage &m : content.messages)
            QCOMPARE(queryValue(smsFile(), QString("select guid from message where rowid=%1").arg(m.rowid)).toString(),
                     m.guid);
        QCOMPARE(queryValue(smsFile(), "select count(*) from chat_message_join").toInt(), order.size());
        QCOMPARE(queryValue(smsFile(), "select count(*) from chat where properties is not null").toInt(), 0);
        // The phone's own attachments and both new ones are joined.
        QCOMPARE(queryValue(smsFile(), "select count(*) from message_attachment_join").toInt(),
                 int(content.attachments.size()) + 2);
        QCOMPARE(queryValue(smsFile(), "select count(*) from chat where guid='iMessage;+;chat2'").toInt(), 1);
        QCOMPARE(queryValue(smsFile(), "select count(*) from handle where id='zoe@example.com'").toInt(), 1);
        QCOMPARE(queryValue(smsFile(), "select text from message where guid='" + content.messages[0].guid + "'")
                     .toString(),
                 content.messages[0].text);

        // The backup: the photo under its MediaDomain id with its folders
        // listed, the database's record renewed, the old files kept aside.
        const QString photo = backupDir() + "/" + backupFileId(kMedia, kPhotoPath);
        QCOMPARE(readFile(photo), QByteArray(5000, '\xD8'));
        const QHash<QString, _MbdbRecord> records = mbdb_read(backupDir() + "/Manifest.mbdb");
        for (const QString &p : {kPhotoPath, QString("Library/SMS/Attachments/ab/12")})
            QVERIFY2(records.contains(mbdb_file_id(kMedia, p)), qPrintable(p));
        const _MbdbRecord sms = records.value(backupFileId(kHome, kSmsDb));
        QCOMPARE(sms.path.toQString(), kSmsDb);
        QCOMPARE(sms.fileLength, QFileInfo(smsFile()).size());
        QCOMPARE(sms.dataHash.bytes, QCryptographicHash::hash(readFile(smsFile()), QCryptographicHash::Sha1));
        QVERIFY(!records.contains(mbdb_file_id(kMedia, "tmp/elsewhere/file.bin")));
        const QStringList saved = QDir(backupDir()).entryList({"Manifest.mbdb-*", backupFileId(kHome, kSmsDb) + "-*"});
        QCOMPARE(saved.size(), 2);
        for (const QString &name : saved)
            if (!name.startsWith("Manifest"))
                QCOMPARE(readFile(backupDir() + "/" + name), oldSms);
        QCOMPARE(workCopies(), QStringList());
    }

    void aSecondMergeOfTheSameMessagesAddsNothing()
    {
        writeBackup();
        QVERIFY(succeeded(runMerge()));
        const int count = queryValue(smsFile(), "select count(*) from message").toInt();
        // The backup's new database, cached again as the next transfer would.
        QVERIFY(QFile::remove(messageDbPath(cacheDir())));
        QVERIFY(QFile::copy(smsFile(), messageDbPath(cacheDir())));
        const Run second = runMerge();
        QVERIFY(succeeded(second));
        QCOMPARE(second.restored, 0);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message").toInt(), count);
        QCOMPARE(queryValue(smsFile(), "select count(*) from chat_message_join").toInt(), count);
    }

    void aFailureAtAnyStepLeavesTheBackupAsItWas_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("box");
        for (const char *step : kMergeSteps)
            QTest::newRow(step) << step << "forced at " + QString(step);
        QTest::newRow("work copy") << "work copy" << "copy database to ";
    }
    void aFailureAtAnyStepLeavesTheBackupAsItWas()
    {
        QFETCH(QString, step);
        QFETCH(QString, box);
        addOldJournals();
        writeBackup();
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        IOS6RestoreMessagesThread::setStepHook([step](const char *name) {
            if (step == QLatin1String(name))
                throw std::runtime_error(std::string("forced at ") + name);
        });
        const Run run = runMerge();
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains(box), qPrintable(run.boxes[0]));
        QCOMPARE(fileTree(backupDir()), before);
        QCOMPARE(workCopies(), QStringList());
    }

    // A kill at any step, and at each rename of the swap, leaves a backup
    // whose next reader finds a database matching its manifest record and
    // holding every message the phone had: the old pair before the swap
    // began, the new pair once it had.
    void aKillAtAnyStepLeavesAMatchingPair_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("swapped");
        QTest::newRow("work copy") << "work copy" << false;
        bool swapping = false;
        for (const char *step : kMergeSteps) {
            swapping = swapping || QString(step).startsWith("swap");
            QTest::newRow(step) << step << swapping;
        }
    }
    void aKillAtAnyStepLeavesAMatchingPair()
    {
        QFETCH(QString, step);
        QFETCH(bool, swapped);
        addOldJournals();
        writeBackup();
        const QByteArray oldSms = readFile(smsFile());
        QVERIFY2(mergeKilledAt(step, &fresh, cacheDir(), backupDir()), "the step was not reached");

        // The next run that opens the backup, and the next start's clean-up.
        BackupManifest manifest(backupDir());
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        BackupLeftovers::removeInBackup(QDir(backupDir()));
        BackupLeftovers::removeInCache(QDir(cacheDir()));

        const QHash<QString, _MbdbRecord> records = mbdb_read(backupDir() + "/Manifest.mbdb");
        const _MbdbRecord sms = records.value(backupFileId(kHome, kSmsDb));
        const QByteArray smsBytes = readFile(smsFile());
        QCOMPARE(sms.fileLength, qint64(smsBytes.size()));
        QCOMPARE(sms.dataHash.bytes, QCryptographicHash::hash(smsBytes, QCryptographicHash::Sha1));
        QCOMPARE(smsBytes == oldSms, !swapped);
        QStringList guids;
        for (const QVariantList &row : queryRows(smsFile(), "select guid from message"))
            guids << row[0].toString();
        for (const MsgFixtureMessage &m : content.messages)
            QVERIFY2(guids.contains(m.guid), qPrintable(m.guid));
        QCOMPARE(guids.contains(fresh[0]->guid), swapped);
        // No old journal file is listed beside a new database.
        if (swapped)
            QVERIFY(!records.contains(backupFileId(kHome, "Library/SMS/sms.db-wal")));
        QCOMPARE(QDir(backupDir()).entryList({"*-new*", "*.journal", "*.tmp-*"}), QStringList());
        QCOMPARE(workCopies(), QStringList());
    }

    // Another writer changes the backup while the merge runs: the backup is
    // left with that writer's files, not overwritten from an older state.
    void aBackupChangedMeanwhileIsRefused_data()
    {
        QTest::addColumn<QString>("changed");
        QTest::newRow("the message database") << "sms";
        QTest::newRow("the manifest") << "manifest";
    }
    void aBackupChangedMeanwhileIsRefused()
    {
        QFETCH(QString, changed);
        writeBackup();
        const QString file = changed == "sms" ? smsFile() : backupDir() + "/Manifest.mbdb";
        IOS6RestoreMessagesThread::setStepHook([file](const char *name) {
            if (QLatin1String(name) == QLatin1String("manifest")) {
                QFile f(file);
                if (f.open(QIODevice::Append))
                    f.write("another writer");
            }
        });
        const Run run = runMerge();
        IOS6RestoreMessagesThread::setStepHook({});
        const QMap<QString, QByteArray> after = fileTree(backupDir());
        QCOMPARE(run.result, 0);
        QVERIFY2(run.boxes.value(0).contains("changed while the messages were being merged"),
                 qPrintable(run.boxes.value(0)));
        QVERIFY(readFile(file).endsWith("another writer"));
        QCOMPARE(QDir(backupDir()).entryList({"*-new*", "*-1*"}), QStringList());
        QCOMPARE(workCopies(), QStringList());
    }

    // The merged database replaces the backup's own file, so a backup that
    // lists one it does not hold, or one that does not match its record, is
    // refused before anything is written.
    void aBackupWithoutAMatchingDatabaseIsRefused_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("box");
        QTest::newRow("no data file") << "missing" << "is missing or is not a regular file";
        QTest::newRow("a FIFO") << "fifo" << "is missing or is not a regular file";
        QTest::newRow("cut short") << "short" << "The backup is damaged";
    }
    void aBackupWithoutAMatchingDatabaseIsRefused()
    {
        QFETCH(QString, damage);
        QFETCH(QString, box);
        writeBackup();
        QVERIFY(QFile::remove(smsFile()));
        if (damage == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(smsFile()).constData(), 0600), 0);
        else if (damage == "short")
            writeFile(smsFile(), QByteArray(100, 'x'));
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        const Run run = runMerge();
        QCOMPARE(run.result, 0);
        QVERIFY2(run.boxes.value(0).contains(box), qPrintable(run.boxes.value(0)));
        QCOMPARE(fileTree(backupDir()), before);
        QCOMPARE(workCopies(), QStringList());
    }

    // Records that clean to the database's cache name, or list its path in
    // another domain, hold a small database of their own: neither the cache
    // nor the merge may take it for the phone's.
    void decoyRecordsNeverReplaceTheDatabase_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("decoyPath");
        QTest::newRow("sms.db*") << kHome << "Library/SMS/sms.db*";
        QTest::newRow("sms.db?") << kHome << "Library/SMS/sms.db?";
        QTest::newRow("sms.db with a trailing blank") << kHome << "Library/SMS/sms.db ";
        QTest::newRow("another domain, after HomeDomain") << kMedia << "Library/SMS/sms.db";
        QTest::newRow("another domain, before HomeDomain") << "CameraRollDomain" << "Library/SMS/sms.db";
        QTest::newRow("a journal name") << kHome << "Library/SMS/sms.db-wal?";
    }
    void decoyRecordsNeverReplaceTheDatabase()
    {
        QFETCH(QString, domain);
        QFETCH(QString, decoyPath);
        const QByteArray decoy = readFile(writeMsgDbFile(path("decoy.db"), MsgDbLayout::LaterPhone,
                                                         generateMsgContent(1, 1, 1)));
        backup.addFile(domain, decoyPath, decoy);
        backup.write(backupDir());

        BackupManifest manifest(backupDir());
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        {
            ProgressForm form("", nullptr);
            ITunesCacheSMSThread cache(&manifest, QDir(cacheDir()), &form);
            DialogDriver driver;
            driver.thenPress(QMessageBox::Ok);
            cache.start();
            QCOMPARE(form.exec(), 1);
            cache.wait();
        }
        auto guidsIn = [](const QString &db) {
            QStringList guids;
            for (const QVariantList &row : queryRows(db, "select guid from message"))
                guids << row[0].toString();
            return guids;
        };
        const QStringList cached = guidsIn(messageDbPath(cacheDir()));
        for (const MsgFixtureMessage &m : content.messages)
            QVERIFY2(cached.contains(m.guid), qPrintable(m.guid));
        QVERIFY(!QFileInfo::exists(messageDbPath(cacheDir()) + "-wal"));

        QVERIFY(succeeded(runMerge()));
        const QStringList merged = guidsIn(smsFile());
        for (const MsgFixtureMessage &m : content.messages)
            QVERIFY2(merged.contains(m.guid), qPrintable(m.guid));
        QVERIFY(merged.contains(fresh[0]->guid));
    }

    void anEncryptedBackupIsRefusedUntouched()
    {
        backup.keys.emplace("open sesame");
        writeBackup();
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        const Run run = runMerge();
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains("Failed to export SMS to iTunes backup because your current iTunes backup "
                                       "is encrypted."),
                 qPrintable(run.boxes[0]));
        QCOMPARE(fileTree(backupDir()), before);
        QCOMPARE(workCopies(), QStringList());
    }

    void messagesWithoutAChatAreCounted()
    {
        writeBackup();
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        for (_MsgMessage *m : fresh)
            m->chat = nullptr;
        const Run run = runMerge();
        QCOMPARE(run.result, 0);
        QCOMPARE(run.skipped, 5);
        QVERIFY2(run.boxes.value(0).contains("Only found 5 messages with unknown contact info."),
                 qPrintable(run.boxes.value(0)));
        QCOMPARE(fileTree(backupDir()), before);
        QCOMPARE(workCopies(), QStringList());
    }

    void aMissingRecordIsMadeWhole_andOldJournalsGo()
    {
        backup.addFile(kHome, "Library/SMS/sms.db-wal", "stale journal");
        backup.addFile(kHome, "Library/SMS/sms.db-shm", "stale index");
        writeBackup();
        // The manifest lists everything but the database itself.
        QList<MbdbFixtureRecord> listed;
        for (const BackupFixtureEntry &e : backup.entries)
            if (e.record.path != kSmsDb.toUtf8() || e.record.domain != kHome.toUtf8())
                listed << backup.listedRecord(e);
        writeMbdb(backupDir() + "/Manifest.mbdb", listed);
        QVERIFY(succeeded(runMerge()));
        const QHash<QString, _MbdbRecord> records = mbdb_read(backupDir() + "/Manifest.mbdb");
        const _MbdbRecord sms = records.value(backupFileId(kHome, kSmsDb));
        QCOMPARE(sms.domain.toQString(), kHome);
        QCOMPARE(sms.path.toQString(), kSmsDb);
        QCOMPARE(sms.fileLength, QFileInfo(smsFile()).size());
        for (const QString &journal : {QString("Library/SMS/sms.db-wal"), QString("Library/SMS/sms.db-shm")}) {
            QVERIFY(!records.contains(backupFileId(kHome, journal)));
            QVERIFY(!QFileInfo::exists(backupDir() + "/" + backupFileId(kHome, journal)));
        }
    }

    void recentlyDeletedMarksKeepTheirMessages()
    {
        // Six of the phone's messages in its "recently deleted" list: in no
        // chat any more, named by rowid from chat_recoverable_message_join.
        QList<QPair<qint64, QString>> marks;
        for (int i : {1, 6, 11, 17, 23, 29}) {
            MsgFixtureMessage &m = content.messages[i];
            m.recoverableIn = m.chats;
            m.chats.clear();
            marks.append({m.recoverableIn.first(), m.guid});
        }
        writeBackup();
        // The phone has used rowids up to 40; 31 to 40 are gone for good.
        {
            SqliteFixture phone(messageDbPath(cacheDir()));
            phone.exec("UPDATE sqlite_sequence SET seq = 40 WHERE name = 'message'");
        }
        QVERIFY(succeeded(runMerge()));
        // New messages never take a rowid the phone has handed out.
        QCOMPARE(queryValue(smsFile(), "select min(rowid) from message where rowid > 30").toLongLong(), 41);
        QList<QPair<qint64, QString>> named;
        for (const QVariantList &row :
             queryRows(smsFile(), "select r.chat_id, m.guid from chat_recoverable_message_join as r "
                                  "left join message as m on m.rowid = r.message_id order by r.chat_id, m.date"))
            named.append({row[0].toLongLong(), row[1].toString()});
        std::sort(marks.begin(), marks.end());
        std::sort(named.begin(), named.end());
        QCOMPARE(named, marks);
        // Still out of every chat, and the new messages did not take their places.
        QCOMPARE(queryValue(smsFile(), "select count(*) from chat_message_join where message_id in "
                                       "(select message_id from chat_recoverable_message_join)")
                     .toInt(),
                 0);
    }

    void everyServiceLands_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("stored");
        QTest::newRow("SMS") << "SMS" << "SMS";
        QTest::newRow("iMessage") << "iMessage" << "iMessage";
        QTest::newRow("RCS") << "RCS" << "RCS";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("NULL") << QString() << "SMS";
    }
    void everyServiceLands()
    {
        QFETCH(QString, service);
        QFETCH(QString, stored);
        // The phone has a chat of that service already, and a new one comes.
        content.chats[1].service = service;
        writeBackup();
        _MsgHandle *lea = builder->handle("+33612345678", service.isNull() ? "SMS" : service);
        _MsgChat *chat = builder->chat({lea}, "SMS");
        chat->service_name = service;
        chat->guid = QString("%1;-;+33612345678").arg(service);
        _MsgMessage *m = builder->message(chat, lea, QString::fromUtf8("Salut \xF0\x9F\x91\x8B"), kBaseDate + 900);
        m->srcRowid = 200000;
        fresh.append(m);
        const Run run = runMerge();
        QVERIFY(succeeded(run));
        QCOMPARE(run.restored, 5);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message").toInt(), int(content.messages.size()) + 5);
        QCOMPARE(queryValue(smsFile(), "select c.service_name from chat as c join chat_message_join as j on "
                                       "j.chat_id = c.rowid join message as m on m.rowid = j.message_id where "
                                       "m.guid = '" + m->guid + "'")
                     .toString(),
                 stored);
        // The phone's own chat of that service keeps its messages.
        QCOMPARE(queryValue(smsFile(), "select count(*) from chat_message_join where chat_id = 2").toInt(),
                 int(std::count_if(content.messages.begin(), content.messages.end(),
                                   [](const MsgFixtureMessage &f) { return f.chats.contains(2); })));
    }

    void aChatThatCannotBeWrittenIsLeftOutAndCounted()
    {
        writeBackup();
        // A damaged record: a conversation without a guid, which the phone's
        // chat table refuses.
        _MsgHandle *lea = builder->handle("+33612345678");
        _MsgChat *broken = builder->chat({lea});
        broken->guid = QString();
        for (int i = 0; i < 2; ++i)
            fresh.append(builder->message(broken, lea, QString("lost %1").arg(i), kBaseDate + 950 + i));
        const Run run = runMerge();
        QVERIFY(succeeded(run));
        QCOMPARE(run.restored, 4);
        QCOMPARE(run.text, "Successfully recovered 4 SMS to iPhone.<br/>"
                           "2 SMS of 1 conversations could not be written and were left out.");
        QCOMPARE(queryValue(smsFile(), "select count(*) from message where text like 'lost%'").toInt(), 0);
        QCOMPARE(queryValue(smsFile(), "select count(*) from handle where id='+33612345678'").toInt(), 0);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message").toInt(), int(content.messages.size()) + 4);
    }

    // Messages of a foreign or damaged file that share a guid, or have none.
    void differentMessagesUnderOneGuidAllLand_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("written");
        QTest::addColumn<QStringList>("texts"); // texts that must be stored, once each
        QTest::newRow("two new messages, one guid") << "shared" << 2 << QStringList{"first", "second"};
        QTest::newRow("two new messages, empty guids") << "empty" << 2 << QStringList{"first", "second"};
        QTest::newRow("the phone's guid, another message") << "phone guid" << 2 << QStringList{"first", "second"};
        QTest::newRow("the phone's guid, the phone's message") << "phone copy" << 1 << QStringList{"first"};
    }
    void differentMessagesUnderOneGuidAllLand()
    {
        QFETCH(QString, scenario);
        QFETCH(int, written);
        QFETCH(QStringList, texts);
        writeBackup();
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("anna@example.com", "iMessage");
        _MsgChat *chat = b.chat({anna}, "iMessage");
        _MsgMessage *one = b.message(chat, anna, "first", kBaseDate + 1000);
        _MsgMessage *two = b.message(chat, nullptr, "second", kBaseDate + 1001);
        const MsgFixtureMessage &phone = content.messages[4];
        if (scenario == "shared") {
            two->guid = one->guid;
        } else if (scenario == "empty") {
            one->guid = QString();
            two->guid = QString();
        } else if (scenario == "phone guid") {
            two->guid = phone.guid;
        } else {
            // The phone's fifth message (from its sender), delivered again.
            _MsgHandle *sender = b.handle(content.handles[phone.handleId - 1].id, content.handles[phone.handleId - 1].service);
            two = b.message(chat, sender, phone.text, phone.date);
            two->guid = phone.guid;
        }
        fresh = {one, two};
        const Run run = runMerge();
        QVERIFY(succeeded(run));
        QCOMPARE(run.restored, written);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message").toInt(),
                 int(content.messages.size()) + written);
        for (const QString &text : texts)
            QCOMPARE(queryValue(smsFile(), "select count(*) from message where text='" + text + "'").toInt(), 1);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message where guid is null or guid = ''").toInt(), 0);
        // The phone's own message is untouched under its guid.
        QCOMPARE(queryValue(smsFile(), QString("select guid from message where rowid=%1").arg(phone.rowid)).toString(),
                 phone.guid);

        // The same messages exported again into the merged backup add nothing.
        QVERIFY(QFile::remove(messageDbPath(cacheDir())));
        QVERIFY(QFile::copy(smsFile(), messageDbPath(cacheDir())));
        const Run again = runMerge();
        QVERIFY(succeeded(again));
        QCOMPARE(again.restored, 0);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message").toInt(),
                 int(content.messages.size()) + written);
    }

    void newMessagesTakeThePhonesDateUnit_data()
    {
        QTest::addColumn<bool>("phoneHoldsMessages");
        QTest::newRow("a new message older than every phone message") << true;
        QTest::newRow("a later phone without messages") << false;
    }
    void newMessagesTakeThePhonesDateUnit()
    {
        QFETCH(bool, phoneHoldsMessages);
        if (!phoneHoldsMessages) {
            content.messages.clear();
            content.attachments.clear();
        }
        writeBackup();
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4915112345678");
        _MsgMessage *old = b.message(b.chat({anna}), anna, "from the old phone", kBaseDate - 86400);
        old->date_read = kBaseDate - 86000;
        _MsgMessage *later = b.message(b.chat({anna}), nullptr, "after all", kBaseDate + 5000);
        fresh = {old, later};
        QVERIFY(succeeded(runMerge()));
        const QString where = " from message where guid='" + old->guid + "'";
        QCOMPARE(queryValue(smsFile(), "select date" + where).toLongLong(), qint64(kBaseDate - 86400) * 1000000000);
        QCOMPARE(queryValue(smsFile(), "select date_read" + where).toLongLong(), qint64(kBaseDate - 86000) * 1000000000);
        QCOMPARE(queryValue(smsFile(), "select date from message where guid='" + later->guid + "'").toLongLong(),
                 qint64(kBaseDate + 5000) * 1000000000);
    }

    void aCancelBeforeTheMergeLoopChangesNothing()
    {
        writeBackup();
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        IOS6MessageDb target(QDir(cacheDir()), QString(), false);
        ProgressForm form("", nullptr);
        IOS6RestoreMessagesThread thread(QString(), &fresh, &target, QDir(backupDir()), &form);
        form.failed = true;
        DialogDriver driver;
        thread.start();
        QVERIFY(thread.wait(30000));
        QCoreApplication::processEvents();
        QCOMPARE(driver.seen().size(), 0);
        QCOMPARE(fileTree(backupDir()), before);
        QCOMPARE(workCopies(), QStringList());
    }

    void aGroupEventIntoAFileWithoutItemTypeIsLeftOutUncounted()
    {
        writeBackup(MsgDbLayout::Ios6Phone);
        fresh[2]->item_type = 1;
        fresh[2]->editRare().otherHandle = fresh[3]->handle;
        const Run run = runMerge();
        QVERIFY(succeeded(run));
        QCOMPARE(run.restored, 3);
        QCOMPARE(run.skipped, 0);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message where guid='" + fresh[2]->guid + "'").toInt(), 0);
        QCOMPARE(queryValue(smsFile(), "select count(*) from message").toInt(), int(content.messages.size()) + 3);
    }

    void anAttachmentAlreadyInTheBackupIsNotCopiedAgain_butItsRecordIsRefreshed()
    {
        // The photo is in the backup already, with another content and a
        // record from an older backup that no longer matches its file.
        BackupFixtureEntry &photo = backup.addAttachment("ab/12/IMG_0001.JPG", "already here");
        photo.record.dataHash = MbdbField(QByteArray(20, '\x01'));
        writeBackup();
        const QString id = backupFileId(kMedia, kPhotoPath);
        QVERIFY(succeeded(runMerge()));
        QCOMPARE(readFile(backupDir() + "/" + id), QByteArray("already here"));
        const _MbdbRecord record = mbdb_read(backupDir() + "/Manifest.mbdb").value(id);
        QCOMPARE(record.path.toQString(), kPhotoPath);
        QCOMPARE(record.dataHash.bytes, QCryptographicHash::hash("already here", QCryptographicHash::Sha1));
        QCOMPARE(qint64(record.mtime), QFileInfo(backupDir() + "/" + id).lastModified().toSecsSinceEpoch());
    }

    void theMergeOrder_data()
    {
        QTest::addColumn<qint64>("rowidA");
        QTest::addColumn<int>("dateA");
        QTest::addColumn<bool>("existingA");
        QTest::addColumn<qint64>("rowidB");
        QTest::addColumn<int>("dateB");
        QTest::addColumn<bool>("existingB");
        QTest::addColumn<bool>("aFirst");
        QTest::addColumn<bool>("bFirst");
        QTest::newRow("close: the smaller rowid, though later") << qint64(7) << 130 << false << qint64(10) << 100
                                                                << true << true << false;
        QTest::newRow("the same rowid and date: the database's row") << qint64(5) << 100 << true << qint64(5)
                                                                     << 100 << false << true << false;
        QTest::newRow("an item and itself") << qint64(5) << 100 << true << qint64(5) << 100 << true << false
                                            << false;
        QTest::newRow("21 rowids apart: by date") << qint64(1) << 200 << false << qint64(22) << 100 << true
                                                  << false << true;
        QTest::newRow("121 seconds apart: by date") << qint64(1) << 221 << false << qint64(2) << 100 << true
                                                    << false << true;
        QTest::newRow("far rowids, one date: the database's row") << qint64(1) << 100 << false
                                                                  << qint64(1LL << 62) << 100 << true << false
                                                                  << true;
        QTest::newRow("rowids at the ends of the range") << std::numeric_limits<qint64>::min() << 100 << true
                                                         << std::numeric_limits<qint64>::max() << 100 << true
                                                         << false << false;
    }
    void theMergeOrder()
    {
        QFETCH(qint64, rowidA);
        QFETCH(int, dateA);
        QFETCH(bool, existingA);
        QFETCH(qint64, rowidB);
        QFETCH(int, dateB);
        QFETCH(bool, existingB);
        QFETCH(bool, aFirst);
        QFETCH(bool, bFirst);
        const _RestoreItem a{rowidA, dateA, nullptr, existingA};
        const _RestoreItem b{rowidB, dateB, nullptr, existingB};
        QCOMPARE(restoreItemLessThan(a, b), aFirst);
        QCOMPARE(restoreItemLessThan(b, a), bFirst);
    }
};

QP_TEST_MAIN(TestIOS6RestoreMessages)

} // namespace tst_ios6restoremessages

#include "tst_ios6restoremessages.moc"
