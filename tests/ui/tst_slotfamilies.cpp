// Which messages a menu slot hands its operation, seen through the transfer
// to an iPhone: what arrives on the virtual phone after the fake backup
// program restored onto it. Sel takes the selected rows, Chat the shown
// conversation, All the whole device or database, and the bare slot of the
// File menu picks among the three.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "store/msgrecords.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/iphonetransfer.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/itemmodelsms.h"

#include <QItemSelectionModel>
#include <memory>

namespace tst_slotfamilies {

using namespace testsupport;

namespace {

// Three messages in two conversations: Anna has the first and the third.
MsgFixtureContent threeMessages()
{
    return conversationsWithTexts({QString::fromUtf8("Anna Schmidt"), QString::fromUtf8("Bernd M\u00fcller")},
                                  {QString::fromUtf8("Kommst du heute? \U0001F600"),
                                   QString::fromUtf8("Tickets: Reihe 12 <Balkon> & Sitz 3"),
                                   QString::fromUtf8("Bis sp\u00e4ter!")});
}

// The guids of some of the three, with those a typical phone holds.
QStringList onPhoneWith(const QList<int> &which)
{
    const MsgFixtureContent three = threeMessages();
    QStringList guids = fixtureGuids(typicalConversations());
    for (int i : which)
        guids.append(three.messages.at(i).guid);
    guids.sort();
    return guids;
}

using Slot = void (MainWindow::*)();

} // namespace

class TestSlotFamilies : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    QTemporaryDir scratch;
    FakeAdb adb;
    IdsTranslator translator;
    int serial = 0;
    std::unique_ptr<MainWindow> shared;
    DialogDriver *driver = nullptr;
    // The phone each case puts messages on.
    VirtualIPhoneSetup target;
    QString targetFolder;

    QString recordFile() const { return scratch.filePath("backup-args.txt"); }
    QString targetName() const { return target.values["DeviceName"].toString(); }

    // The node a path names: "three", "three/Bernd Müller", or "lab" (the
    // data folder's phone).
    MainWindow::Node *nodeAt(const QString &path)
    {
        MainWindow &window = *shared;
        const QStringList parts = path.split('/');
        MainWindow::Node *node = parts[0] == "lab" ? window.treeModel()->rootDevice->children.first()
                                                   : localDbNode(window, parts[0]);
        if (parts.size() > 1 && node) {
            MainWindow::Node *found = nullptr;
            for (MainWindow::Node *child : node->children) {
                if (child->text == parts[1])
                    found = child;
            }
            node = found;
        }
        return node;
    }

    // Shows the node with its messages and then selects the list's rows.
    void show(const QString &path, int shownRows, const QList<int> &rows = {})
    {
        MainWindow &window = *shared;
        MainWindow::Node *node = nodeAt(path);
        QVERIFY2(node, qPrintable(path));
        selectNode(window, node);
        QTRY_COMPARE(window.messageModel()->rowCount(), shownRows);
        QItemSelectionModel *selection = window.widgets()->treeViewSMS->selectionModel();
        selection->clearSelection();
        for (int row : rows)
            selection->select(window.messageModel()->index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    // The index in threeMessages of each shown row.
    QList<int> shownAsFixture(const QList<int> &rows) const
    {
        const QStringList three = fixtureGuids(threeMessages());
        QList<int> which;
        for (int row : rows)
            which.append(int(three.indexOf(shared->messageModel()->messages.at(row)->guid)));
        return which;
    }

    // Runs slot with the chooser and the notes answered and the success box
    // closed; answers the boxes it showed.
    QList<DialogDriver::Seen> transfer(Slot slot)
    {
        QStringList offered;
        driver->then(chooseTarget(&offered, targetName()));
        driver->thenPress(QMessageBox::Yes);
        driver->thenPress(QMessageBox::Ok);
        return driver->boxesDuring([&]() { (shared.get()->*slot)(); });
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator, phones.path(), QP_COMMON_FILES);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        const QString data = appDataDir().absolutePath();
        clearWindowData(data);
        writeWindowDb(data, "local_databases", "three", threeMessages());
        writeWindowDb(data, "local_databases", "empty", MsgFixtureContent());
        writeWindowDb(data, "virtual_ios", "lab", threeMessages());
        shared = std::make_unique<MainWindow>();
    }
    void cleanupTestCase() { shared.reset(); }

    // Each case gets a phone of its own to put messages on.
    void init()
    {
        qunsetenv("QP_FAKE_BACKUP_MODE");
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(recordFile()));
        QFile::remove(recordFile());
        driver = new DialogDriver(this);
        ++serial;
        target = transferPhone(QStringLiteral("target%1").arg(serial),
                               QStringLiteral("00008101-000A7C2E3E91%1").arg(serial, 4, 10, QChar('0')),
                               QString::fromUtf8("Lena\u2019s iPhone %1").arg(serial));
        QVERIFY(plugIPhone(*shared, *driver, phones.path(), target, &targetFolder));
    }
    void cleanup()
    {
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
        QTRY_VERIFY_WITH_TIMEOUT(shared->iosDevices().isEmpty(), 20000);
        delete driver;
        driver = nullptr;
    }

    void selWithTwoRowsPutsThoseTwo()
    {
        show("three", 3, {0, 2});
        const QList<int> which = shownAsFixture({0, 2});
        const QList<DialogDriver::Seen> boxes = transfer(&MainWindow::miDb2ISel);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].text, QString("Successfully recovered 2 SMS to iPhone."));
        QCOMPARE(phoneMessageGuids(targetFolder), onPhoneWith(which));
    }

    // An empty selection still runs the whole dialogue; the merge then has
    // nothing to take, says so, and nothing is restored.
    void selWithNoneEndsAtTheMerge()
    {
        show("three", 3);
        const QStringList before = phoneMessageGuids(targetFolder);
        const QList<DialogDriver::Seen> boxes = transfer(&MainWindow::miDb2ISel);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].icon, int(QMessageBox::Question));
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        QVERIFY2(boxes[1].text.contains("No message for recovering"), qPrintable(boxes[1].text));
        QVERIFY(lastBackupCommand(recordFile()).contains("\nbackup\n"));
        QCOMPARE(phoneMessageGuids(targetFolder), before);
    }

    // Another phone arrives during the run and its messages take the list;
    // the run keeps the conversation it was given.
    void chatTakesTheShownConversation()
    {
        MainWindow &window = *shared;
        show("three/Anna Schmidt", 2);
        const QList<int> which = shownAsFixture({0, 1});
        const VirtualIPhoneSetup visitor =
            transferPhone("visitor", "00008101-000A7C2E3E91FFFF", QString::fromUtf8("Besuch \U0001F4F1"));
        QStringList offered;
        bool listTaken = false;
        driver->then(chooseTarget(&offered, targetName()));
        driver->thenBox([&](QWidget *box) {
            writeVirtualIPhone(phones.path(), visitor);
            listTaken = QTest::qWaitFor(
                [&]() {
                    const QList<MainWindow::Node *> nodes = iphoneNodes(window, "00008101-000A7C2E3E91FFFF");
                    return !nodes.isEmpty()
                           && window.widgets()->treeViewDS->currentIndex() == window.treeModel()->indexOf(nodes[0])
                           && window.messageModel()->rowCount() == int(typicalConversations().messages.size());
                },
                30000);
            DialogDriver::press(box, QMessageBox::Yes);
        });
        driver->thenPress(QMessageBox::Ok); // the visitor's arrival note
        driver->thenPress(QMessageBox::Ok);
        const QList<DialogDriver::Seen> boxes = driver->boxesDuring([&]() { window.miDb2IChat(); });

        QVERIFY(listTaken);
        QCOMPARE(boxes.size(), 3);
        QCOMPARE(boxes[2].text, QString("Successfully recovered 2 SMS to iPhone."));
        QCOMPARE(phoneMessageGuids(targetFolder), onPhoneWith(which));
    }

    void allTakesEverything()
    {
        show("three", 3);
        const QList<DialogDriver::Seen> boxes = transfer(&MainWindow::miDb2IAll);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].text, QString("Successfully recovered 3 SMS to iPhone."));
        QCOMPARE(phoneMessageGuids(targetFolder), onPhoneWith({0, 1, 2}));
    }

    void allOnAnEmptyNodeShowsNoChooser()
    {
        show("empty", 0);
        const int seen = int(driver->seen().size());
        shared->miDb2IAll();
        QCoreApplication::processEvents();
        QCOMPARE(driver->seen().size(), seen);
        QVERIFY(!QFile::exists(recordFile()));
    }

    // The File menu's slot: the selected rows when there are any, else the
    // shown conversation on a conversation row, else the whole node.
    void theBareSlotPicks_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("shownRows");
        QTest::addColumn<QList<int>>("selectedRows");
        QTest::addColumn<QList<int>>("sentRows"); // rows of the list whose messages go
        QTest::addColumn<bool>("fromDevice");
        QTest::newRow("rows selected: those") << "three" << 3 << QList<int>{1} << QList<int>{1} << false;
        QTest::newRow("rows selected in a conversation: those")
            << "three/Anna Schmidt" << 2 << QList<int>{1} << QList<int>{1} << false;
        QTest::newRow("conversation row: the shown list")
            << QString::fromUtf8("three/Bernd M\u00fcller") << 1 << QList<int>{} << QList<int>{0} << false;
        QTest::newRow("database node: all") << "three" << 3 << QList<int>{} << QList<int>{0, 1, 2} << false;
        QTest::newRow("device node: all") << "lab" << 3 << QList<int>{} << QList<int>{0, 1, 2} << true;
    }
    void theBareSlotPicks()
    {
        QFETCH(QString, path);
        QFETCH(int, shownRows);
        QFETCH(QList<int>, selectedRows);
        QFETCH(QList<int>, sentRows);
        QFETCH(bool, fromDevice);
        show(path, shownRows, selectedRows);
        const QList<int> which = shownAsFixture(sentRows);
        const QList<DialogDriver::Seen> boxes = transfer(fromDevice ? &MainWindow::miI2I : &MainWindow::miDb2I);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].text, QString("Successfully recovered %1 SMS to iPhone.").arg(sentRows.size()));
        QCOMPARE(phoneMessageGuids(targetFolder), onPhoneWith(which));
    }
};

QP_TEST_MAIN(TestSlotFamilies)

} // namespace tst_slotfamilies

#include "tst_slotfamilies.moc"
