#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/progressform.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/localdbupdatethread.h"
#include "store/msgrecords.h"
#include "store/msgtext.h"
#include "store/rc4.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/filefixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/oldlocaldbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <sqlite3.h>

namespace tst_localdbupdatethread {

using testsupport::OldSmsRow;

namespace {

struct Run
{
    int result = -1;
    bool failed = false;
    QString box;          // text of the one box shown
    QString progressText; // what the dialog showed last
    int bar = -1;
};

// Runs the conversion as the start-up does: under a dialog without a usable
// cancel button, answering its one box with Ok.
Run convert()
{
    ProgressForm form(QString(), nullptr);
    form.setCancelEnabled(false);
    DialogDriver driver;
    driver.thenPress(QMessageBox::Ok);
    LocalDbUpdateThread thread(&form);
    thread.start();
    Run run;
    run.result = form.exec();
    thread.wait();
    run.failed = form.failed;
    for (const DialogDriver::Seen &seen : driver.seen()) {
        if (seen.className == "QMessageBox")
            run.box = seen.text;
    }
    run.progressText = form.widgets()->lbProgress->text();
    run.bar = form.widgets()->progressBar->value();
    return run;
}

QString oldFile(const QString &name)
{
    return localDatabasesDir().absoluteFilePath(name);
}

struct StoredSms
{
    QString text;
    int isFromMe;
    int date;
    QString guid;
    QString handle;
    QString contact;
    QString chatGuid;
};

QList<StoredSms> storedSms(const QString &folder)
{
    Sqlite3DB db;
    db.openThrow(testsupport::messageDbPath(folder), 1);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
        "select m.text, m.is_from_me, m.date, m.guid, h.id, h._ct_name, c.guid as chat_guid "
        "from message m join handle h on h.rowid = m.handle_id "
        "join chat_message_join j on j.message_id = m.rowid join chat c on c.rowid = j.chat_id "
        "order by m.date, m.rowid"));
    QList<StoredSms> rows;
    while (c.moveNext())
        rows.append({c.getText("text"), c.getInt("is_from_me"), c.getInt("date"), c.getText("guid"),
                     c.getText("id"), c.getText("_ct_name"), c.getText("chat_guid")});
    return rows;
}

int countRows(const QString &folder, const char *table)
{
    return testsupport::queryValue(testsupport::messageDbPath(folder),
                                   QStringLiteral("select count(*) from ") + table).toInt();
}

const QString kSuccess = "Successfully updated local database. Please restart software.";

} // namespace

class TestLocalDbUpdateThread : public QObject
{
    Q_OBJECT

    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void init() { removeDirRecursively(localDatabasesDir().absolutePath()); }

    void cipherMatchesPublishedVectors_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        QTest::newRow("Key/Plaintext") << QByteArray("Key") << QByteArray("Plaintext")
                                       << QByteArray::fromHex("bbf316e8d940af0ad3");
        QTest::newRow("Wiki/pedia") << QByteArray("Wiki") << QByteArray("pedia")
                                    << QByteArray::fromHex("1021bf0420");
        QTest::newRow("Secret") << QByteArray("Secret") << QByteArray("Attack at dawn")
                                << QByteArray::fromHex("45a01f645fc35b383552544b9bf5");
    }
    void cipherMatchesPublishedVectors()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        QCOMPARE(rc4(key, plain), cipher);
        QCOMPARE(rc4(key, cipher), plain);
    }

    void convertsOneFileIntoAFolderOfTheSameName()
    {
        testsupport::writeOldLocalDb(oldFile("family.db"), {
            {"(555) 010-0001", "Ann", 1400000000, 0, QString::fromUtf8("Hello 😀")},
            {"555-010-0001", "Ann Again", 1400000100, 1, QString("Hi back")},
            {"bob@example.com", "Bob", 1400000200, 0, std::nullopt},
        });
        const Run run = convert();
        QCOMPARE(run.result, 1);
        QVERIFY(!run.failed);
        QCOMPARE(run.box, kSuccess);
        QCOMPARE(run.progressText, "SMS: 3/3");
        QCOMPARE(run.bar, 100);

        QVERIFY(QFileInfo(oldFile("family.db")).isDir());
        QVERIFY(!QFileInfo::exists(oldFile("family.db.__tmp")));
        QVERIFY(LocalDbUpdateThread::oldDatabaseFiles().isEmpty());

        const QList<StoredSms> sms = storedSms(oldFile("family.db"));
        QCOMPARE(sms.size(), 3);
        QCOMPARE(sms[0].text, QString::fromUtf8("Hello 😀"));
        QCOMPARE(sms[0].date, 1400000000 - 978307200);
        QCOMPARE(sms[0].isFromMe, 0);
        QCOMPARE(sms[1].isFromMe, 1);
        // Without a country, a number keeps only its digits; both spellings
        // meet in one chat and one handle, named by the first row written.
        QCOMPARE(sms[0].handle, "5550100001");
        QCOMPARE(sms[1].handle, "5550100001");
        QCOMPARE(sms[0].chatGuid, "SMS;-;5550100001");
        QCOMPARE(sms[1].chatGuid, "SMS;-;5550100001");
        QCOMPARE(sms[1].contact, "Ann");
        QCOMPARE(sms[2].text, QString());
        QCOMPARE(sms[2].handle, "bob@example.com");
        QCOMPARE(countRows(oldFile("family.db"), "chat"), 2);
        QCOMPARE(countRows(oldFile("family.db"), "handle"), 2);

        // The guid follows from the content alone.
        _MsgHandle handle;
        handle.id = "5550100001";
        _MsgChat chat;
        _MsgMessage message;
        message.text = QString::fromUtf8("Hello 😀");
        message.date = message.date_read = message.date_delivered = 1400000000 - 978307200;
        message.handle = &handle;
        message.chat = &chat;
        QCOMPARE(sms[0].guid, guidFromMd5(calcLogicHash(message).toUtf8()));
    }

    void sameAddressSharesOneChatAndHandle()
    {
        testsupport::writeOldLocalDb(oldFile("a"), {
            {"5550100002", "First", 1400000000, 0, QString("one")},
            {"5550100002", "Second", 1400000001, 1, QString("two")},
            {"5550100002", "Third", 1400000000, 0, QString("one")}, // a duplicate of the first
        });
        QCOMPARE(convert().result, 1);
        const QList<StoredSms> sms = storedSms(oldFile("a"));
        QCOMPARE(sms.size(), 2);
        QCOMPARE(countRows(oldFile("a"), "chat"), 1);
        QCOMPARE(countRows(oldFile("a"), "handle"), 1);
        QCOMPARE(sms[0].contact, "First");
    }

    void leftOverTmpFileIsConvertedWithoutRename()
    {
        testsupport::writeOldLocalDb(oldFile("work.sqlite.__tmp"), {
            {"5550100003", "C", 1400000000, 0, QString("x")},
        });
        QCOMPARE(convert().result, 1);
        QVERIFY(QFileInfo(oldFile("work.sqlite")).isDir());
        QVERIFY(!QFileInfo::exists(oldFile("work.sqlite.__tmp")));
        QCOMPARE(storedSms(oldFile("work.sqlite")).size(), 1);
    }

    void convertingAgainAddsNothing()
    {
        const QList<OldSmsRow> rows = {{"5550100004", "D", 1400000000, 0, QString("x")},
                                       {"5550100004", "D", 1400000009, 1, QString("y")}};
        testsupport::writeOldLocalDb(oldFile("b.__tmp"), rows);
        QCOMPARE(convert().result, 1);
        const QList<StoredSms> first = storedSms(oldFile("b"));
        testsupport::writeOldLocalDb(oldFile("b.__tmp"), rows);
        QCOMPARE(convert().result, 1);
        const QList<StoredSms> second = storedSms(oldFile("b"));
        QCOMPARE(second.size(), 2);
        QCOMPARE(second[0].guid, first[0].guid);
        QCOMPARE(second[1].guid, first[1].guid);
    }

    void emptyOldDatabaseGivesAnEmptyNewOne()
    {
        testsupport::writeOldLocalDb(oldFile("empty"), {});
        QCOMPARE(convert().result, 1);
        QVERIFY(QFileInfo(oldFile("empty")).isDir());
        QCOMPARE(countRows(oldFile("empty"), "message"), 0);
    }

    // Files that are no SQLite database are not old databases: nothing is
    // renamed, no folder is made, and the start shows no dialog.
    void notADatabaseIsLeftAlone_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not sqlite") << QByteArray("just some notes\n");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("header cut short") << QByteArray("SQLite format");
    }
    void notADatabaseIsLeftAlone()
    {
        QFETCH(QByteArray, content);
        QFile f(oldFile("notes.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        QVERIFY(LocalDbUpdateThread::oldDatabaseFiles().isEmpty());
        const Run run = convert();
        QCOMPARE(run.result, 1);
        QCOMPARE(localDatabasesDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"notes.txt"});
        QCOMPARE(testsupport::readFile(oldFile("notes.txt")), content);
    }

    // A text file and an SQLite file of another kind beside two old
    // databases, whatever their names' order: both old databases are
    // converted, the text file stays as it was, and the one that fails is
    // reported after the others are done.
    void otherFilesBesideOldDatabases_data()
    {
        QTest::addColumn<QStringList>("names"); // text file, other SQLite file, two old databases
        QTest::newRow("others first") << QStringList{"a-notes.txt", "b-other.sqlite", "m.db", "z.db"};
        QTest::newRow("others last") << QStringList{"y-notes.txt", "z-other.sqlite", "a.db", "m.db"};
        QTest::newRow("others between") << QStringList{"m-notes.txt", "n-other.sqlite", "a.db", "z.db"};
    }
    void otherFilesBesideOldDatabases()
    {
        QFETCH(QStringList, names);
        const QByteArray notes("shopping: milk, eggs\n");
        {
            QFile f(oldFile(names[0]));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(notes);
        }
        testsupport::SqliteFixture(oldFile(names[1])).exec("CREATE TABLE t (x); INSERT INTO t VALUES (1);");
        testsupport::writeOldLocalDb(oldFile(names[2]), {{"5550100001", "Ann", 1400000000, 0, QString("first")}});
        testsupport::writeOldLocalDb(oldFile(names[3]), {{"5550100002", "Bob", 1400000100, 1, QString("second")},
                                                          {"5550100002", "Bob", 1400000200, 0, QString("third")}});

        for (int start = 0; start < 2; ++start) {
            const Run run = convert();
            QCOMPARE(run.result, 0);
            QVERIFY2(run.box.contains(names[1] + ": "), qPrintable(run.box));
            QVERIFY(run.box.contains("view_sms"));
            QVERIFY(!run.box.contains(names[0]));
            QVERIFY(!run.box.contains(kSuccess));
            QCOMPARE(storedSms(oldFile(names[2])).size(), 1);
            QCOMPARE(storedSms(oldFile(names[2]))[0].text, "first");
            QCOMPARE(storedSms(oldFile(names[3])).size(), 2);
            QCOMPARE(testsupport::readFile(oldFile(names[0])), notes);
            // The failed one waits under its working name, with no database
            // folder under its own.
            QVERIFY(QFileInfo(oldFile(names[1] + ".__tmp")).isFile());
            QVERIFY(!QFileInfo::exists(oldFile(names[1])));
            QCOMPARE(localDatabasesDir().entryList(QDir::Files),
                     QStringList({names[0], names[1] + ".__tmp"}));
        }
    }

    void fileThatCannotBeRenamed()
    {
        testsupport::writeOldLocalDb(oldFile("c"), {{"1", "", 1400000000, 0, QString("x")}});
        QDir().mkpath(oldFile("c.__tmp") + "/blocker"); // the new name is taken by a folder
        const Run run = convert();
        QCOMPARE(run.result, 0);
        QVERIFY2(run.box.contains("can not rename " + oldFile("c") + "."), qPrintable(run.box));
        QVERIFY(QFileInfo(oldFile("c")).isFile());
    }

    void failedCommitKeepsTheOldFile()
    {
        const QString old = oldFile("d.__tmp");
        testsupport::writeOldLocalDb(old, {{"5550100005", "E", 1400000000, 0, QString("x")}});
        // The folder a first, interrupted attempt made, with an empty database
        // that another program is reading: the commit cannot get its lock.
        testsupport::writeMsgDb(oldFile("d"), testsupport::MsgDbLayout::Local, {});
        Sqlite3DB reader;
        reader.openThrow(testsupport::messageDbPath(oldFile("d")), 1);
        reader.beginTran();
        Sqlite3Cursor holding = reader.queryThrow(Sqlite3Sql("select * from sqlite_master"));

        const Run run = convert();
        QCOMPARE(run.result, 0);
        QVERIFY2(run.box.contains("locked"), qPrintable(run.box));
        QVERIFY(QFileInfo(old).isFile());
        reader.close();
        QCOMPARE(countRows(oldFile("d"), "message"), 0);

        // Once the lock is gone, the next start converts it.
        QCOMPARE(convert().result, 1);
        QCOMPARE(countRows(oldFile("d"), "message"), 1);
        QVERIFY(!QFileInfo::exists(old));
    }

    void sideFilesTravelWithTheirDatabase()
    {
        testsupport::writeOldLocalDb(oldFile("e"), {{"5550100006", "F", 1400000000, 0, QString("x")}});
        for (const char *side : {"e-journal", "e-wal", "e-shm"}) {
            QFile f(oldFile(side));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QFileInfoList listed = LocalDbUpdateThread::oldDatabaseFiles();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0].fileName(), "e");

        QCOMPARE(convert().result, 1);
        QVERIFY(QFileInfo(oldFile("e")).isDir());
        QCOMPARE(storedSms(oldFile("e")).size(), 1);
        QCOMPARE(localDatabasesDir().entryList(QDir::Files), QStringList());
        QVERIFY(LocalDbUpdateThread::oldDatabaseFiles().isEmpty());
    }

    // A name that merely ends like a side file is an old database when no
    // database of the shorter name lies beside it.
    void sideFileNameWithoutItsDatabaseIsConverted_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("folderBeside"); // a current database of the shorter name
        QTest::newRow("-wal") << "notes-wal" << false;
        QTest::newRow("-journal") << "notes-journal" << false;
        QTest::newRow("-shm, upper case") << "notes-SHM" << false;
        QTest::newRow("only the suffix") << "-wal" << false;
        QTest::newRow("-wal beside a database folder") << "notes-wal" << true;
    }
    void sideFileNameWithoutItsDatabaseIsConverted()
    {
        QFETCH(QString, name);
        QFETCH(bool, folderBeside);
        if (folderBeside)
            testsupport::writeMsgDb(oldFile("notes"), testsupport::MsgDbLayout::Local, {});
        testsupport::writeOldLocalDb(oldFile(name), {{"5550100008", "H", 1400000000, 0, QString("kept")}});
        const QFileInfoList listed = LocalDbUpdateThread::oldDatabaseFiles();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0].fileName(), name);

        const Run run = convert();
        QCOMPARE(run.result, 1);
        QCOMPARE(run.box, kSuccess);
        QVERIFY(QFileInfo(oldFile(name)).isDir());
        const QList<StoredSms> sms = storedSms(oldFile(name));
        QCOMPARE(sms.size(), 1);
        QCOMPARE(sms[0].text, "kept");
        QCOMPARE(localDatabasesDir().entryList(QDir::Files), QStringList());
        if (folderBeside)
            QCOMPARE(countRows(oldFile("notes"), "message"), 0);
    }

    void rowsStillInTheWriteAheadLogAreConverted()
    {
        // An old file whose program ended without a checkpoint: its last row
        // lives only in the "-wal" file, which must travel with the rename.
        testsupport::writeOldLocalDb(oldFile("w"), {{"5550100007", "G", 1400000000, 0, QString("in the file")}});
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(oldFile("w").toUtf8().constData(), &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        QCOMPARE(sqlite3_exec(db,
                              "PRAGMA journal_mode=WAL;"
                              "INSERT INTO view_sms VALUES ('5550100007', 'G', 1400000001, 1, NULL);",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);
        QVERIFY(QFileInfo(oldFile("w-wal")).size() > 0);

        QCOMPARE(convert().result, 1);
        QCOMPARE(storedSms(oldFile("w")).size(), 2);
        QCOMPARE(localDatabasesDir().entryList(QDir::Files), QStringList());
    }

    void foldersAreNotOldDatabases()
    {
        QDir().mkpath(oldFile("current/file-relay"));
        QVERIFY(LocalDbUpdateThread::oldDatabaseFiles().isEmpty());
    }
};

QP_TEST_MAIN(TestLocalDbUpdateThread)

} // namespace tst_localdbupdatethread

#include "tst_localdbupdatethread.moc"
