// The workers that back messages up into a local database and delete them
// from it, each run under a real progress dialog as the main window runs them.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/backupsmsthread.h"
#include "store/deletemessagesthread.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "tests/support/countryfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

#include <sqlite3.h>

namespace tst_localdbthreads {

using namespace testsupport;

namespace {

// Presses Cancel once the worker has reported progress past its start.
DialogDriver::Action cancelOnceProgressShows(const QString &pattern, QString *shown)
{
    return [pattern, shown](QWidget *w) {
        auto *form = static_cast<ProgressForm *>(w);
        const QRegularExpression started(pattern);
        QTRY_VERIFY_WITH_TIMEOUT(started.match(form->widgets()->lbProgress->text()).hasMatch(), 20000);
        *shown = form->widgets()->lbProgress->text();
        QTest::mousePress(form->widgets()->btnCancel, Qt::LeftButton);
    };
}

} // namespace

class TestLocalDbThreads : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> m_dir;

    QDir dbDir() const { return QDir(m_dir->path() + "/local_databases/Backup"); }
    QString dbPath() const { return messageDbPath(dbDir().absolutePath()); }

    // n messages from three senders in chats of about ten messages each.
    static QList<_MsgMessage *> someMessages(MsgStoreBuilder &b, int n)
    {
        QList<_MsgHandle *> people = {b.handle("+491701"), b.handle("+491702"), b.handle("+491703")};
        _MsgChat *chat = nullptr;
        for (int i = 0; i < n; ++i) {
            if (i % 10 == 0)
                chat = b.chat({people[(i / 10) % 3]});
            b.message(chat, i % 2 ? nullptr : people[(i / 10) % 3], QString("message %1").arg(i), 1000 + i);
        }
        return b.messages();
    }

    // Writes the messages without a dialog, as an earlier backup would have.
    void writeDirectly(const QList<_MsgMessage *> &messages)
    {
        ExportMessagesDb writer(dbDir(), QString());
        writer.begin();
        for (const _MsgMessage *m : messages)
            writer.write(*m);
        writer.end();
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
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    // ---- backup ---------------------------------------------------------------

    // Later phones keep RCS chats, and damaged files chats without a
    // service: every message of every chat lands, and the box counts them.
    void backupKeepsEveryService()
    {
        MsgStoreBuilder b;
        const QStringList services = {"SMS", "iMessage", "RCS", "", QString()};
        for (int i = 0; i < services.size(); ++i) {
            _MsgHandle *h = b.handle(QString("+4917000%1").arg(i), services[i].isNull() ? "SMS" : services[i]);
            _MsgChat *chat = b.chat({h});
            chat->service_name = services[i];
            chat->guid = QString("%1;-;%2").arg(services[i], h->id);
            b.message(chat, h, QString::fromUtf8("hallo \xF0\x9F\x98\x80 %1").arg(i), 1000 + i);
            b.message(chat, nullptr, QString("reply %1").arg(i), 2000 + i);
        }
        ProgressForm form("", nullptr);
        BackupSMSThread thread(b.messages(), b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 1);
        const QList<DialogDriver::Seen> seen = driver.seenBoxes();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].text, "Successfully Backup 10 SMS to local Database.");
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_message_join").toInt(), 10);
        QCOMPARE(queryValue(dbPath(), "select group_concat(service_name, ',') from (select service_name from chat "
                                      "order by rowid)")
                     .toString(),
                 "SMS,iMessage,RCS,,SMS");
    }

    void backupLeavesOutAChatItCannotWriteAndSaysSo()
    {
        MsgStoreBuilder b;
        const QList<_MsgMessage *> good = someMessages(b, 3);
        _MsgChat *broken = b.chat({b.handle("+491709")});
        broken->guid = QString(); // a damaged record the chat table refuses
        b.message(broken, nullptr, "lost", 5000);
        ProgressForm form("", nullptr);
        BackupSMSThread thread(b.messages(), b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 1);
        const QList<DialogDriver::Seen> seen = driver.seenBoxes();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].text, "Successfully Backup 3 SMS to local Database.<br/>"
                               "1 SMS of 1 conversations could not be written and were left out.");
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), int(good.size()));
    }

    void backup_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("lastProgress");
        QTest::newRow("empty list") << 0 << "Progress:0%";
        QTest::newRow("three messages") << 3 << "SMS: 3/3";
        QTest::newRow("many messages") << 250 << "SMS: 250/250";
    }
    void backup()
    {
        QFETCH(int, count);
        QFETCH(QString, lastProgress);
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, count);
        QSharedPointer<_MsgStore> store = b.store;
        b.store.reset(); // the caller's pointer may go: the worker keeps its own

        for (int run = 1; run <= 2; ++run) {
            ProgressForm form("", nullptr);
            BackupSMSThread thread(messages, store, dbDir(), QString(), &form, nullptr);
            DialogDriver driver;
            driver.thenPress(QMessageBox::Ok);
            QCOMPARE(DialogDriver::runUnder(form, thread), 1);
            QVERIFY(!form.failed);
            const QList<DialogDriver::Seen> seen = driver.seenBoxes();
            QCOMPARE(seen.size(), 1);
            // The box counts what was stored: a second run adds nothing.
            QCOMPARE(seen[0].text, QString("Successfully Backup %1 SMS to local Database.").arg(run == 1 ? count : 0));
            QCOMPARE(seen[0].icon, int(QMessageBox::Information));
            QCOMPARE(form.widgets()->lbStatus->text(), "Backing up SMS to Local Database...");
            QCOMPARE(form.widgets()->lbProgress->text(), lastProgress);
            QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), count);
            QCOMPARE(queryValue(dbPath(), "select count(*) from chat_message_join").toInt(), count);
        }
        // Chats of one person share a guid: one conversation each.
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), qMin(3, (count + 9) / 10));
    }

    void theBackupKeepsItsSourceStoreAlive()
    {
        // The node that showed the messages may drop its store while the
        // dialog is open (a phone unplugged): the worker's own reference must
        // keep every record valid until the worker is gone.
        ProgressForm form("", nullptr);
        std::unique_ptr<BackupSMSThread> thread;
        QWeakPointer<_MsgStore> watch;
        {
            MsgStoreBuilder b;
            const QList<_MsgMessage *> messages = someMessages(b, 30);
            watch = b.store;
            thread.reset(new BackupSMSThread(messages, b.store, dbDir(), QString(), &form, nullptr));
        }
        QVERIFY(!watch.isNull());
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, *thread), 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 30);
        thread.reset();
        QVERIFY(watch.isNull());
    }

    void backupWritesInMessageOrder()
    {
        // Whatever order the caller hands in, rows go in by date.
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+491701");
        _MsgChat *chat = b.chat({anna});
        b.message(chat, anna, "third", 3000);
        b.message(chat, anna, "first", 1000);
        b.message(chat, anna, "second", 2000);
        ProgressForm form("", nullptr);
        BackupSMSThread thread(b.messages(), b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 1);
        Sqlite3DB db;
        db.openThrow(dbPath(), 1);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select text from message order by rowid"));
        QStringList texts;
        while (c.moveNext())
            texts << c.getText("text");
        QCOMPARE(texts, QStringList({"first", "second", "third"}));
    }

    // The thread sorts its copy of the list by messageLessThan, which mixes
    // rowid and date keys. Rows close together and many equal keys make it
    // cycle: the sort must neither run outside the list nor lose or repeat a
    // message. Rows far apart go by date alone, equal dates in the order given.
    void backupSortsLargeTangledLists_data()
    {
        QTest::addColumn<bool>("rowidsClose");
        QTest::newRow("rowids close, dates cycling") << true;
        QTest::newRow("rowids apart, many equal dates") << false;
    }
    void backupSortsLargeTangledLists()
    {
        QFETCH(bool, rowidsClose);
        const int count = 3000;
        QRandomGenerator rng(4711);
        MsgStoreBuilder b;
        QList<_MsgHandle *> people = {b.handle("+491701"), b.handle("+491702")};
        QList<_MsgChat *> chats = {b.chat({people[0]}), b.chat({people[1]})};
        for (int i = 0; i < count; ++i) {
            const int date = rowidsClose ? 1000 + int(rng.bounded(400)) : 1000 + int(rng.bounded(20));
            _MsgMessage *m = b.message(chats[i % 2], i % 3 ? people[i % 2] : nullptr,
                                       QString("tangled %1").arg(i, 4, 10, QChar('0')), date);
            m->srcRowid = rowidsClose ? qint64(rng.bounded(60)) : qint64(i) * 100;
        }
        ProgressForm form("", nullptr);
        BackupSMSThread thread(b.messages(), b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 1);
        QVERIFY(!form.failed);

        Sqlite3DB db;
        db.openThrow(dbPath(), 1);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select text, date from message order by rowid"));
        QStringList texts;
        QList<int> dates;
        while (c.moveNext()) {
            texts << c.getText("text");
            dates << c.getInt("date");
        }
        QCOMPARE(texts.size(), count);
        QStringList sorted = texts;
        sorted.sort();
        for (int i = 0; i < count; ++i)
            QCOMPARE(sorted[i], QString("tangled %1").arg(i, 4, 10, QChar('0')));
        if (!rowidsClose) {
            for (int i = 1; i < count; ++i) {
                QVERIFY2(dates[i - 1] <= dates[i], qPrintable(texts[i]));
                if (dates[i - 1] == dates[i])
                    QVERIFY2(texts[i - 1] < texts[i], qPrintable(texts[i]));
            }
        }
    }

    void cancellingABackupKeepsNothingOfTheRun()
    {
        MsgStoreBuilder earlier;
        writeDirectly(someMessages(earlier, 5));
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 4000);
        ProgressForm form("", nullptr);
        BackupSMSThread thread(messages, b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        QString shown;
        driver.then(cancelOnceProgressShows("^SMS: \\d+/", &shown));
        QCOMPARE(DialogDriver::runUnder(form, thread), 0);
        QVERIFY(form.failed);
        QVERIFY2(shown != "SMS: 4000/4000", qPrintable(shown)); // cancelled in the middle
        QCOMPARE(driver.seenBoxes().size(), 0);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 5);
    }

    void aBackupWhoseCommitFailsReportsIt()
    {
        MsgStoreBuilder earlier;
        writeDirectly(someMessages(earlier, 5));
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 20);
        for (_MsgMessage *m : messages)
            m->text += " (new)";
        ProgressForm form("", nullptr);
        BackupSMSThread thread(messages, b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        {
            ReadLock lock(dbPath());
            QCOMPARE(DialogDriver::runUnder(form, thread), 0);
        }
        QVERIFY(form.failed);
        const QList<DialogDriver::Seen> seen = driver.seenBoxes();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].icon, int(QMessageBox::Critical));
        QVERIFY2(seen[0].text.contains("could not be committed"), qPrintable(seen[0].text));
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 5);
    }

    void aBackupThatCannotOpenItsTargetReportsIt()
    {
        // A file where the database folder should be.
        QDir().mkpath(m_dir->path() + "/local_databases");
        QFile blocker(dbDir().absolutePath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        MsgStoreBuilder b;
        ProgressForm form("", nullptr);
        BackupSMSThread thread(someMessages(b, 2), b.store, dbDir(), QString(), &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 0);
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Critical));
    }

    // ---- delete ---------------------------------------------------------------

    void deleteMessages_data()
    {
        QTest::addColumn<QList<int>>("which"); // indexes into the stored messages by text order
        QTest::addColumn<int>("chatsLeft");
        QTest::newRow("nothing") << QList<int>{} << 2;
        QTest::newRow("the last message of a chat") << QList<int>{0} << 1;
        QTest::newRow("one of two") << QList<int>{1} << 2;
        QTest::newRow("everything") << QList<int>{0, 1, 2} << 0;
    }
    void deleteMessages()
    {
        QFETCH(QList<int>, which);
        QFETCH(int, chatsLeft);
        {
            MsgStoreBuilder b;
            _MsgHandle *anna = b.handle("+491701");
            _MsgHandle *ben = b.handle("+491702");
            _MsgChat *alone = b.chat({anna});
            _MsgChat *pair = b.chat({ben});
            b.message(alone, anna, "a0", 1);
            b.message(pair, ben, "b1", 2);
            b.message(pair, nullptr, "b2", 3);
            writeDirectly(b.messages());
        }
        IOS6MessageDb db(dbDir(), QString(), true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        QList<_MsgMessage *> stored = store->messages.values();
        std::stable_sort(stored.begin(), stored.end(),
                         [](const _MsgMessage *x, const _MsgMessage *y) { return x->text < y->text; });
        QList<_MsgMessage *> chosen;
        for (int i : which)
            chosen << stored[i];

        ProgressForm form("", nullptr);
        DeleteMessagesThread thread(&db, chosen, store, &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 1);
        const QList<DialogDriver::Seen> seen = driver.seenBoxes();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].text, QString("Successfully Deleted %1 SMS.").arg(which.size()));
        QCOMPARE(form.widgets()->lbStatus->text(), "Deleting SMS...");
        QCOMPARE(chosen.size(), which.size()); // the caller's list is left as it was
        db.close();
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 3 - which.size());
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), chatsLeft);
    }

    void theDeleteKeepsItsSourceStoreAlive()
    {
        // As with the backup: the records the worker deletes by belong to a
        // store the node may drop while the dialog is open.
        {
            MsgStoreBuilder b;
            writeDirectly(someMessages(b, 30));
        }
        IOS6MessageDb db(dbDir(), QString(), true);
        ProgressForm form("", nullptr);
        std::unique_ptr<DeleteMessagesThread> thread;
        QWeakPointer<_MsgStore> watch;
        {
            QSharedPointer<_MsgStore> store;
            newMsgStore(store);
            db.messages(store, 0);
            QList<_MsgMessage *> chosen = store->messages.values();
            chosen.removeLast();
            watch = store;
            thread.reset(new DeleteMessagesThread(&db, chosen, store, &form, nullptr));
            chosen.clear(); // the caller's list may go too
        }
        QVERIFY(!watch.isNull());
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, *thread), 1);
        QCOMPARE(driver.seenBoxes().value(0).text, QString("Successfully Deleted 29 SMS."));
        db.close();
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 1);
        thread.reset();
        QVERIFY(watch.isNull());
    }

    void deleteFailuresAndCancelChangeNothing_data()
    {
        QTest::addColumn<bool>("cancel"); // else the commit fails
        QTest::newRow("failed commit") << false;
        QTest::newRow("cancel") << true;
    }
    void deleteFailuresAndCancelChangeNothing()
    {
        QFETCH(bool, cancel);
        const int count = cancel ? 3000 : 30;
        {
            MsgStoreBuilder b;
            writeDirectly(someMessages(b, count));
        }
        IOS6MessageDb db(dbDir(), QString(), true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        QList<_MsgMessage *> all = store->messages.values();
        QCOMPARE(all.size(), count);

        ProgressForm form("", nullptr);
        DeleteMessagesThread thread(&db, all, store, &form, nullptr);
        DialogDriver driver;
        QString shown;
        std::unique_ptr<ReadLock> lock;
        if (cancel) {
            driver.then(cancelOnceProgressShows("^Progress:[1-9]", &shown));
        } else {
            driver.thenPress(QMessageBox::Ok);
            lock.reset(new ReadLock(dbPath()));
        }
        QCOMPARE(DialogDriver::runUnder(form, thread), 0);
        lock.reset();
        QVERIFY(form.failed);
        if (cancel) {
            QCOMPARE(driver.seenBoxes().size(), 0);
            QVERIFY2(shown != "Progress:100%", qPrintable(shown));
        } else {
            QCOMPARE(driver.seenBoxes().size(), 1);
            QVERIFY2(driver.seenBoxes()[0].text.contains("could not be committed"), qPrintable(driver.seenBoxes()[0].text));
        }
        QVERIFY(!db.isInTransaction());
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), count);

        // The database object stays usable for the next operation.
        QList<_MsgMessage *> one = {all.first()};
        ProgressForm again("", nullptr);
        DeleteMessagesThread retry(&db, one, store, &again, nullptr);
        DialogDriver driver2;
        driver2.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(again, retry), 1);
        db.close();
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), count - 1);
    }
};

QP_TEST_MAIN(TestLocalDbThreads)

} // namespace tst_localdbthreads

#include "tst_localdbthreads.moc"
