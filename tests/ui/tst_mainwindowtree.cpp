// The main window through its real widgets, offscreen: what construction finds
// in the data folder, what a selection shows, how nodes leave the tree while
// the list shows them, the menus and action states, both searches, the small
// commands and a screenshot of a phone's conversations. Boxes are answered by
// the dialog driver; the fake adb stands first on PATH for every window.
#include "android/androidmonitor.h"
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "ios/iosmobilebackupthread.h"
#include "platform/desktop/desktopopener.h"
#include "store/ios6messagedb.h"
#include "store/msgtext.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/permissionsapply.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "tests/support/windownodes.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QToolBar>
#include <functional>

namespace tst_mainwindowtree {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const QByteArray kAdbHeader = "List of devices attached\n";

void *handleOf(quintptr value)
{
    return reinterpret_cast<void *>(value);
}

QString dataDir()
{
    return appDataDir().absolutePath();
}

QStringList childTexts(Node *parent)
{
    QStringList texts;
    for (Node *child : parent->children)
        texts << child->text;
    return texts;
}

void select(MainWindow &window, Node *node)
{
    window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(node));
}

QStringList shownTexts(MainWindow &window)
{
    QStringList texts;
    for (_MsgMessage *message : window.messageModel()->messages)
        texts << displayText(*message);
    return texts;
}

QString countLabel(MainWindow &window)
{
    return window.widgets()->lbSMSCount->text();
}

// "10010001100"-like: one digit per operation action, in member order.
QString actionStates(MainWindow &window)
{
    QString states;
    for (QAction *action : window.operationActions())
        states += action->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    return states;
}

// The entries of the context menu that open() pops up (" [off]" marks a
// disabled one); empty when none shows.
QStringList readMenu(const std::function<void()> &open)
{
    QStringList entries;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&entries]() {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions())
            entries << action->text() + (action->isEnabled() ? QString() : QStringLiteral(" [off]"));
        menu->close();
    });
    poll.start();
    open();
    return entries;
}

// A phone node added the way an arrival adds it, over a database folder.
_IOSDeviceItemNode *addIPhone(MainWindow &window, const QString &name, void *handle,
                              const MsgFixtureContent &content = typicalConversations())
{
    const QString folder = writeWindowDb(dataDir(), "test_phones", name, content);
    IOSDevice device;
    device.deviceName = name;
    device.uniqueDeviceId = "00008030-" + name;
    device.amDevice = handle;
    QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(folder), QString(), false));
    _IOSDeviceItemNode *node = window.treeModel()->addIOSDevice(db, device);
    node->db->chats(node->store);
    window.treeModel()->loadChatSessions(node);
    return node;
}

_AndroidDeviceItemNode *addAndroid(MainWindow &window, const QString &name, const QString &serial,
                                   bool wifi = false, const QString &uid = QString())
{
    const QString folder = writeWindowDb(dataDir(), "test_phones", name, typicalConversations());
    AndroidDevice device;
    device.model = name;
    device.serial = serial;
    device.isWifi = wifi;
    device.uid = uid;
    QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(folder), QString(), false));
    _AndroidDeviceItemNode *node = window.treeModel()->addAndroidDevice(db, device);
    node->db->chats(node->store);
    window.treeModel()->loadChatSessions(node);
    return node;
}

// Paints every view: a list that still held freed records would be read here.
void paintAll(MainWindow &window)
{
    window.widgets()->treeViewSMS->resize(600, 300);
    (void)window.grab();
    QCoreApplication::processEvents();
}

} // namespace

class TestMainWindowTree : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    FakeAdb adb;
    IdsTranslator translator;
    QList<QUrl> opened;

    void writeCheckedToday()
    {
        QVERIFY(markUpdateCheckDone(dataDir()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QApplication::installTranslator(&translator);
        setMakerServerUrl(server.url());
        adb.answer("start-server", "", "* daemon started successfully\n");
        adb.answer("devices", kAdbHeader + "\n");
        MainWindow::setUsbTipsDelay(-1);
        desktop::setOpener([this](const QUrl &url) {
            opened.append(url);
            return true;
        });
    }

    void init()
    {
        clearWindowData(dataDir());
        QDir(QDir(dataDir()).absoluteFilePath("test_phones")).removeRecursively();
        writeCheckedToday();
        opened.clear();
    }

    void cleanupTestCase() { desktop::setOpener({}); }

    // ---- construction ---------------------------------------------------------

    void emptyDataFolder()
    {
        MainWindow window;
        ItemModelMain *model = window.treeModel();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->rootDevice->text, QString("Devices"));
        QCOMPARE(model->rootLocalDB->text, QString("Local Databases"));
        QVERIFY(model->rootDevice->children.isEmpty());
        QVERIFY(model->rootLocalDB->children.isEmpty());
        QVERIFY(window.widgets()->treeViewDS->isExpanded(model->indexOf(model->rootLocalDB)));
        QCOMPARE(countLabel(window), QString("SMS: 0"));
        QHeaderView *header = window.widgets()->treeViewSMS->header();
        QCOMPARE(header->sortIndicatorSection(), 0);
        QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(window.operationActions().size(), 10);
        QCOMPARE(actionStates(window), QString("0000000000"));
        QCOMPARE(window.windowTitle(), QString("Quillmarten Parlevane"));
        QCOMPARE(window.widgets()->splitter->orientation(), Qt::Horizontal);
        QCOMPARE(window.widgets()->lbChatName->text(), QString("Conversations"));
    }

    void localDatabasesInNameOrderReadLater()
    {
        writeWindowDb(dataDir(), "local_databases", "b", typicalConversations());
        writeWindowDb(dataDir(), "local_databases", "a", typicalConversations());
        QFile plain(localDatabasesDir().absoluteFilePath("c.db"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.write("old format");
        plain.close();
        MainWindow window;
        Node *root = window.treeModel()->rootLocalDB;
        QCOMPARE(childTexts(root), QStringList({"a", "b"}));
        for (Node *node : root->children) {
            QVERIFY(node->children.isEmpty());
            QVERIFY(static_cast<_AbsDBItemNode *>(node)->store->chats.isEmpty());
        }
    }

    void virtualPhoneFolders()
    {
        writeWindowDb(dataDir(), "virtual_ios", "good", typicalConversations());
        writeBrokenWindowDb(dataDir(), "virtual_ios", "broken");
        writeWindowDb(dataDir(), "virtual_android", "pixel", typicalConversations());
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        MainWindow window;
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Critical));
        Node *root = window.treeModel()->rootDevice;
        QCOMPARE(childTexts(root).size(), 3);
        auto *broken = static_cast<_IOSDeviceItemNode *>(root->children.at(0));
        auto *good = static_cast<_IOSDeviceItemNode *>(root->children.at(1));
        QCOMPARE(broken->text, QString("broken"));
        QVERIFY(broken->children.isEmpty());
        QCOMPARE(good->device.deviceName, QString("good"));
        QCOMPARE(good->device.uniqueDeviceId, QDir(dataDir()).absoluteFilePath("virtual_ios/good"));
        QVERIFY(!good->device.amDevice);
        QCOMPARE(good->children.size(), 3);
        auto *pixel = static_cast<_AndroidDeviceItemNode *>(root->children.at(2));
        QCOMPARE(pixel->type, 4);
        QCOMPARE(pixel->device.model, QString("pixel"));
        QCOMPARE(pixel->device.uid, QDir(dataDir()).absoluteFilePath("virtual_android/pixel"));
        QCOMPARE(pixel->children.size(), 3);
        // The group first: its newest message is the newest of all but one.
        QCOMPARE(childTexts(good), childTexts(pixel));
    }

    void closingStopsTheAdbServer()
    {
        const int before = adb.count("kill-server");
        {
            MainWindow window;
            window.show();
            QVERIFY(adb.waitForCalls("devices", 1));
            window.close();
        }
        QCOMPARE(adb.count("kill-server"), before + 1);
    }

    // ---- selection ---------------------------------------------------------------

    void selectingARootClearsTheList()
    {
        writeWindowDb(dataDir(), "virtual_ios", "anna", typicalConversations());
        MainWindow window;
        ItemModelMain *model = window.treeModel();
        select(window, model->rootDevice->children.first());
        QCOMPARE(shownTexts(window).size(), 8);
        QCOMPARE(countLabel(window), QString("SMS: 8"));
        QCOMPARE(actionStates(window), QString("1000000110"));
        select(window, model->rootLocalDB);
        QVERIFY(shownTexts(window).isEmpty());
        QCOMPARE(countLabel(window), QString("SMS: 0"));
        QCOMPARE(actionStates(window), QString("0000000000"));
        QVERIFY(window.widgets()->txtSMS->toPlainText().trimmed().isEmpty());
    }

    void aPhoneIsReadOnEverySelectionADatabaseOnce()
    {
        const QString phone = writeWindowDb(dataDir(), "virtual_ios", "anna", typicalConversations());
        const QString local = writeWindowDb(dataDir(), "local_databases", "archive", typicalConversations());
        MainWindow window;
        ItemModelMain *model = window.treeModel();
        Node *phoneNode = model->rootDevice->children.first();
        Node *localNode = model->rootLocalDB->children.first();

        select(window, phoneNode);
        select(window, localNode);
        QCOMPARE(localNode->children.size(), 3);
        QCOMPARE(shownTexts(window).size(), 8);
        appendMessage(phone, 1, "written after the first read");
        appendMessage(local, 1, "written after the first read");

        select(window, phoneNode);
        QCOMPARE(shownTexts(window).size(), 9);
        QCOMPARE(shownTexts(window).last(), QString("written after the first read"));
        select(window, localNode);
        QCOMPARE(shownTexts(window).size(), 8);
        // The queued expansion of the database's first selection.
        QTRY_VERIFY(window.widgets()->treeViewDS->isExpanded(model->indexOf(localNode)));
    }

    void aConversationOfAnUnreadPhoneIsEmpty()
    {
        writeWindowDb(dataDir(), "virtual_ios", "anna", typicalConversations());
        MainWindow window;
        Node *phone = window.treeModel()->rootDevice->children.first();
        Node *group = childNamed(phone, QString::fromUtf8("Bergtour \U0001F3D4"));
        QVERIFY(group);
        select(window, group);
        QVERIFY(shownTexts(window).isEmpty());
        select(window, phone);
        select(window, group);
        QCOMPARE(shownTexts(window).size(), 3);
        QCOMPARE(countLabel(window), QString("SMS: 3"));
        QCOMPARE(actionStates(window), QString("1000000110"));
    }

    void headerClicksOrderByDate()
    {
        writeWindowDb(dataDir(), "virtual_ios", "anna", typicalConversations());
        MainWindow window;
        select(window, window.treeModel()->rootDevice->children.first());
        const QStringList oldestFirst = shownTexts(window);
        QHeaderView *header = window.widgets()->treeViewSMS->header();
        header->setSortIndicator(3, Qt::AscendingOrder); // "Content"
        QCOMPARE(header->sortIndicatorSection(), 0);
        QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
        QStringList newestFirst = oldestFirst;
        std::reverse(newestFirst.begin(), newestFirst.end());
        QCOMPARE(shownTexts(window), newestFirst);
        header->setSortIndicator(0, Qt::AscendingOrder);
        QCOMPARE(shownTexts(window), oldestFirst);
        QCOMPARE(shownTexts(window).first(), QString("Hallo! Kommst du heute Abend? [EMOJI]"));
    }

    void extendingTheSelectionScrollsToItsFirstNewRow()
    {
        QStringList texts;
        for (int i = 0; i < 120; ++i)
            texts << QStringLiteral("Nachricht %1").arg(i);
        writeWindowDb(dataDir(), "virtual_ios", "long", conversationsWithTexts({"Anna"}, texts));
        MainWindow window;
        window.resize(1000, 680);
        window.show();
        select(window, window.treeModel()->rootDevice->children.first());
        QCOMPARE(shownTexts(window).size(), 120);
        QItemSelectionModel *selection = window.widgets()->treeViewSMS->selectionModel();
        ItemModelSms *list = window.messageModel();
        const QString anchor71 = QStringLiteral("sms_%1").arg(list->messages.at(70)->rowid);
        selection->select(list->indexOfRow(2), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(!window.widgets()->txtSMS->toHtml().contains(anchor71));
        selection->select(QItemSelection(list->indexOfRow(70), list->index(75, 3)),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(window.widgets()->txtSMS->toHtml().contains(anchor71));
        // Page 2 stays when rows leave the selection.
        selection->select(list->indexOfRow(2), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        QVERIFY(window.widgets()->txtSMS->toHtml().contains(anchor71));
        QCOMPARE(window.selectedMessages().size(), 6);
    }

    // ---- removal ---------------------------------------------------------------------

    void detachWhileARowOfThePhoneIsShown()
    {
        MainWindow window;
        window.show();
        Node *anna = addIPhone(window, "anna", handleOf(0x1001));
        Node *bernd = addIPhone(window, "bernd", handleOf(0x1002), conversationsWithTexts({"Zoe"}, {"nur eine"}));
        select(window, anna);
        select(window, anna->children.first());
        QVERIFY(!shownTexts(window).isEmpty());
        paintAll(window);
        // A phone on its way out is not read again: its file is gone bad now,
        // and a read would show an error box.
        QFile file(messageDbPath(QDir(dataDir()).absoluteFilePath("test_phones/anna")));
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.write(QByteArray(4096, 'x'));
        file.close();
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        window.iosDeviceDisconnected(handleOf(0x1001));
        QCOMPARE(driver.seen().size(), 0);
        Node *root = window.treeModel()->rootDevice;
        QCOMPARE(root->children.size(), 1);
        QCOMPARE(root->children.first(), bernd);
        // The neighbour took the selection and shows its own messages.
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(bernd));
        QCOMPARE(shownTexts(window), QStringList({"nur eine"}));
        paintAll(window);
        // The last phone goes: the root is current, the list empty.
        window.iosDeviceDisconnected(handleOf(0x1002));
        QVERIFY(root->children.isEmpty());
        QCOMPARE(countLabel(window), QString("SMS: 0"));
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(root));
        paintAll(window);
    }

    void detachWhileTheListStillShowsThePhone()
    {
        writeBrokenWindowDb(dataDir(), "local_databases", "damaged");
        MainWindow window;
        window.show();
        Node *anna = addIPhone(window, "anna", handleOf(0x2001));
        select(window, anna);
        QCOMPARE(shownTexts(window).size(), 8);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        Node *damaged = window.treeModel()->rootLocalDB->children.first();
        select(window, damaged);
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(shownTexts(window).size(), 8); // kept after the failure
        window.iosDeviceDisconnected(handleOf(0x2001));
        QVERIFY(window.treeModel()->rootDevice->children.isEmpty());
        QVERIFY(shownTexts(window).isEmpty());
        QCOMPARE(countLabel(window), QString("SMS: 0"));
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(damaged));
        paintAll(window);
    }

    void anUnknownHandleChangesNothing()
    {
        MainWindow window;
        Node *anna = addIPhone(window, "anna", handleOf(0x3001));
        select(window, anna);
        window.iosDeviceDisconnected(handleOf(0x3999));
        window.iosDeviceDisconnected(nullptr);
        QCOMPARE(window.treeModel()->rootDevice->children.size(), 1);
        QCOMPARE(shownTexts(window).size(), 8);
    }

    void disconnectOneOfSeveralVirtualPhones()
    {
        for (const char *name : {"eins", "zwei", "drei"})
            writeWindowDb(dataDir(), "virtual_ios", name, typicalConversations());
        MainWindow window;
        Node *root = window.treeModel()->rootDevice;
        QCOMPARE(childTexts(root), QStringList({"drei", "eins", "zwei"}));
        Node *eins = root->children.at(1);
        select(window, eins);
        select(window, eins->children.at(1)); // a conversation row: no disconnect there
        window.miUnmoutDevice();
        QCOMPARE(root->children.size(), 3);
        select(window, eins);
        window.miUnmoutDevice();
        QCOMPARE(childTexts(root), QStringList({"drei", "zwei"}));
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(root->children.at(1)));
        QCOMPARE(shownTexts(window).size(), 8);
        paintAll(window);
    }

    void aWifiPhoneOutlivesItsSerial()
    {
        MainWindow window;
        addAndroid(window, "usb", "R58M42");
        addAndroid(window, "wifi", "R58M42", true, "a3f9c2d1-uid");
        window.androidDeviceDisconnected("R58M42");
        QCOMPARE(childTexts(window.treeModel()->rootDevice).size(), 1);
        auto *left = static_cast<_AndroidDeviceItemNode *>(window.treeModel()->rootDevice->children.first());
        QVERIFY(left->device.isWifi);
        window.androidDeviceDisconnected("a3f9c2d1-UID"); // keys compare exactly
        QCOMPARE(window.treeModel()->rootDevice->children.size(), 1);
        window.androidDeviceDisconnected("a3f9c2d1-uid");
        QVERIFY(window.treeModel()->rootDevice->children.isEmpty());
    }

    void aQueuedSelectOfARemovedNodeDoesNothing()
    {
        MainWindow window;
        window.show();
        Node *anna = addIPhone(window, "anna", handleOf(0x4001));
        Node *bernd = addIPhone(window, "bernd", handleOf(0x4002));
        select(window, bernd);
        window.selectTreeNode(anna);
        window.iosDeviceDisconnected(handleOf(0x4001));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(window.treeModel()->rootDevice->children.size(), 1);
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(bernd));
        paintAll(window);
    }

    // ---- menus -------------------------------------------------------------------------

    void menusFollowTheNode_data()
    {
        QTest::addColumn<QString>("node");
        QTest::addColumn<int>("iphones");
        QTest::addColumn<int>("androids");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QStringList>("treeMenu");
        QTest::addColumn<QStringList>("listMenu");

        const QStringList iphoneMenu = {"Backup SMS to Local Database", "Transfer iPhone SMS to other iPhone [off]",
                                        "Transfer iPhone SMS to Android [off]", "Export SMS to File", "Print SMS",
                                        "View Cache Files", "Disconnect Device"};
        const QStringList iphoneList = {"Backup Selected SMS to Local Database",
                                        "Transfer Selected SMS to other iPhone [off]",
                                        "Transfer Selected SMS to Android [off]", "Export Selected SMS to File",
                                        "Print Selected SMS"};
        QTest::newRow("iPhone alone") << "iphone" << 1 << 0 << "1000000110" << iphoneMenu << iphoneList;
        QTest::newRow("iPhone, two and an Android")
            << "iphone" << 2 << 1 << "1101000110"
            << QStringList({"Backup SMS to Local Database", "Transfer iPhone SMS to other iPhone",
                            "Transfer iPhone SMS to Android", "Export SMS to File", "Print SMS", "View Cache Files",
                            "Disconnect Device"})
            << QStringList({"Backup Selected SMS to Local Database", "Transfer Selected SMS to other iPhone",
                            "Transfer Selected SMS to Android", "Export Selected SMS to File",
                            "Print Selected SMS"});
        QTest::newRow("Android with an iPhone")
            << "android" << 1 << 1 << "1010000110"
            << QStringList({"Backup SMS to Local Database", "Transfer Android SMS to iPhone",
                            "Transfer Android SMS to other Android [off]", "Export SMS to File", "Print SMS",
                            "View Cache Files", "Disconnect Device"})
            << QStringList({"Backup Selected SMS to Local Database", "Transfer Selected SMS to iPhone",
                            "Transfer Selected SMS to other Android [off]", "Export Selected SMS to File",
                            "Print Selected SMS"});
        QTest::newRow("Android, two")
            << "android" << 0 << 2 << "1000100110"
            << QStringList({"Backup SMS to Local Database", "Transfer Android SMS to iPhone [off]",
                            "Transfer Android SMS to other Android", "Export SMS to File", "Print SMS",
                            "View Cache Files", "Disconnect Device"})
            << QStringList({"Backup Selected SMS to Local Database", "Transfer Selected SMS to iPhone [off]",
                            "Transfer Selected SMS to other Android", "Export Selected SMS to File",
                            "Print Selected SMS"});
        const QStringList localList = {"Export Selected SMS to iTunes Backup", "Transfer Selected SMS to iPhone [off]",
                                       "Transfer Selected SMS to Android [off]", "Export Selected SMS to File",
                                       "Print Selected SMS", "Delete Selected SMS"};
        QTest::newRow("database, no phone")
            << "localdb" << 0 << 0 << "0000000111"
            << QStringList({"Import SMS from iTunes Backup to this Local Database", "Export SMS to iTunes Backup",
                            "Transfer SMS from Database to iPhone [off]",
                            "Transfer SMS from Database to Android [off]", "Export SMS to File", "Print SMS",
                            "Delete this Database"})
            << localList;
        QTest::newRow("database, both phones")
            << "localdb" << 1 << 1 << "0000011111"
            << QStringList({"Import SMS from iTunes Backup to this Local Database", "Export SMS to iTunes Backup",
                            "Transfer SMS from Database to iPhone", "Transfer SMS from Database to Android",
                            "Export SMS to File", "Print SMS", "Delete this Database"})
            << QStringList({"Export Selected SMS to iTunes Backup", "Transfer Selected SMS to iPhone",
                            "Transfer Selected SMS to Android", "Export Selected SMS to File", "Print Selected SMS",
                            "Delete Selected SMS"});
        QTest::newRow("conversation of a database")
            << "chat-localdb" << 1 << 0 << "0000010111"
            << QStringList({"Export SMS with this contact to iTunes Backup", "Transfer SMS with this contact to iPhone",
                            "Transfer SMS with this contact to Android [off]", "Export SMS with this contact to File",
                            "Print SMS with this contact", "Delete SMS with this contact"})
            << QStringList({"Export Selected SMS to iTunes Backup", "Transfer Selected SMS to iPhone",
                            "Transfer Selected SMS to Android [off]", "Export Selected SMS to File",
                            "Print Selected SMS", "Delete Selected SMS"});
        QTest::newRow("conversation of an iPhone")
            << "chat-iphone" << 2 << 0 << "1001000110"
            << QStringList({"Backup SMS with this contact to Local Database",
                            "Transfer SMS with this contact to other iPhone",
                            "Transfer SMS with this contact to Android [off]", "Export SMS with this contact to File",
                            "Print SMS with this contact"})
            << QStringList({"Backup Selected SMS to Local Database", "Transfer Selected SMS to other iPhone",
                            "Transfer Selected SMS to Android [off]", "Export Selected SMS to File",
                            "Print Selected SMS"});
        QTest::newRow("conversation of an Android")
            << "chat-android" << 0 << 1 << "1000000110"
            << QStringList({"Backup SMS with this contact to Local Database",
                            "Transfer SMS with this contact to iPhone [off]",
                            "Transfer SMS with this contact to other Android [off]",
                            "Export SMS with this contact to File", "Print SMS with this contact"})
            << QStringList({"Backup Selected SMS to Local Database", "Transfer Selected SMS to iPhone [off]",
                            "Transfer Selected SMS to other Android [off]", "Export Selected SMS to File",
                            "Print Selected SMS"});
        QTest::newRow("databases root")
            << "root-localdb" << 1 << 1 << "0000000000"
            << QStringList({"Open Database Folder", "Import SMS from iTunes Backup to Local Database"})
            << QStringList();
        QTest::newRow("devices root") << "root-devices" << 1 << 1 << "0000000000" << QStringList() << QStringList();
    }

    void menusFollowTheNode()
    {
        QFETCH(QString, node);
        QFETCH(int, iphones);
        QFETCH(int, androids);
        QFETCH(QString, actions);
        QFETCH(QStringList, treeMenu);
        QFETCH(QStringList, listMenu);

        writeWindowDb(dataDir(), "local_databases", "archive", typicalConversations());
        MainWindow window;
        window.show();
        QList<Node *> phones, droids;
        for (int i = 0; i < iphones; ++i)
            phones << addIPhone(window, QStringLiteral("iphone%1").arg(i), handleOf(0x5000 + i));
        for (int i = 0; i < androids; ++i)
            droids << addAndroid(window, QStringLiteral("android%1").arg(i), QStringLiteral("SER%1").arg(i), false,
                                 QStringLiteral("uid-%1").arg(i));
        ItemModelMain *model = window.treeModel();
        Node *local = model->rootLocalDB->children.first();
        Node *target = nullptr;
        if (node == "iphone")
            target = phones.first();
        else if (node == "android")
            target = droids.first();
        else if (node == "localdb")
            target = local;
        else if (node == "chat-localdb")
            select(window, local), target = local->children.first();
        else if (node == "chat-iphone")
            select(window, phones.first()), target = phones.first()->children.first();
        else if (node == "chat-android")
            select(window, droids.first()), target = droids.first()->children.first();
        else if (node == "root-localdb")
            target = model->rootLocalDB;
        else
            target = model->rootDevice;
        select(window, target);
        QCOMPARE(actionStates(window), actions);

        QWidget *viewport = window.widgets()->treeViewDS->viewport();
        const QStringList tree = readMenu([viewport]() {
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), viewport->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(viewport, &event);
        });
        QCOMPARE(tree, treeMenu);
        const QStringList list = readMenu([&window]() { window.onSMSContextMenu(); });
        QCOMPARE(list, listMenu);
    }

    // The actions count the phones their chooser would offer: a phone of the
    // "virtual_ios" folder is never a target, nor a second node of the source
    // phone; an action that is on opens a chooser with something in it.
    void actionsCountWhatTheChooserOffers_data()
    {
        QTest::addColumn<bool>("plugged"); // a plugged iPhone, reported twice
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("treeMenuEntry");
        QTest::newRow("database, the folder's iPhone only")
            << false << "localdb" << "0000001111" << "Transfer SMS from Database to iPhone [off]";
        QTest::newRow("Android, the folder's iPhone only")
            << false << "android" << "1000000110" << "Transfer Android SMS to iPhone [off]";
        QTest::newRow("the folder's iPhone alone")
            << false << "virtual" << "1100000110" << "Transfer iPhone SMS to other iPhone [off]";
        QTest::newRow("the plugged iPhone, twice")
            << true << "iphone" << "1100000110" << "Transfer iPhone SMS to other iPhone [off]";
        QTest::newRow("the folder's iPhone, a plugged one too")
            << true << "virtual" << "1101000110" << "Transfer iPhone SMS to other iPhone";
        QTest::newRow("database, a plugged iPhone too")
            << true << "localdb" << "0000011111" << "Transfer SMS from Database to iPhone";
    }
    void actionsCountWhatTheChooserOffers()
    {
        QFETCH(bool, plugged);
        QFETCH(QString, node);
        QFETCH(QString, actions);
        QFETCH(QString, treeMenuEntry);
        writeWindowDb(dataDir(), "local_databases", "archive", typicalConversations());
        writeWindowDb(dataDir(), "virtual_ios", "Spare iPhone", typicalConversations());
        MainWindow window;
        window.show();
        Node *virtualPhone = window.treeModel()->rootDevice->children.first();
        Node *pluggedPhone = nullptr;
        if (plugged) {
            pluggedPhone = addIPhone(window, "anna", handleOf(0x7001));
            addIPhone(window, "anna", handleOf(0x7001));
        }
        Node *android = addAndroid(window, "pixel", "SER1", false, "uid-1");
        Node *target = node == "localdb"   ? window.treeModel()->rootLocalDB->children.first()
                       : node == "android" ? android
                       : node == "iphone"  ? pluggedPhone
                                           : virtualPhone;
        select(window, target);
        QCOMPARE(actionStates(window), actions);
        const QStringList menu = readMenu([&window]() { window.onMainTreeContextMenu(); });
        QVERIFY2(menu.contains(treeMenuEntry), qPrintable(menu.join(", ")));
    }

    // A phone that leaves takes the actions aimed at it along, at once.
    void statesFollowARemoval()
    {
        writeWindowDb(dataDir(), "local_databases", "archive", typicalConversations());
        MainWindow window;
        addIPhone(window, "anna", handleOf(0x6001));
        Node *local = window.treeModel()->rootLocalDB->children.first();
        select(window, local);
        QCOMPARE(actionStates(window), QString("0000010111"));
        window.iosDeviceDisconnected(handleOf(0x6001));
        QCOMPARE(actionStates(window), QString("0000000111"));
        const QStringList menu = readMenu([&window]() { window.onMainTreeContextMenu(); });
        QVERIFY(menu.contains("Transfer SMS from Database to iPhone [off]"));
    }

    void menuBarAndToolBar()
    {
        MainWindow window;
        QStringList bar;
        for (QAction *action : window.widgets()->mainToolBar->actions())
            bar << (action->isSeparator() ? QString("-") : action->text());
        QCOMPARE(bar, QStringList({"Backup SMS to Local Database", "Transfer iPhone SMS to Android",
                                   "Transfer Android SMS to iPhone", "Transfer iPhone SMS to other iPhone",
                                   "Transfer Android SMS to other Android", "Transfer SMS from Database to Android",
                                   "Transfer SMS from Database to iPhone", "-", "Export SMS to File", "Print SMS",
                                   "Delete SMS"}));
        QStringList menus;
        for (QAction *menu : window.widgets()->menuBar->actions()) {
            QStringList entries;
            for (QAction *entry : menu->menu()->actions())
                entries << (entry->isSeparator() ? QString("-")
                                                 : entry->text() + (entry->isEnabled() ? "" : " [off]"));
            menus << menu->text() + ": " + entries.join(" | ");
        }
        QCOMPARE(menus,
                 QStringList(
                     {"File: Backup SMS to Local Database [off] | Transfer iPhone SMS to Android [off] | "
                      "Transfer Android SMS to iPhone [off] | Transfer iPhone SMS to other iPhone [off] | "
                      "Transfer Android SMS to other Android [off] | Transfer SMS from Database to iPhone [off] | "
                      "Transfer SMS from Database to Android [off] | - | Export SMS to File [off] | Print SMS [off] | "
                      "Delete SMS [off] | - | Import SMS from iTunes Backup to Local Database | Open Database Folder "
                      "| Exit",
                      "Tools: Check for Update | Clear Cache files | Connect Android Phone via WiFi",
                      "Help: Help | Feedback and Support | About"}));
        for (QAction *action : window.operationActions())
            QVERIFY2(!action->icon().isNull(), qPrintable(action->text()));
    }

    // ---- search ---------------------------------------------------------------------------

    void searchMessages_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<int>("found");   // -1: none
        QTest::addColumn<QString>("box"); // "" when none

        const QStringList texts = {"Guten Morgen", "Kaffee?", "Ja gern", "KAFFEE um zehn", "Bis gleich", "Kaffeepause"};
        QTest::newRow("blank keyword") << texts << 1 << "   " << 1 << "";
        QTest::newRow("empty list") << QStringList() << -1 << "Kaffee" << -1 << "Can't find any SMS.";
        QTest::newRow("no current row starts at the top") << texts << -1 << "kaffee" << 1 << "";
        QTest::newRow("after the current row") << texts << 1 << "kaffee" << 3 << "";
        QTest::newRow("only the current row matches") << texts << 2 << "gern" << 2 << "";
        QTest::newRow("the last row wraps") << texts << 5 << "kaffee" << 1 << "";
        QTest::newRow("case does not matter") << texts << -1 << "  GUTEN " << 0 << "";
        QTest::newRow("no match") << texts << 0 << "Tee" << 0 << "Find no SMS with keyword Tee.";
    }

    void searchMessages()
    {
        QFETCH(QStringList, texts);
        QFETCH(int, current);
        QFETCH(QString, keyword);
        QFETCH(int, found);
        QFETCH(QString, box);

        writeWindowDb(dataDir(), "virtual_ios", "anna", conversationsWithTexts({"Anna"}, texts));
        MainWindow window;
        Node *phone = window.treeModel()->rootDevice->children.first();
        if (!texts.isEmpty())
            select(window, phone);
        QCOMPARE(shownTexts(window), texts);
        if (current >= 0)
            window.widgets()->treeViewSMS->setCurrentIndex(window.messageModel()->indexOfRow(current));
        window.widgets()->txtSMSKeyword->setText(keyword);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QTest::keyClick(window.widgets()->txtSMSKeyword, Qt::Key_Return);
        QCOMPARE(driver.seen().size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty())
            QCOMPARE(driver.seen()[0].text, box);
        QCOMPARE(window.widgets()->treeViewSMS->currentIndex().row(), found);
    }

    void searchConversations_data()
    {
        QTest::addColumn<QString>("start");   // "phone", "row N", "root"
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<QString>("found");   // the text of the row made current; "" when it stays
        QTest::addColumn<QString>("box");

        QTest::newRow("from the phone") << "phone" << "ann" << "Anna Weber" << "";
        QTest::newRow("case does not matter") << "phone" << "ZOE" << "Zoe Anders" << "";
        QTest::newRow("continues below the current row") << "row 0" << "an" << "Zoe Anders" << "";
        QTest::newRow("wraps within its phone") << "row 2" << "we" << "Anna Weber" << "";
        QTest::newRow("never another phone") << "row 0" << "Xaver" << ""
                                             << "Find no contact with keyword Xaver.";
        QTest::newRow("a root does nothing") << "root" << "Anna" << "" << "";
        QTest::newRow("blank") << "phone" << "  " << "" << "";
    }

    void searchConversations()
    {
        QFETCH(QString, start);
        QFETCH(QString, keyword);
        QFETCH(QString, found);
        QFETCH(QString, box);

        writeWindowDb(dataDir(), "virtual_ios", "anna",
                      conversationsWithTexts({"Anna Weber", "Zoe Anders", "Lutz Weber"}, {"a", "b", "c"}));
        writeWindowDb(dataDir(), "virtual_ios", "other", conversationsWithTexts({"Xaver"}, {"x"}));
        MainWindow window;
        ItemModelMain *model = window.treeModel();
        Node *phone = model->rootDevice->children.first();
        QCOMPARE(childTexts(phone), QStringList({"Anna Weber", "Zoe Anders", "Lutz Weber"}));
        Node *startNode = start == "phone" ? phone
                          : start == "root" ? model->rootDevice
                                            : phone->children.at(start.mid(4).toInt());
        select(window, startNode);
        window.widgets()->txtHandleKeyword->setText(keyword);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QTest::mouseClick(window.widgets()->btnSearchHandle, Qt::LeftButton);
        QCOMPARE(driver.seen().size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty())
            QCOMPARE(driver.seen()[0].text, box);
        auto *current = static_cast<Node *>(window.widgets()->treeViewDS->currentIndex().internalPointer());
        QCOMPARE(current->text, found.isEmpty() ? startNode->text : found);
    }

    // ---- commands ------------------------------------------------------------------------------

    void deleteADatabase()
    {
        writeWindowDb(dataDir(), "local_databases", "alt", typicalConversations());
        writeWindowDb(dataDir(), "local_databases", "neu", conversationsWithTexts({"Zoe"}, {"eins", "zwei"}));
        MainWindow window;
        window.show();
        Node *alt = window.treeModel()->rootLocalDB->children.first();
        select(window, alt);
        QCOMPARE(shownTexts(window).size(), 8);
        DialogDriver driver;
        driver.thenPress(QMessageBox::No);
        window.miDelAll();
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].text, QString("Confirm to delete this Database?"));
        QVERIFY(localDatabasesDir().exists("alt"));
        QCOMPARE(window.treeModel()->rootLocalDB->children.size(), 2);

        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        window.miDelAll();
        QCOMPARE(driver.seen().size(), 3);
        QCOMPARE(driver.seen()[2].text, QString("Successfully Deleted Database alt."));
        QVERIFY(!localDatabasesDir().exists("alt"));
        Node *root = window.treeModel()->rootLocalDB;
        QCOMPARE(childTexts(root), QStringList({"neu"}));
        // The neighbour, never selected before, loads after the removal.
        Node *neu = root->children.first();
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(neu));
        QCOMPARE(neu->children.size(), 1);
        QCOMPARE(shownTexts(window), QStringList({"eins", "zwei"}));
        paintAll(window);

        // Not a database: nothing is asked.
        select(window, root);
        window.miDelAll();
        QCOMPARE(driver.seen().size(), 3);
    }

    // A database folder goes whole, a file manager's hidden file included;
    // what cannot go is named instead of a success.
    void deleteADatabaseTakesHiddenFilesOrSaysWhatStays()
    {
        writeWindowDb(dataDir(), "local_databases", "alt", typicalConversations());
        writeWindowDb(dataDir(), "local_databases", "neu", conversationsWithTexts({"Zoe"}, {"eins"}));
        const QString alt = localDatabasesDir().absoluteFilePath("alt");
        const QString neu = localDatabasesDir().absoluteFilePath("neu");
        QFile hidden(alt + "/.directory");
        QVERIFY(hidden.open(QIODevice::WriteOnly));
        hidden.close();
        QFile locked(neu + "/file-relay/.keep");
        QVERIFY(locked.open(QIODevice::WriteOnly));
        locked.close();
        MainWindow window;
        window.show();
        Node *root = window.treeModel()->rootLocalDB;

        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        select(window, root->children.first());
        window.miDelAll();
        QCOMPARE(driver.seen().size(), 2);
        QCOMPARE(driver.seen()[1].text, QString("Successfully Deleted Database alt."));
        QVERIFY(!QFileInfo::exists(alt));

        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        select(window, root->children.first());
        setFolderWritable(QFile::encodeName(neu + "/file-relay").constData(), false);
        {
            PermissionsApply permissions;
            window.miDelAll();
        }
        setFolderWritable(QFile::encodeName(neu + "/file-relay").constData(), true);
        QCOMPARE(driver.seen().size(), 4);
        QVERIFY2(driver.seen()[3].text.contains("Database neu could not be deleted whole: " + neu
                                                + "/file-relay/.keep is still there."),
                 qPrintable(driver.seen()[3].text));
        QVERIFY(!driver.seen()[3].text.contains("Successfully"));
        QVERIFY(QFileInfo::exists(neu + "/file-relay/.keep"));
    }

    void clearCacheKeepsTheShownPhone()
    {
        const QDir data(dataDir());
        for (const char *path :
             {"ios_cache/00008030-X/file-relay", "itunes_cache/ab12/file-relay", "android_cache/356938035643809"})
            QVERIFY(data.mkpath(path));
        const QString backupRoot = IOSMobileBackupThread::tempBackupRoot().absolutePath();
        QVERIFY(QDir(backupRoot).mkpath("00008030-X/Snapshot"));
        QVERIFY(QFileInfo::exists(IOSMobileBackupThread::volumeFile()));
        MainWindow window;
        // A phone read as a loaded one is: its database lies in its cache.
        IOSDevice device;
        device.deviceName = "Anna";
        device.uniqueDeviceId = "00008030-001A35E22E38802E";
        device.amDevice = handleOf(0x7001);
        writeMsgDb(device.cacheDir().absolutePath(), MsgDbLayout::Local, typicalConversations());
        QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(device.cacheDir(), "262", false));
        _IOSDeviceItemNode *phone = window.treeModel()->addIOSDevice(db, device);
        select(window, phone);
        QCOMPARE(shownTexts(window).size(), 8);
        window.treeModel()->loadChatSessions(phone);

        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        window.miClearCache();
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].text, QString("Successfully cleared cache files."));
        for (const char *path : {"ios_cache", "itunes_cache", "android_cache"})
            QVERIFY2(!data.exists(path), path);
        QVERIFY(!QFileInfo::exists(backupRoot));
        QVERIFY(!QFileInfo::exists(IOSMobileBackupThread::volumeFile()));
        // The open database outlives its unlinked file: node, rows and
        // messages stay, and a new selection reads them again.
        QCOMPARE(window.treeModel()->rootDevice->children.size(), 1);
        QCOMPARE(shownTexts(window).size(), 8);
        select(window, phone->children.first());
        select(window, phone);
        QCOMPARE(shownTexts(window).size(), 8);
        paintAll(window);
    }

    // A cache that cannot go whole is named instead of a success, and the
    // other caches are cleared all the same.
    void clearCacheSaysWhatStays()
    {
        const QDir data(dataDir());
        for (const char *path : {"ios_cache/00008030-X/file-relay", "itunes_cache/ab12/locked", "android_cache/3569"})
            QVERIFY(data.mkpath(path));
        QFile kept(data.absoluteFilePath("itunes_cache/ab12/locked/.keep"));
        QVERIFY(kept.open(QIODevice::WriteOnly));
        kept.close();
        MainWindow window;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        const QString locked = data.absoluteFilePath("itunes_cache/ab12/locked");
        setFolderWritable(QFile::encodeName(locked).constData(), false);
        {
            PermissionsApply permissions;
            window.miClearCache();
        }
        setFolderWritable(QFile::encodeName(locked).constData(), true);
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Critical));
        QVERIFY2(driver.seenBoxes()[0].text.contains("Not every cache file could be removed: " + locked
                                                     + "/.keep is still there."),
                 qPrintable(driver.seenBoxes()[0].text));
        QVERIFY(QFileInfo::exists(locked + "/.keep"));
        QVERIFY(!data.exists("ios_cache"));
        QVERIFY(!data.exists("android_cache"));
    }

    void viewCacheCreatesAndOpensTheFolder()
    {
        writeWindowDb(dataDir(), "virtual_ios", "anna", typicalConversations());
        writeWindowDb(dataDir(), "virtual_android", "pixel", typicalConversations());
        MainWindow window;
        Node *root = window.treeModel()->rootDevice;
        auto *anna = static_cast<_IOSDeviceItemNode *>(root->children.at(0));
        auto *pixel = static_cast<_AndroidDeviceItemNode *>(root->children.at(1));
        const QString iosFolder = QDir(dataDir()).absoluteFilePath(
            "ios_cache/" + IOSDevice::cacheFolderName(anna->device.uniqueDeviceId));
        const QString androidFolder =
            QDir(dataDir()).absoluteFilePath("android_cache/" + pixel->device.cacheFolderName());
        QVERIFY(!QFileInfo::exists(iosFolder));
        select(window, anna);
        window.miViewCache();
        select(window, pixel);
        window.miViewCache();
        select(window, root);
        window.miViewCache();
        QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(iosFolder), QUrl::fromLocalFile(androidFolder)}));
        QVERIFY(QFileInfo(iosFolder).isDir());
        QVERIFY(QFileInfo(androidFolder).isDir());
        // The folder path is hashed: nothing lands outside the cache.
        QVERIFY(!iosFolder.contains("virtual_ios"));
    }

    void pagesAndFolders()
    {
        MainWindow window;
        window.miOpenDbFolder();
        window.miHelp();
        window.miFeedback();
        window.miCheckUpdate();
        const QString base = makerServerBase();
        QCOMPARE(opened.size(), 4);
        QCOMPARE(opened[0], QUrl::fromLocalFile(localDatabasesDir().absolutePath()));
        QCOMPARE(opened[1], QUrl(base + "/parlevane/help.html"));
        QCOMPARE(opened[2], QUrl(base + "/support.html"));
        QCOMPARE(opened[3], QUrl(base + "/sms_check_update.php?pid=6B2E8D41A7C9430F9E15D2B8C4F70A93&ver=40"));
    }

    void theAndroidHint_data()
    {
        QTest::addColumn<QByteArray>("devices");
        QTest::addColumn<int>("boxes");
        QTest::newRow("no phone: once") << QByteArray() << 1;
        QTest::newRow("a phone listed: none") << QByteArray("R58M42\tdevice\n") << 0;
    }

    void theAndroidHint()
    {
        QFETCH(QByteArray, devices);
        QFETCH(int, boxes);
        adb.answer("devices", kAdbHeader + devices + "\n");
        const int listed = adb.count("devices");
        // With a phone listed, the hint is asked for only once the monitor
        // knows it: on a loaded machine the list can come later than any
        // delay a test would wait for.
        MainWindow::setUsbTipsDelay(boxes ? 600 : -1);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        {
            MainWindow window;
            MainWindow::setUsbTipsDelay(-1);
            QVERIFY(adb.waitForCalls("devices", listed + 1));
            if (!boxes) {
                QTRY_VERIFY(window.deviceMonitor()->hasKnownSerials());
                window.androidUsbTips();
            }
            QTest::qWait(1200);
            // A listed phone is connected meanwhile; only the hint counts here.
            int hints = 0;
            for (const DialogDriver::Seen &seen : driver.seen())
                hints += seen.text.startsWith("<b>Android device not found.") ? 1 : 0;
            QCOMPARE(hints, boxes);
        }
        adb.answer("devices", kAdbHeader + "\n");
        if (!boxes)
            return;
        const QString text = driver.seen()[0].text;
        const QString base = makerServerBase();
        QVERIFY(text.startsWith("<b>Android device not found.</b><br/><br/>"));
        QVERIFY(text.contains("<a href=\"" + base + "/tutorial/enable-usb-debugging-on-android.html\">How to</a>"));
        QVERIFY(text.contains("<a href=\"" + base + "/install-usb-driver-software-for-android.html\">How to</a>"));
        const QString manager = QUrl::fromLocalFile(AndroidMonitor::deviceManagerPath()).toString();
        QVERIFY(manager.startsWith("file:///") && !manager.startsWith("file:////"));
        QVERIFY(text.contains("<a href=\"" + manager + "\">HERE</a>"));
    }

    // ---- the picture -------------------------------------------------------------------------------

    // The Date column holds the whole date of every row, at the window's
    // first size and at a larger one (the extra width goes to Content).
    void theWholeDateShows_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("first size") << QSize(1000, 680);
        QTest::newRow("maximised") << QSize(1920, 1080);
    }
    void theWholeDateShows()
    {
        QFETCH(QSize, size);
        // Dates with two-digit days, late hours and every month's name.
        QStringList texts;
        for (int i = 0; i < 12; ++i)
            texts << QString("Nachricht %1").arg(i);
        MsgFixtureContent content = conversationsWithTexts({"Anna"}, texts);
        for (int i = 0; i < content.messages.size(); ++i) {
            const QDateTime at(QDate(2020, i % 12 + 1, 28), QTime(23, 58, 58));
            content.messages[i].date = int(at.toSecsSinceEpoch() - 978307200);
        }
        writeWindowDb(dataDir(), "virtual_ios", "Anna iPhone", content);
        MainWindow window;
        select(window, window.treeModel()->rootDevice->children.first());
        const QImage image = renderWidget(&window, size);
        QTreeView *list = window.widgets()->treeViewSMS;
        QCOMPARE(list->model()->rowCount(), 12);
        // A cut date ends in an ellipsis: with room to spare the column then
        // paints differently. A whole one paints the same either way.
        const int width = list->header()->sectionSize(0);
        const QImage asShown = list->viewport()->grab().toImage();
        list->header()->resizeSection(0, width + 300);
        const QImage roomy = list->viewport()->grab().toImage();
        const QRect column(0, 0, width - 2, asShown.height());
        QCOMPARE(asShown.copy(column), roomy.copy(column));
        if (size == QSize(1000, 680))
            qInfo("screenshot: %s", qPrintable(saveShot(image, "mainwindow_dates")));
    }

    void screenshotOfAPhone()
    {
        writeWindowDb(dataDir(), "virtual_ios", "Anna iPhone", typicalConversations());
        MainWindow window;
        select(window, window.treeModel()->rootDevice->children.first());
        const QImage image = renderWidget(&window, QSize(1000, 680));
        qInfo("screenshot: %s", qPrintable(saveShot(image, "mainwindow_phone")));

        QVERIFY(notBlank(image, image.rect()));
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 40, qPrintable(QString::number(colours.size())));

        auto darkPixelsIn = [&](QWidget *widget) {
            const QRect area(widget->mapTo(&window, QPoint(0, 0)), widget->size());
            return countPixels(image, area, [](QColor c) { return qGray(c.rgb()) < 90; });
        };
        QVERIFY(darkPixelsIn(window.widgets()->treeViewSMS->viewport()) > 200);
        QVERIFY(darkPixelsIn(window.widgets()->treeViewDS->viewport()) > 100);
        QVERIFY(darkPixelsIn(window.widgets()->txtSMS->viewport()) > 200);
        // Sent rows of the list are tinted green.
        const QRect list(window.widgets()->treeViewSMS->viewport()->mapTo(&window, QPoint(0, 0)),
                         window.widgets()->treeViewSMS->viewport()->size());
        QVERIFY(countPixels(image, list, [](QColor c) { return near(c, QColor(245, 255, 226), 3); }) > 1000);
    }
};

QP_TEST_MAIN(TestMainWindowTree)

} // namespace tst_mainwindowtree

#include "tst_mainwindowtree.moc"
