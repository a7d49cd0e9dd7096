// Deleting from a local database through the real window: the selected rows,
// a whole conversation, and "Delete SMS" choosing between them and the whole
// database. What the database file holds afterwards is read on a connection
// of the test's own; the records left in memory are painted (freed ones would
// be read there under the sanitizers). Boxes are answered by the dialog
// driver; the fake adb stands first on PATH.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/progressform.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/ios6messagedb.h"
#include "store/msgtext.h"
#include "tests/support/attributedbodyfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "tests/support/windownodes.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"
#include "ui_progressform.h"

#include <QDeadlineTimer>
#include <QEvent>
#include <QHeaderView>
#include <functional>
#include <memory>

namespace tst_deletemessages {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

QString dataDir()
{
    return appDataDir().absolutePath();
}

// A local database as a backup of a busy phone leaves it: a named contact, an
// e-mail handle on iMessage whose first message kept its words only in
// attributedBody, a group of three with emoji, and the first message of the
// day joined to both Anna's chat and the group (phones join a message to
// every chat it was delivered to).
MsgFixtureContent archiveContent()
{
    MsgFixtureContent content = typicalConversations();
    content.messages[0].chats = {1, 3};
    content.messages[2].attributedBody = attributedBodyArchive(content.messages[2].text);
    content.messages[2].text.clear();
    return content;
}

QString archiveFolder()
{
    return localDatabasesDir().absoluteFilePath("archive");
}

QString archivePath()
{
    return messageDbPath(archiveFolder());
}

// Rowids of the message table, then of chat_message_join as "chat:message",
// then of the chat table: the whole of what a deletion may touch.
QString fileState(const QString &path)
{
    QStringList parts;
    QStringList rows;
    for (const QVariantList &row : queryRows(path, "select rowid from message order by rowid"))
        rows << row.value(0).toString();
    parts << rows.join(',');
    rows.clear();
    for (const QVariantList &row :
         queryRows(path, "select chat_id, message_id from chat_message_join order by chat_id, message_id"))
        rows << row.value(0).toString() + ':' + row.value(1).toString();
    parts << rows.join(',');
    rows.clear();
    for (const QVariantList &row : queryRows(path, "select rowid from chat order by rowid"))
        rows << row.value(0).toString();
    parts << rows.join(',');
    return parts.join(" | ");
}

const QString kUntouched = "1,2,3,4,5,6,7,8 | 1:1,1:2,1:8,2:3,2:4,3:1,3:5,3:6,3:7 | 1,2,3";

_AbsDBItemNode *database(MainWindow &window, const QString &name)
{
    return static_cast<_AbsDBItemNode *>(childNamed(window.treeModel()->rootLocalDB, name));
}

// The conversation row of a source whose chats carry the identifier.
Node *conversation(Node *source, const QString &identifier)
{
    for (Node *child : source->children) {
        auto *row = static_cast<_ChatSessionItemNode *>(child);
        if (!row->session.chats.isEmpty() && row->session.chats.first()->chat_identifier == identifier)
            return child;
    }
    return nullptr;
}

void select(MainWindow &window, Node *node)
{
    window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(node));
    QCoreApplication::processEvents();
}

// Selects the list rows whose text contains one of the words.
void selectRows(MainWindow &window, const QStringList &words)
{
    QItemSelectionModel *selection = window.widgets()->treeViewSMS->selectionModel();
    selection->clearSelection();
    const QList<_MsgMessage *> shown = window.messageModel()->messages;
    for (int row = 0; row < shown.size(); ++row) {
        for (const QString &word : words) {
            if (displayText(*shown.at(row)).contains(word))
                selection->select(window.messageModel()->index(row, 0),
                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
}

QStringList shownTexts(MainWindow &window)
{
    QStringList texts;
    for (_MsgMessage *message : window.messageModel()->messages)
        texts << displayText(*message);
    return texts;
}

// Rowids of the messages a chat of the store holds.
QList<qint64> chatMessageRowids(_AbsDBItemNode *source, qint64 chatRowid)
{
    QList<qint64> rowids;
    _MsgChat *chat = source->store->chats.value(chatRowid);
    if (!chat)
        return {-1};
    for (const qint64 key : chat->messages.keys())
        rowids << key;
    std::sort(rowids.begin(), rowids.end());
    return rowids;
}

// Paints every view: a list or row that still held freed records would be
// read here.
void paintAll(MainWindow &window)
{
    window.widgets()->treeViewSMS->resize(600, 300);
    (void)window.grab();
    QCoreApplication::processEvents();
}

// A phone node added the way an arrival adds it, over a database folder.
_AbsDBItemNode *addPhone(MainWindow &window, bool android)
{
    const QString name = android ? "pixel" : "iphone";
    const QString folder = writeWindowDb(dataDir(), "test_phones", name, archiveContent());
    QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(folder), QString(), false));
    _AbsDBItemNode *node = nullptr;
    if (android) {
        AndroidDevice device;
        device.model = name;
        device.serial = "R58M12ABCDE";
        node = window.treeModel()->addAndroidDevice(db, device);
    } else {
        IOSDevice device;
        device.deviceName = name;
        device.uniqueDeviceId = "00008030-001A35E22E38802E";
        node = window.treeModel()->addIOSDevice(db, device);
    }
    node->db->chats(node->store);
    window.treeModel()->loadChatSessions(node);
    return node;
}

} // namespace

// Runs an action, once, when the first queued call reaches a progress form
// that is up: before the call itself, so the action sees the form as the
// worker left it.
class ActOnFirstReport : public QObject
{
public:
    explicit ActOnFirstReport(std::function<void(ProgressForm *)> action) : action(std::move(action)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!done && event->type() == QEvent::MetaCall) {
            auto *form = qobject_cast<ProgressForm *>(watched);
            if (form && form->isVisible()) {
                done = true;
                action(form);
            }
        }
        return false;
    }

private:
    std::function<void(ProgressForm *)> action;
    bool done = false;
};

class TestDeleteMessages : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    FakeAdb adb;
    IdsTranslator translator;
    std::unique_ptr<MainWindow> window;

    // A window over the archive database, selected and loaded.
    _AbsDBItemNode *openArchive()
    {
        window = std::make_unique<MainWindow>();
        _AbsDBItemNode *archive = database(*window, "archive");
        if (!archive)
            return nullptr;
        select(*window, archive);
        return archive;
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void init()
    {
        clearWindowData(dataDir());
        QDir(QDir(dataDir()).absoluteFilePath("test_phones")).removeRecursively();
        QVERIFY(markUpdateCheckDone(dataDir()));
        writeWindowDb(dataDir(), "local_databases", "archive", archiveContent());
        QCOMPARE(fileState(archivePath()), kUntouched);
    }

    void cleanup() { window.reset(); }

    // ---- the selected rows ---------------------------------------------------

    void selectedRowsGoOnlyAfterYes_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }
    void selectedRowsGoOnlyAfterYes()
    {
        QFETCH(bool, yes);
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        Node *bernd = conversation(archive, "bernd.mueller@example.org");
        QVERIFY(bernd);
        select(*window, bernd);
        QCOMPARE(shownTexts(*window),
                 QStringList({"Did you get the tickets?", QString::fromUtf8("Yes \u2013 row 12, seats 3 & 4 <balcony>")}));
        // The first row's words live only in attributedBody.
        selectRows(*window, {"tickets"});

        DialogDriver driver;
        driver.thenPress(yes ? QMessageBox::Yes : QMessageBox::No);
        if (yes)
            driver.thenPress(QMessageBox::Ok);
        window->miDelSel();
        QCoreApplication::processEvents();

        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), yes ? 2 : 1);
        QCOMPARE(boxes[0].text, QString("Confirm to delete the selected SMS?"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Question));
        if (yes) {
            QCOMPARE(boxes[1].text, QString("Successfully Deleted 1 SMS."));
            QCOMPARE(fileState(archivePath()), QString("1,2,4,5,6,7,8 | 1:1,1:2,1:8,2:4,3:1,3:5,3:6,3:7 | 1,2,3"));
            QVERIFY(!archive->store->messages.contains(3));
            QCOMPARE(chatMessageRowids(archive, 2), QList<qint64>({4}));
            // The conversation is shown again with what is left of it.
            QTRY_COMPARE(shownTexts(*window), QStringList({QString::fromUtf8("Yes \u2013 row 12, seats 3 & 4 <balcony>")}));
            QCOMPARE(window->widgets()->treeViewDS->currentIndex(), window->treeModel()->indexOf(bernd));
        } else {
            QCOMPARE(fileState(archivePath()), kUntouched);
            QCOMPARE(archive->store->messages.size(), 8);
            QCOMPARE(shownTexts(*window).size(), 2);
        }
        paintAll(*window);
    }

    void cancelledDeletionLeavesFileAndMemory()
    {
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        QCOMPARE(shownTexts(*window).size(), 8);
        selectRows(*window, {"Hallo", "Kuchen", "samedi"});
        const QList<_MsgMessage *> before = window->messageModel()->messages;

        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        // Another reader keeps the commit waiting, so Cancel always comes first.
        auto lock = std::make_unique<ReadLock>(archivePath());
        driver.then([](QWidget *w) {
            auto *form = qobject_cast<ProgressForm *>(w);
            QVERIFY(form);
            QTest::mousePress(form->widgets()->btnCancel, Qt::LeftButton);
        });
        window->miDelSel();
        lock.reset();
        QCoreApplication::processEvents();

        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seen().size(), 2);
        QCOMPARE(fileState(archivePath()), kUntouched);
        QCOMPARE(archive->store->messages.size(), 8);
        QCOMPARE(chatMessageRowids(archive, 1), QList<qint64>({1, 2, 8}));
        QCOMPARE(chatMessageRowids(archive, 3), QList<qint64>({1, 5, 6, 7}));
        QCOMPARE(window->messageModel()->messages, before);
        paintAll(*window);
    }

    // Cancel pressed after the commit, before its report arrives: the
    // deletion has happened, so memory and the tree follow the file.
    void aCancelAfterTheCommitStillFreesTheDeleted()
    {
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        Node *bernd = conversation(archive, "bernd.mueller@example.org");
        select(*window, bernd);
        const QString deleted = "1,2,5,6,7,8 | 1:1,1:2,1:8,3:1,3:5,3:6,3:7 | 1,3";

        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        bool committedFirst = false;
        // The press must come before the form takes the success report,
        // which a loaded machine may deliver before the driver's next look:
        // it comes with the first report the running form gets.
        ActOnFirstReport cancel([&](ProgressForm *form) {
            // No event runs meanwhile: the success report stays queued.
            // (A read meets the lock while the commit is under way.)
            const auto committed = [&] {
                try {
                    return fileState(archivePath()) == deleted;
                } catch (const std::exception &) {
                    return false;
                }
            };
            QDeadlineTimer deadline(20000);
            while (!committed() && !deadline.hasExpired())
                QThread::msleep(20);
            committedFirst = !deadline.hasExpired();
            QTest::mousePress(form->widgets()->btnCancel, Qt::LeftButton);
        });
        qApp->installEventFilter(&cancel);
        window->miDelChat();
        qApp->removeEventFilter(&cancel);
        QCoreApplication::processEvents();

        QVERIFY(committedFirst);
        QCOMPARE(fileState(archivePath()), deleted);
        QVERIFY(!conversation(archive, "bernd.mueller@example.org"));
        QVERIFY(!archive->store->chats.contains(2));
        QCOMPARE(archive->store->messages.size(), 6);
        QVERIFY(shownTexts(*window).isEmpty());
        paintAll(*window);
    }

    // Every message of a conversation, chosen in the list: the chat goes with
    // its last message from the database, the store and the tree, so no
    // later reload of the node into this store can bring back an empty row.
    void wholeConversationBySelectionLeavesNoRow()
    {
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        Node *bernd = conversation(archive, "bernd.mueller@example.org");
        const int rowsBefore = int(archive->children.size());
        select(*window, bernd);
        window->widgets()->treeViewSMS->selectAll();

        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        window->miDel();
        QCoreApplication::processEvents();

        QCOMPARE(driver.seenBoxes().size(), 2);
        QCOMPARE(driver.seenBoxes()[1].text, QString("Successfully Deleted 2 SMS."));
        QCOMPARE(fileState(archivePath()), QString("1,2,5,6,7,8 | 1:1,1:2,1:8,3:1,3:5,3:6,3:7 | 1,3"));
        QVERIFY(!conversation(archive, "bernd.mueller@example.org"));
        QCOMPARE(archive->children.size(), rowsBefore - 1);
        QVERIFY(!archive->store->chats.contains(2));
        QCOMPARE(archive->store->chats.size(), 2);
        // Its database node is shown instead, with what is left of it.
        QTRY_COMPARE(window->widgets()->treeViewDS->currentIndex(), window->treeModel()->indexOf(archive));
        QTRY_COMPARE(shownTexts(*window).size(), 6);
        paintAll(*window);
    }

    // ---- a whole conversation -------------------------------------------------

    void conversationRemovesRowAndChats()
    {
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        Node *bernd = conversation(archive, "bernd.mueller@example.org");
        select(*window, bernd);
        // Any selection in the list plays no part in deleting the conversation.
        selectRows(*window, {"balcony"});
        QAction *deleteAction = window->operationActions().last();
        QVERIFY(deleteAction->isEnabled());

        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        window->miDelChat();
        QCoreApplication::processEvents();

        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].text, QString("Confirm to delete SMS with this contact?"));
        QCOMPARE(boxes[1].text, QString("Successfully Deleted 2 SMS."));
        QCOMPARE(fileState(archivePath()), QString("1,2,5,6,7,8 | 1:1,1:2,1:8,3:1,3:5,3:6,3:7 | 1,3"));
        QVERIFY(!conversation(archive, "bernd.mueller@example.org"));
        QCOMPARE(archive->children.size(), 2);
        QVERIFY(!archive->store->chats.contains(2));
        QCOMPARE(archive->store->messages.size(), 6);
        QVERIFY(!window->widgets()->treeViewDS->currentIndex().isValid());
        QVERIFY(shownTexts(*window).isEmpty());
        // Nothing is selected, so nothing is offered: DEL and the rest are off.
        for (QAction *action : window->operationActions())
            QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
        paintAll(*window);

        // The database read again agrees with what memory kept.
        window.reset();
        archive = openArchive();
        QCOMPARE(archive->children.size(), 2);
        QCOMPARE(archive->store->messages.size(), 6);
    }

    // A message joined to two chats is one record in both; deleting it by
    // either road leaves neither chat pointing at it.
    void messageInTwoChatsGoesFromBoth_data()
    {
        QTest::addColumn<bool>("wholeConversation");
        QTest::newRow("selected in Anna's chat") << false;
        QTest::newRow("Anna's conversation") << true;
    }
    void messageInTwoChatsGoesFromBoth()
    {
        QFETCH(bool, wholeConversation);
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        QCOMPARE(chatMessageRowids(archive, 3), QList<qint64>({1, 5, 6, 7}));
        Node *anna = conversation(archive, "+4915112345678");
        select(*window, anna);

        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        if (wholeConversation) {
            window->miDelChat();
        } else {
            selectRows(*window, {"Hallo"});
            window->miDelSel();
        }
        QCoreApplication::processEvents();
        QCOMPARE(driver.seenBoxes().size(), 2);

        QVERIFY(!archive->store->messages.contains(1));
        QCOMPARE(chatMessageRowids(archive, 3), QList<qint64>({5, 6, 7}));
        QVERIFY(queryRows(archivePath(), "select * from chat_message_join where message_id = 1").isEmpty());
        Node *group = conversation(archive, "chat493827164503921876");
        select(*window, group);
        QCOMPARE(shownTexts(*window).size(), 3);
        QVERIFY(!shownTexts(*window).join('\n').contains("Hallo"));
        paintAll(*window);
    }

    // ---- which deletion "Delete SMS" asks for -------------------------------------

    void deleteSmsAsksForWhatIsSelected_data()
    {
        QTest::addColumn<bool>("onConversation");
        QTest::addColumn<bool>("withSelection");
        QTest::addColumn<QString>("question");
        QTest::newRow("rows of a conversation") << true << true << "Confirm to delete the selected SMS?";
        QTest::newRow("rows of the database") << false << true << "Confirm to delete the selected SMS?";
        QTest::newRow("conversation, no rows") << true << false << "Confirm to delete SMS with this contact?";
        QTest::newRow("database, no rows") << false << false << "Confirm to delete this Database?";
    }
    void deleteSmsAsksForWhatIsSelected()
    {
        QFETCH(bool, onConversation);
        QFETCH(bool, withSelection);
        QFETCH(QString, question);
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        if (onConversation)
            select(*window, conversation(archive, "chat493827164503921876"));
        if (withSelection)
            selectRows(*window, {"samedi"});

        DialogDriver driver;
        driver.thenPress(QMessageBox::No);
        window->miDel();
        QCoreApplication::processEvents();
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].text, question);
        QCOMPARE(fileState(archivePath()), kUntouched);
        QVERIFY(database(*window, "archive"));
    }

    // Phones and their conversations are read only: nothing is asked.
    void nothingIsAskedOnPhones_data()
    {
        QTest::addColumn<bool>("android");
        QTest::addColumn<bool>("onConversation");
        QTest::addColumn<bool>("withSelection");
        QTest::newRow("iPhone, rows") << false << false << true;
        QTest::newRow("iPhone conversation, rows") << false << true << true;
        QTest::newRow("iPhone conversation, no rows") << false << true << false;
        QTest::newRow("iPhone, no rows") << false << false << false;
        QTest::newRow("Android conversation, rows") << true << true << true;
        QTest::newRow("Android conversation, no rows") << true << true << false;
    }
    void nothingIsAskedOnPhones()
    {
        QFETCH(bool, android);
        QFETCH(bool, onConversation);
        QFETCH(bool, withSelection);
        window = std::make_unique<MainWindow>();
        _AbsDBItemNode *phone = addPhone(*window, android);
        const QString path = messageDbPath(QDir(dataDir()).absoluteFilePath(
            QStringLiteral("test_phones/") + (android ? "pixel" : "iphone")));
        // Selecting the phone reads its messages; its conversations show them.
        select(*window, phone);
        if (onConversation)
            select(*window, conversation(phone, "+4915112345678"));
        QVERIFY(!shownTexts(*window).isEmpty());
        if (withSelection)
            window->widgets()->treeViewSMS->selectAll();

        DialogDriver driver;
        // Answers for questions that must not come: they would not hang then.
        for (int i = 0; i < 3; ++i)
            driver.thenPress(QMessageBox::No);
        window->miDelSel();
        window->miDelChat();
        window->miDel();
        QCoreApplication::processEvents();
        QVERIFY(driver.seen().isEmpty());
        QCOMPARE(fileState(path), kUntouched);
        QCOMPARE(phone->store->messages.size(), 8);
        QCOMPARE(phone->children.size(), 3);
        paintAll(*window);
    }

    // After a database fails to load (here another program held it locked),
    // the list still shows the records of the node shown before. They are not
    // the failed database's to delete: neither file loses rows that share
    // their rowids, and no record is freed.
    void anotherStoresRecordsAreNeverDeleted()
    {
        writeWindowDb(dataDir(), "local_databases", "busy", archiveContent());
        const QString busyPath = messageDbPath(localDatabasesDir().absoluteFilePath("busy"));
        _AbsDBItemNode *archive = openArchive();
        QVERIFY(archive);
        QCOMPARE(shownTexts(*window).size(), 8);
        const QList<_MsgMessage *> shown = window->messageModel()->messages;

        {
            SqliteFixture holder(busyPath);
            holder.exec("begin exclusive");
            Sqlite3DB::setBusyTimeout(100);
            DialogDriver driver;
            driver.thenPress(QMessageBox::Ok);
            select(*window, database(*window, "busy"));
            Sqlite3DB::setBusyTimeout(Sqlite3DB::kDefaultBusyTimeoutMs);
            QTRY_COMPARE(driver.seenBoxes().size(), 1);
            QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Critical));
        }
        QCOMPARE(window->messageModel()->messages, shown);

        window->widgets()->treeViewSMS->selectAll();
        // Answers for a deletion that must not ask: it would not hang then.
        DialogDriver driver;
        for (int i = 0; i < 2; ++i) {
            driver.thenPress(QMessageBox::Yes);
            driver.thenPress(QMessageBox::Ok);
        }
        window->miDelSel();
        window->miDel();
        QCoreApplication::processEvents();
        QCOMPARE(fileState(busyPath), kUntouched);
        QCOMPARE(fileState(archivePath()), kUntouched);
        QVERIFY(driver.seen().isEmpty());
        QCOMPARE(archive->store->messages.size(), 8);
        QCOMPARE(window->messageModel()->messages, shown);
        paintAll(*window);
    }
};

QP_TEST_MAIN(TestDeleteMessages)

} // namespace tst_deletemessages

#include "tst_deletemessages.moc"
