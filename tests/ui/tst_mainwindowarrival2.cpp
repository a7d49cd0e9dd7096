// More of a plugged-in iPhone in the real window: its country, the password
// of an encrypted device backup, what its cache holds, repeated arrivals of
// one phone, and a worker that fails or is cancelled at each step. Boxes are
// answered by the dialog driver; other windows by a hook on their class.
#include "app/idstranslator.h"
#include "app/progressform.h"
#include "ios/iosloadfilerelaythread.h"
#include "ios/iosmobilebackupthread.h"
#include "store/absiosmessagedb.h"
#include "tests/support/backupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/countryselform.h"
#include "ui/itemmodelmain.h"
#include "ui/mainwindow.h"
#include "ui/passcodedlg.h"

#include "ui_countryselform.h"
#include "ui_mainwindow.h"
#include "ui_passcodedlg.h"
#include "ui_progressform.h"

#include <QDeadlineTimer>
#include <QListWidget>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tst_mainwindowarrival2 {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const char kNote[] = "<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your passcode on "
                     "iPhone first.</p>";
const char kNoCountry[] = "Failed to load country code from your phone. Please click \"OK\" button to select a "
                          "country code manually.";
const QByteArray kPassword = "H\xc3\xbcttenzauber 42";

QList<Node *> phoneNodes(MainWindow &window, const QString &udid)
{
    QList<Node *> nodes;
    for (Node *child : window.treeModel()->rootDevice->children) {
        if (child->type == ITEM_IOS_DEVICE && static_cast<_IOSDeviceItemNode *>(child)->device.uniqueDeviceId == udid)
            nodes << child;
    }
    return nodes;
}

void *handleOf(MainWindow &window, const QString &udid)
{
    for (const IOSDevice &device : window.iosDevices()) {
        if (device.uniqueDeviceId == udid)
            return device.amDevice;
    }
    return nullptr;
}

int visibleBoxes()
{
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        n += qobject_cast<QMessageBox *>(w) && w->isVisible() ? 1 : 0;
    return n;
}

QStringList classNames(const DialogDriver &driver)
{
    QStringList names;
    for (const DialogDriver::Seen &s : driver.seen())
        names << s.className;
    return names;
}

QStringList boxTexts(const DialogDriver &driver)
{
    QStringList texts;
    for (const DialogDriver::Seen &s : driver.seenBoxes())
        texts << s.text;
    return texts;
}

// Acts on each modal window of one class as it shows, with the actions in
// turn, from a fresh event so that the window's own loop runs; message boxes
// are left to the dialog driver.
class WindowHook : public QObject
{
public:
    using Action = std::function<void(QWidget *)>;
    WindowHook(const char *className, QList<Action> actions) : className(className), actions(std::move(actions))
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [this]() { poll(); });
        timer.start();
    }
    int used = 0;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal->metaObject()->className() != QByteArray(className))
            return;
        for (const QPointer<QWidget> &w : handled) {
            if (w == modal)
                return;
        }
        handled.append(modal);
        if (actions.isEmpty())
            return;
        Action action = actions.takeFirst();
        ++used;
        QPointer<QWidget> target(modal);
        QTimer::singleShot(0, this, [target, action]() {
            if (target)
                action(target);
        });
    }
    QByteArray className;
    QList<Action> actions;
    QList<QPointer<QWidget>> handled;
    QTimer timer;
};

// Picks the country of that label in the chooser and confirms it (the
// question's Yes is the driver's).
void chooseCountry(QWidget *w, const QString &label)
{
    auto *form = static_cast<CountrySelForm *>(w);
    const QList<QListWidgetItem *> items = form->widgets()->ltCountries->findItems(label, Qt::MatchExactly);
    if (items.isEmpty()) {
        qWarning("no country %s", qPrintable(label));
        return;
    }
    form->widgets()->ltCountries->setCurrentItem(items.first());
    QTest::mousePress(form->widgets()->btnOK, Qt::LeftButton);
}

void cancelForm(QWidget *w)
{
    QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
}

} // namespace

class TestMainWindowArrival2 : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    QTemporaryDir scratch;
    FakeAdb adb;
    IdsTranslator translator;
    int serial = 0;
    // One window for all cases: the device subscription is made once a process.
    std::unique_ptr<MainWindow> shared;

    VirtualIPhoneSetup phone(const QString &version)
    {
        return numberedIPhone(++serial, QStringLiteral("phone"), QStringLiteral("00008101-000E2D1A0C3B00"), version);
    }

    // Writes the phone elsewhere, lets edit change its files, then moves it
    // in whole: the stand-in never sees it half made.
    QString arriveAfter(const VirtualIPhoneSetup &setup, const std::function<void(const QString &)> &edit)
    {
        const QString staged = writeVirtualIPhone(scratch.path(), setup);
        edit(staged);
        const QString folder = phones.filePath(setup.folderName);
        if (!QDir().rename(staged, folder))
            qWarning("cannot move %s into place", qPrintable(staged));
        return folder;
    }

    // A finished, reusable device backup of the phone where the backup
    // program leaves it, for runs whose program only reports success.
    QString writeDeviceBackup(const VirtualIPhoneSetup &setup, const std::function<void(BackupFixture &)> &edit)
    {
        BackupFixture backup;
        backup.udid = setup.values["UniqueDeviceID"].toString();
        backup.deviceName = setup.values["DeviceName"].toString();
        backup.productVersion = setup.values["ProductVersion"].toString();
        backup.productType = setup.values["ProductType"].toString();
        backup.addMessageDb(*setup.messages, MsgDbLayout::LaterPhone);
        backup.addAddressBook({{1, "Anna", "", "Schmidt", {"+49 151 12345678"}, {}}});
        edit(backup);
        const QString folder = backup.write(IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(backup.udid));
        QFile status(folder + "/Status.plist");
        if (status.open(QIODevice::WriteOnly | QIODevice::Truncate))
            status.write(plistBytes(QVariantMap{{"SnapshotState", "finished"}, {"IsFullBackup", false},
                                                {"Version", "2.4"}},
                                    true));
        return folder;
    }

    // Takes the phone away and waits until the window has let it go.
    void detach(const QString &folder, const QString &udid)
    {
        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(!handleOf(*shared, udid), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNodes(*shared, udid).isEmpty(), 20000);
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator, phones.path(), QP_COMMON_FILES);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        IOSLoadFileRelayThread::setReceiveWaitMs(200);
        shared = std::make_unique<MainWindow>();
    }
    void cleanupTestCase() { shared.reset(); }

    void init() { qunsetenv("QP_FAKE_BACKUP_MODE"); }
    void cleanup()
    {
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
        QTRY_VERIFY_WITH_TIMEOUT(shared->iosDevices().isEmpty(), 20000);
        for (Node *child : QList<Node *>(shared->treeModel()->rootDevice->children))
            shared->removeTreeNode(child);
    }

    // Without a known code the user picks the country before anything is
    // fetched; the phone's own code is kept when the database knows it.
    void theCountryIsSettledBeforeAnythingIsFetched_data()
    {
        QTest::addColumn<QString>("code"); // "-": the phone reports none
        QTest::addColumn<bool>("asks");
        QTest::addColumn<QString>("kept");
        QTest::newRow("no country code") << "-" << true << "404";
        QTest::newRow("unknown code") << "999" << true << "404";
        QTest::newRow("known code") << "262" << false << "262";
    }
    void theCountryIsSettledBeforeAnythingIsFetched()
    {
        QFETCH(QString, code);
        QFETCH(bool, asks);
        QFETCH(QString, kept);
        VirtualIPhoneSetup setup = phone("7.1");
        if (code == "-")
            setup.values.remove("MobileSubscriberCountryCode");
        else
            setup.values["MobileSubscriberCountryCode"] = code;
        const QString udid = setup.values["UniqueDeviceID"].toString();
        const QString folder = phones.filePath(setup.folderName);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        if (asks) {
            driver.thenPress(QMessageBox::Ok);
            driver.thenPress(QMessageBox::Yes);
        }
        bool fetchedBeforeChooser = true;
        QStringList windowsBeforeChooser;
        WindowHook chooser("CountrySelForm", {[&](QWidget *w) {
                               fetchedBeforeChooser = QFileInfo::exists(folder + "/file-relay.plist");
                               windowsBeforeChooser = classNames(driver);
                               chooseCountry(w, "India (+91)");
                           }});
        writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(!phoneNodes(*shared, udid).isEmpty(), 60000);

        Node *node = phoneNodes(*shared, udid).first();
        QCOMPARE(static_cast<_IOSDeviceItemNode *>(node)->device.mobileSubscriberCountryCode, kept);
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        if (asks) {
            QCOMPARE(chooser.used, 1);
            QVERIFY(!fetchedBeforeChooser);
            QVERIFY2(!windowsBeforeChooser.contains("ProgressForm"), qPrintable(windowsBeforeChooser.join(",")));
            QCOMPARE(boxTexts(driver).mid(0, 2), (QStringList{kNote, kNoCountry}));
        } else {
            QCOMPARE(chooser.used, 0);
            QCOMPARE(boxTexts(driver), QStringList{kNote});
        }
    }

    // The Android hint comes while an arriving iPhone's note is open: it
    // waits for the note to close instead of stacking on it.
    void theAndroidHintWaitsForTheNote()
    {
        VirtualIPhoneSetup setup = phone("7.1");
        setup.values["MobileSubscriberCountryCode"] = "262";
        const QString udid = setup.values["UniqueDeviceID"].toString();
        DialogDriver driver;
        QList<int> open;
        driver.thenBox([&](QWidget *note) {
            QMetaObject::invokeMethod(shared.get(), "androidUsbTips", Qt::QueuedConnection);
            QPointer<QWidget> box(note);
            QTimer::singleShot(200, [box, &open]() {
                open << visibleBoxes();
                if (box)
                    DialogDriver::press(box, QMessageBox::Ok);
            });
        });
        driver.thenBox([&](QWidget *hint) {
            open << visibleBoxes();
            DialogDriver::press(hint, QMessageBox::Ok);
        });
        writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(!phoneNodes(*shared, udid).isEmpty() && !shared->isDeviceBusy(udid), 60000);
        QTRY_COMPARE(driver.pending(), 0);
        const QStringList texts = boxTexts(driver);
        QCOMPARE(texts.size(), 2);
        QCOMPARE(texts[0], QString(kNote));
        QVERIFY2(texts[1].startsWith("<b>Android device not found.</b>"), qPrintable(texts[1]));
        QCOMPARE(open, (QList<int>{1, 1}));
    }

    // The device backup is encrypted: the right password after a wrong one
    // loads the phone; a cancelled dialog ends the arrival without a word.
    void anEncryptedDeviceBackupAsksForItsPassword_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("wrong, then right password") << false;
        QTest::newRow("cancelled") << true;
    }
    void anEncryptedDeviceBackupAsksForItsPassword()
    {
        QFETCH(bool, cancel);
        const VirtualIPhoneSetup setup = phone("8.0");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        writeDeviceBackup(setup, [](BackupFixture &b) { b.keys.emplace(kPassword); });
        qputenv("QP_FAKE_BACKUP_MODE", "stdout:Backup Successful.\n");
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        if (!cancel)
            driver.thenPress(QMessageBox::Ok); // the wrong password's warning
        WindowHook passcode("PasscodeDlg", {[cancel](QWidget *w) {
                                auto *dlg = static_cast<PasscodeDlg *>(w);
                                if (cancel) {
                                    QTest::mousePress(dlg->widgets()->btnCancel, Qt::LeftButton);
                                    return;
                                }
                                dlg->widgets()->txtPasscode->setText("hüttenzauber 42");
                                QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
                                dlg->widgets()->txtPasscode->setText(QString::fromUtf8(kPassword));
                                QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
                            }});
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_COMPARE_WITH_TIMEOUT(passcode.used, 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid) && handleOf(*shared, udid), 60000);
        QCoreApplication::processEvents();

        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        if (cancel) {
            QCOMPARE(boxTexts(driver), QStringList{kNote});
            QVERIFY(phoneNodes(*shared, udid).isEmpty());
        } else {
            QCOMPARE(boxes.size(), 2);
            QCOMPARE(boxes[1].text, "Invalid password.");
            QCOMPARE(boxes[1].icon, int(QMessageBox::Warning));
            QCOMPARE(phoneNodes(*shared, udid).size(), 1);
            Node *node = phoneNodes(*shared, udid).first();
            QCOMPARE(node->children.size(), typicalConversations().chats.size());
        }
        detach(folder, udid);
    }

    // A phone unplugged while the password is asked gets no node: its handle
    // is gone with it.
    void aPhoneThatLeftDuringTheLoadGetsNoNode()
    {
        const VirtualIPhoneSetup setup = phone("8.0");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        writeDeviceBackup(setup, [](BackupFixture &b) { b.keys.emplace(kPassword); });
        qputenv("QP_FAKE_BACKUP_MODE", "stdout:Backup Successful.\n");
        const QString folder = phones.filePath(setup.folderName);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        bool leftFirst = false;
        WindowHook passcode("PasscodeDlg", {[&](QWidget *w) {
                                auto *dlg = static_cast<PasscodeDlg *>(w);
                                removeVirtualIPhone(folder);
                                QDeadlineTimer deadline(20000);
                                while (handleOf(*shared, udid) && !deadline.hasExpired())
                                    QTest::qWait(10);
                                leftFirst = !handleOf(*shared, udid);
                                dlg->widgets()->txtPasscode->setText(QString::fromUtf8(kPassword));
                                QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
                            }});
        writeVirtualIPhone(phones.path(), setup);
        QTRY_COMPARE_WITH_TIMEOUT(passcode.used, 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid), 60000);
        QCoreApplication::processEvents();
        QVERIFY(leftFirst);
        QVERIFY(phoneNodes(*shared, udid).isEmpty());
        QCOMPARE(boxTexts(driver), QStringList{kNote});
        // The cache was filled all the same: nothing read is thrown away.
        IOSDevice device;
        device.uniqueDeviceId = udid;
        QVERIFY(QFileInfo::exists(messageDbPath(device.cacheDir().absolutePath())));
    }

    // An sms.db without every iOS 6 table is read by the iOS 5 reader.
    void anIos5CacheOpensWithTheIos5Reader()
    {
        VirtualIPhoneSetup setup = phone("5.1.1");
        setup.messages.reset();
        const QString udid = setup.values["UniqueDeviceID"].toString();
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        arriveAfter(setup, [](const QString &staged) {
            Ios5Content content;
            content.layout = Ios5Layout::Phone33;
            content.groups = {{1, 101, 3, {{1, "+4915112345678", "de"}}},
                              {2, 102, 2, {{2, "+33612345678", "fr"}}}};
            const QList<std::tuple<qint64, QString, qint64, QString>> lines = {
                {1, "+4915112345678", 1, QString::fromUtf8("Hallo \U0001F600")},
                {2, "+33612345678", 2, QString::fromUtf8("À demain")},
                {3, "+4915112345678", 1, QString::fromUtf8("Bis dann")}};
            for (const auto &[rowid, address, group, text] : lines) {
                Ios5Message m;
                m.rowid = rowid;
                m.address = address;
                m.groupId = group;
                m.text = text;
                m.date = 1330000000 + rowid * 60;
                content.messages << m;
            }
            QTemporaryDir built;
            const QString db = writeIos5MessageDb(built.path(), content);
            QDir().mkpath(virtualIPhoneRoot(staged) + "/var/mobile/Library/SMS");
            QFile::copy(db, virtualIPhoneRoot(staged) + "/var/mobile/Library/SMS/sms.db");
        });
        QTRY_VERIFY_WITH_TIMEOUT(!phoneNodes(*shared, udid).isEmpty(), 60000);
        auto *node = static_cast<_IOSDeviceItemNode *>(phoneNodes(*shared, udid).first());
        QVERIFY(node->db.dynamicCast<AbsIOSMessageDb>());
        QCOMPARE(node->db.dynamicCast<AbsIOSMessageDb>()->iosVersion(), 5);
        QCOMPARE(node->children.size(), 2);
        QTRY_COMPARE(shared->widgets()->treeViewDS->currentIndex(), shared->treeModel()->indexOf(node));
        QCOMPARE(boxTexts(driver), QStringList{kNote});
    }

    // Reading the conversations fails: the node stays, empty, and the box
    // carries the reader's message with the line mark.
    void failingConversationsLeaveAnEmptyNode()
    {
        const VirtualIPhoneSetup setup = phone("7.1");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        arriveAfter(setup, [](const QString &staged) {
            SqliteFixture db(virtualIPhoneRoot(staged) + "/var/mobile/Library/SMS/sms.db");
            db.exec("drop table chat_message_join; create table chat_message_join (joined blob);");
        });
        QVERIFY(driver.waitForSeen(2, 60000));
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid) && handleOf(*shared, udid), 20000);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        // The reader's message, then the line mark, inside the error box's frame.
        QVERIFY2(boxes[1].text.contains(QRegularExpression("no such column: cm\\.chat_id.*, line:404<br/>")),
                 qPrintable(boxes[1].text));
        QCOMPARE(phoneNodes(*shared, udid).size(), 1);
        QVERIFY(phoneNodes(*shared, udid).first()->children.isEmpty());
    }

    // Every arrival adds a node, also a second report of the same phone.
    void theSamePhoneTwiceGivesTwoNodes()
    {
        const VirtualIPhoneSetup setup = phone("7.1");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNodes(*shared, udid).size() == 1 && !shared->isDeviceBusy(udid), 60000);
        void *handle = handleOf(*shared, udid);
        QMetaObject::invokeMethod(shared.get(), "iosDeviceConnected", Qt::QueuedConnection, Q_ARG(void *, handle));
        QTRY_VERIFY_WITH_TIMEOUT(phoneNodes(*shared, udid).size() == 2 && !shared->isDeviceBusy(udid), 60000);
        for (Node *node : phoneNodes(*shared, udid))
            QCOMPARE(node->children.size(), typicalConversations().chats.size());
        QCOMPARE(boxTexts(driver), (QStringList{kNote, kNote}));
        // Still one phone: its one detach lets it go, with both its nodes.
        QCOMPARE(shared->iosDevices().size(), 1);
        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(shared->iosDevices().isEmpty(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNodes(*shared, udid).isEmpty(), 20000);
    }

    // The phone reported again while its own load runs: the second load
    // waits for the first to end instead of sharing its folders.
    void anArrivalDuringItsOwnLoadRunsAfterIt()
    {
        VirtualIPhoneSetup setup = phone("7.1");
        setup.values.remove("MobileSubscriberCountryCode");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        DialogDriver driver;
        // note, country, second note, Yes to India; then the second load's
        // country box and its Yes.
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Yes);
        bool secondWaited = false;
        int nodesAtSecondChooser = -1;
        WindowHook chooser("CountrySelForm",
                           {[&](QWidget *w) {
                                void *handle = handleOf(*shared, udid);
                                QMetaObject::invokeMethod(shared.get(), "iosDeviceConnected", Qt::QueuedConnection,
                                                          Q_ARG(void *, handle));
                                // The second arrival reads the values and steps back.
                                QDeadlineTimer deadline(20000);
                                while (driver.seenBoxes().size() < 3 && !deadline.hasExpired())
                                    QTest::qWait(10);
                                QTest::qWait(50);
                                secondWaited = driver.seenBoxes().size() == 3 && shared->isDeviceBusy(udid);
                                chooseCountry(w, "India (+91)");
                            },
                            [&](QWidget *w) {
                                nodesAtSecondChooser = int(phoneNodes(*shared, udid).size());
                                chooseCountry(w, "India (+91)");
                            }});
        writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNodes(*shared, udid).size() == 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid), 20000);
        QVERIFY(secondWaited);
        QCOMPARE(chooser.used, 2);
        QCOMPARE(nodesAtSecondChooser, 1);
        const QStringList texts = boxTexts(driver);
        QCOMPARE(texts.size(), 6);
        QCOMPARE(texts.mid(0, 3), (QStringList{kNote, kNoCountry, kNote}));
        QCOMPARE(texts[4], QString(kNoCountry));
        for (Node *node : phoneNodes(*shared, udid))
            QCOMPARE(node->children.size(), typicalConversations().chats.size());
    }

    // The same, but the phone leaves before the first load ends: the second
    // is dropped.
    void aWaitingArrivalOfALeftPhoneIsDropped()
    {
        VirtualIPhoneSetup setup = phone("7.1");
        setup.values.remove("MobileSubscriberCountryCode");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        const QString folder = phones.filePath(setup.folderName);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok); // the first load's failed relay
        WindowHook chooser("CountrySelForm", {[&](QWidget *w) {
                               QMetaObject::invokeMethod(shared.get(), "iosDeviceConnected", Qt::QueuedConnection,
                                                         Q_ARG(void *, handleOf(*shared, udid)));
                               QDeadlineTimer deadline(20000);
                               while (driver.seenBoxes().size() < 3 && !deadline.hasExpired())
                                   QTest::qWait(10);
                               removeVirtualIPhone(folder);
                               while (handleOf(*shared, udid) && !deadline.hasExpired())
                                   QTest::qWait(10);
                               chooseCountry(w, "India (+91)");
                           }});
        writeVirtualIPhone(phones.path(), setup);
        QTRY_COMPARE_WITH_TIMEOUT(chooser.used, 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid), 60000);
        // Long enough for a wrongly resumed second load to show its box.
        QTest::qWait(300);
        QCOMPARE(chooser.used, 1);
        QVERIFY(phoneNodes(*shared, udid).isEmpty());
        QVERIFY(!shared->isDeviceBusy(udid));
    }

    // Unplugged and plugged in again twice while its own load runs: the
    // arrival of the handle that left is dropped, and the one of the phone
    // still there runs after the load and gives it its node.
    void aPhoneRepluggedTwiceDuringItsLoadGetsItsNode()
    {
        VirtualIPhoneSetup setup = phone("7.1");
        setup.values.remove("MobileSubscriberCountryCode");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        const QString folder = phones.filePath(setup.folderName);
        DialogDriver driver;
        // Questions get Yes, everything else Ok, whatever their order.
        for (int i = 0; i < 12; ++i) {
            driver.thenBox([](QWidget *w) {
                auto *box = qobject_cast<QMessageBox *>(w);
                DialogDriver::press(w, box && (box->standardButtons() & QMessageBox::Yes) ? QMessageBox::Yes
                                                                                          : QMessageBox::Ok);
            });
        }
        const auto notes = [&driver]() { return int(boxTexts(driver).count(QString(kNote))); };
        void *lastHandle = nullptr;
        bool replugged = false;
        WindowHook chooser("CountrySelForm",
                           {[&](QWidget *w) {
                                QDeadlineTimer deadline(30000);
                                for (int round = 0; round < 2; ++round) {
                                    removeVirtualIPhone(folder);
                                    while (handleOf(*shared, udid) && !deadline.hasExpired())
                                        QTest::qWait(10);
                                    writeVirtualIPhone(phones.path(), setup);
                                    while (notes() < round + 2 && !deadline.hasExpired())
                                        QTest::qWait(10);
                                }
                                lastHandle = handleOf(*shared, udid);
                                replugged = !deadline.hasExpired() && lastHandle;
                                chooseCountry(w, "India (+91)");
                            },
                            [&](QWidget *w) { chooseCountry(w, "India (+91)"); }});
        writeVirtualIPhone(phones.path(), setup);
        QTRY_COMPARE_WITH_TIMEOUT(chooser.used, 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNodes(*shared, udid).size() == 1 && !shared->isDeviceBusy(udid), 60000);
        QVERIFY(replugged);
        // The load of the handle that left never ran: one more chooser only.
        QCOMPARE(chooser.used, 2);
        auto *node = static_cast<_IOSDeviceItemNode *>(phoneNodes(*shared, udid).first());
        QCOMPARE(node->device.amDevice, lastHandle);
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        QCOMPARE(notes(), 3);
    }

    // A failed or cancelled step ends the arrival: the step's own form has
    // spoken (or the user cancelled), the window adds no box and no node.
    void aStepThatFailsOrIsCancelledEndsTheArrival_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("errorBox");
        QTest::newRow("file relay cancelled") << "relay cancel" << "6.1.3" << false;
        QTest::newRow("backup cancelled") << "backup cancel" << "8.0" << false;
        QTest::newRow("no manifest after the backup") << "manifest" << "8.0" << true;
        QTest::newRow("cache fails") << "cache error" << "8.0" << true;
        // Refused at once: a FIFO no longer holds the cache's read up.
        QTest::newRow("cache given a FIFO") << "cache fifo" << "8.0" << true;
    }
    void aStepThatFailsOrIsCancelledEndsTheArrival()
    {
        QFETCH(QString, step);
        QFETCH(QString, version);
        QFETCH(bool, errorBox);
        VirtualIPhoneSetup setup = phone(version);
        const QString udid = setup.values["UniqueDeviceID"].toString();
        const QString smsId = backupFileId("HomeDomain", "Library/SMS/sms.db");
        QString fifo;
        if (step == "relay cancel")
            setup.fileRelay = {{"HoldAfter", 2048}};
        else if (step == "backup cancel")
            qputenv("QP_FAKE_BACKUP_MODE", "hang");
        else
            qputenv("QP_FAKE_BACKUP_MODE", "stdout:Backup Successful.\n");
        if (step == "cache error" || step == "cache fifo") {
            const QString backup = writeDeviceBackup(setup, [smsId](BackupFixture &b) {
                b.entry("HomeDomain", "Library/SMS/sms.db")->hasDataFile = false;
            });
            if (step == "cache fifo") {
                fifo = backup + "/" + smsId;
                QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            }
        }
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        // Cancels the form once its worker is under way: the relay stalled
        // or the backup program hanging.
        const auto cancelWhenBusy = [&](QWidget *w) { cancelForm(w); };
        const bool cancels = step.endsWith("cancel");
        WindowHook forms("ProgressForm", cancels ? QList<WindowHook::Action>{cancelWhenBusy, cancelWhenBusy}
                                                 : QList<WindowHook::Action>{});
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(handleOf(*shared, udid), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid), 60000);
        QTest::qWait(100);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), errorBox ? 2 : 1);
        QCOMPARE(boxes[0].text, QString(kNote));
        if (errorBox)
            QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        if (step == "manifest")
            QVERIFY2(boxes[1].text.contains("Manifest.plist"), qPrintable(boxes[1].text));
        QVERIFY(phoneNodes(*shared, udid).isEmpty());
        if (!fifo.isEmpty())
            QFile::remove(fifo);
        detach(folder, udid);
    }
};

QP_TEST_MAIN(TestMainWindowArrival2)

} // namespace tst_mainwindowarrival2

#include "tst_mainwindowarrival2.moc"
