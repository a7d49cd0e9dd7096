// Writing messages into a backup of iOS 10 and later: the merged database
// lands at its hashed path, its Files row gets the new size and time (every
// other value kept), the WAL files leave the list and the folder, attachments
// get MediaDomain rows; a failure at any step leaves the backup byte for byte
// as it was, and an encrypted backup is refused untouched.
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/ios6restoremessagesthread.h"
#include "store/ios6messagedb.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/filefixture.h"
#include "tests/support/httprecorder.h"
#include "tests/support/killedmerge.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QTemporaryDir>

#include <plist/plist.h>

#include <memory>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace tst_modernmerge {

using namespace testsupport;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kMedia = QStringLiteral("MediaDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const QString kPhotoPath = QStringLiteral("Library/SMS/Attachments/7f/03/IMG_4711.HEIC");

// The values of a row's MBFile, read with libplist (not the program's reader).
QMap<QString, qint64> mbFileNumbers(const QByteArray &blob)
{
    QMap<QString, qint64> out;
    plist_t archive = nullptr;
    plist_from_bin(blob.constData(), uint32_t(blob.size()), &archive);
    plist_t objects = archive ? plist_dict_get_item(archive, "$objects") : nullptr;
    plist_t file = objects ? plist_array_get_item(objects, 1) : nullptr;
    for (const char *key : {"Size", "LastModified", "Birth", "Mode", "InodeNumber", "ProtectionClass", "UserID"}) {
        plist_t item = file ? plist_dict_get_item(file, key) : nullptr;
        uint64_t value = 0;
        if (item && plist_get_node_type(item) == PLIST_UINT) {
            plist_get_uint_val(item, &value);
            out.insert(key, qint64(value));
        }
    }
    if (archive)
        plist_free(archive);
    return out;
}

struct Run
{
    int result = -1;
    QStringList boxes;
    int restored = -1;
};

} // namespace

class TestModernMerge : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MsgStoreBuilder> builder;
    QList<_MsgMessage *> fresh;

    QString path(const QString &name) const { return dir->filePath(name); }
    QString backupDir() const { return path("backup"); }
    QString cacheDir() const { return path("cache"); }
    QString smsData() const { return modernDataPath(backupDir(), kHome, kSmsDb); }
    QString manifestDb() const { return backupDir() + "/Manifest.db"; }

    QByteArray row(const QString &domain, const QString &relativePath) const
    {
        const QList<QVariantList> rows = queryRows(manifestDb(), QString("SELECT file FROM Files WHERE fileID = '%1'")
                                                                     .arg(backupFileId(domain, relativePath)));
        return rows.isEmpty() ? QByteArray() : rows[0][0].toByteArray();
    }

    void writeBackup(const QByteArray &password = QByteArray())
    {
        static const BackupFixture plain = iphone16Backup();
        BackupFixture fx = password.isEmpty() ? plain : iphone16Backup(password);
        ModernBackupOptions options;
        options.encryption = password.isEmpty() ? ModernEncryption::Plain : ModernEncryption::WithManifestKey;
        writeModernBackup(fx, backupDir(), options);
        writeMsgDb(cacheDir(), MsgDbLayout::LaterPhone, iphone16Content());
    }

    // Two new messages: a text with emoji, and a photo under Library/.
    void makeMessages()
    {
        builder.reset(new MsgStoreBuilder);
        _MsgHandle *anna = builder->handle("+4917012345678");
        _MsgChat *chat = builder->chat({anna});
        builder->message(chat, anna, QString::fromUtf8("Neu \xF0\x9F\x8E\x89"), 600000000 + 3600);
        _MsgMessage *photo = builder->message(chat, nullptr, QString(QChar(0xFFFC)), 600000000 + 7200);
        writeFile(path("photo.heic"), QByteArray(7000, '\x42'));
        builder->attachment(photo, "~/" + kPhotoPath, path("photo.heic"));
        fresh = builder->messages();
        qint64 src = 500000;
        for (_MsgMessage *m : fresh)
            m->srcRowid = src += 50;
    }

    Run runMerge()
    {
        IOS6MessageDb target(QDir(cacheDir()), QString(), false);
        ProgressForm form("", nullptr);
        IOS6RestoreMessagesThread thread(QString(), &fresh, &target, QDir(backupDir()), &form);
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
        return run;
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
        makeMessages();
        IOS6RestoreMessagesThread::setStepHook({});
    }
    void cleanup() { IOS6RestoreMessagesThread::setStepHook({}); }

    void twoMessagesLandWithTheirRows()
    {
        writeBackup();
        const int before = queryValue(smsData(), "select count(*) from message").toInt();
        const QMap<QString, qint64> oldRow = mbFileNumbers(row(kHome, kSmsDb));
        // An earlier merge's set-aside pair.
        writeFile(manifestDb() + "-1600000000", "earlier list");
        writeFile(smsData() + "-1600000000", "earlier database");
        const Run run = runMerge();
        QVERIFY2(run.result == 1 && run.boxes.isEmpty(), qPrintable(run.boxes.join(" | ")));
        QCOMPARE(run.restored, 2);
        // Only this run's set-aside pair stays.
        QVERIFY(!QFileInfo::exists(manifestDb() + "-1600000000"));
        QVERIFY(!QFileInfo::exists(smsData() + "-1600000000"));
        QCOMPARE(QDir(QFileInfo(smsData()).path()).entryList({QFileInfo(smsData()).fileName() + "-*"}).size(), 1);

        // The database at its hashed path, each new message once.
        QCOMPARE(queryValue(smsData(), "select count(*) from message").toInt(), before + 2);
        for (const _MsgMessage *m : fresh)
            QCOMPARE(queryValue(smsData(), "select count(*) from message where guid='" + m->guid + "'").toInt(), 1);
        // Dates in the phone's unit (nanoseconds).
        QCOMPARE(queryValue(smsData(), "select date from message where guid='" + fresh[0]->guid + "'").toLongLong(),
                 (600000000LL + 3600) * 1000000000LL);

        // Its row: the new size and time, the rest kept.
        const QMap<QString, qint64> newRow = mbFileNumbers(row(kHome, kSmsDb));
        QCOMPARE(newRow.value("Size"), QFileInfo(smsData()).size());
        QCOMPARE(newRow.value("LastModified"), QFileInfo(smsData()).lastModified().toSecsSinceEpoch());
        for (const char *kept : {"Birth", "Mode", "InodeNumber", "ProtectionClass", "UserID"})
            QCOMPARE(newRow.value(kept), oldRow.value(kept));

        // The WAL files are neither listed nor in the folder.
        for (const QString &journal : {QString("Library/SMS/sms.db-wal"), QString("Library/SMS/sms.db-shm")}) {
            QVERIFY(row(kHome, journal).isEmpty());
            QVERIFY(!QFileInfo::exists(modernDataPath(backupDir(), kHome, journal)));
        }
        // The photo: its data, its row and its folders' rows.
        QCOMPARE(readFile(modernDataPath(backupDir(), kMedia, kPhotoPath)), QByteArray(7000, '\x42'));
        QCOMPARE(mbFileNumbers(row(kMedia, kPhotoPath)).value("Size"), 7000);
        QCOMPARE(queryValue(manifestDb(), QString("select flags from Files where fileID='%1'")
                                              .arg(backupFileId(kMedia, "Library/SMS/Attachments/7f")))
                     .toInt(),
                 2);

        // The program reads the result back as a backup.
        BackupManifest m(backupDir());
        m.loadManifestPlist();
        m.loadMbdb();
        QCOMPARE(fileTree(backupDir()).keys().filter("Manifest.db-").size(), 1); // the saved list
    }

    void aFailureAtAnyStepLeavesTheBackupAsItWas_data()
    {
        QTest::addColumn<QString>("step");
        for (const char *step : {"merge", "database", "attachments", "manifest", "swap database", "swap manifest"})
            QTest::newRow(step) << step;
    }
    void aFailureAtAnyStepLeavesTheBackupAsItWas()
    {
        QFETCH(QString, step);
        writeBackup();
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        IOS6RestoreMessagesThread::setStepHook([step](const char *name) {
            if (step == QLatin1String(name))
                throw std::runtime_error(std::string("forced at ") + name);
        });
        const Run run = runMerge();
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains("forced at " + step), qPrintable(run.boxes[0]));
        QCOMPARE(fileTree(backupDir()), before);
    }

    // A kill at any step, and at each rename of the swap, leaves a backup
    // whose next reader finds the database at its hashed path matching its
    // Manifest.db row: the old pair before the swap began, the new once it had.
    void aKillAtAnyStepLeavesAMatchingPair_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("swapped");
        for (const char *step : {"merge", "database", "attachments", "manifest", "check"})
            QTest::newRow(step) << step << false;
        for (const char *step : {"swap database", "swap database in", "swap manifest", "swap manifest in", "swap done"})
            QTest::newRow(step) << step << true;
    }
    void aKillAtAnyStepLeavesAMatchingPair()
    {
        QFETCH(QString, step);
        QFETCH(bool, swapped);
        writeBackup();
        const QByteArray oldSms = readFile(smsData());
        QVERIFY2(mergeKilledAt(step, &fresh, cacheDir(), backupDir()), "the step was not reached");

        // The next run that opens the backup settles the swap.
        BackupManifest manifest(backupDir());
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        QVERIFY(!QFileInfo::exists(backupDir() + "/swap.journal"));

        const QByteArray smsBytes = readFile(smsData());
        QCOMPARE(mbFileNumbers(row(kHome, kSmsDb)).value("Size"), qint64(smsBytes.size()));
        QCOMPARE(smsBytes == oldSms, !swapped);
        QStringList guids;
        for (const QVariantList &r : queryRows(smsData(), "select guid from message"))
            guids << r[0].toString();
        for (const MsgFixtureMessage &m : iphone16Content().messages)
            QVERIFY2(guids.contains(m.guid), qPrintable(m.guid));
        QCOMPARE(guids.contains(fresh[0]->guid), swapped);
    }

    void anEncryptedBackupIsRefusedUntouched()
    {
        writeBackup("secret \xF0\x9F\x94\x91");
        const QMap<QString, QByteArray> before = fileTree(backupDir());
        const Run run = runMerge();
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains("is encrypted"), qPrintable(run.boxes[0]));
        QCOMPARE(fileTree(backupDir()), before);
    }
};

QP_TEST_MAIN(TestModernMerge)

} // namespace tst_modernmerge

#include "tst_modernmerge.moc"
