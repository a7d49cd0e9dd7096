// Android phones reaching the main window: reported by the device monitor over
// the fake adb, or connected over WiFi through the address dialog, each read
// from the fake companion app (one app on the fixed control port 44441 serves
// both roads) and shown with its conversations. What the window shows while a
// slot runs is checked from timers, as the slot's modal loops hold the test's
// own code.
#include "android/adbdevice.h"
#include "android/androidconnectwithusbthread.h"
#include "android/androiddevice.h"
#include "android/androidwifiform.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "tests/support/countryfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/fakecompanionapp.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/countryselform.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui_androidwifiform.h"
#include "ui_countryselform.h"
#include "ui_mainwindow.h"
#include "ui_progressform.h"

#include <QListWidget>
#include <QPushButton>
#include <functional>
#include <memory>

namespace tst_androidarrival {

using namespace testsupport;
using Node = MainWindow::Node;
using Fault = FakeCompanionApp::Fault;

namespace {

const QByteArray kAdbHeader = "List of devices attached\n";
const QString kSerial = "R58N91XKZ2A";
const QString kUid = "f3a9c2e1b7d04a55";
const QString kHello = "version=31;model=SM-A525F;manufacturer=samsung;imei=356938035643809;uid=%1;"
                       "sdk=13;sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=%2;";
const char *const kCountryText =
    "Failed to load country code from your phone. Please click \"OK\" button to select a country code manually.";

QString b64(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString sms(qint64 ms, bool fromMe, const QString &address, const QString &name, const QString &body)
{
    return QStringList{QString::number(ms), fromMe ? "1" : "0", b64(address), b64(name), b64(body), b64("")}.join(',');
}

// Two batches, three conversations (one only by a number), emoji and a
// long text; the app's line 7 is the first "$sms:" of the second batch.
QList<QStringList> phoneSms()
{
    return {{sms(1700000000123, false, "+491701234567", "Anna", QString::fromUtf8("Bis gleich 👋")),
             sms(1700000060456, true, "+491701234567", "Anna", "Ok, bin unterwegs")},
            {sms(1700000200999, false, "+4915112345678", "", QString("lang ").repeated(400)),
             sms(1700000300000, false, "+4915798765432", "Bob", QString::fromUtf8("Antwort 😀"))}};
}
const int kPhoneMessages = 4;
const int kPhoneConversations = 3;

AdbDevice adbDevice(const QString &serial, const QString &state)
{
    AdbDevice device;
    device.serial = serial;
    device.state = state;
    device.line = serial + "\t" + state;
    return device;
}

// The monitor's queued report of a phone.
void report(MainWindow &window, const AdbDevice &device)
{
    QMetaObject::invokeMethod(&window, "androidDeviceConnected", Qt::QueuedConnection, Q_ARG(AdbDevice, device));
}

QList<_AndroidDeviceItemNode *> androidNodes(MainWindow &window)
{
    QList<_AndroidDeviceItemNode *> nodes;
    for (Node *child : window.treeModel()->rootDevice->children) {
        if (child->type == ITEM_ANDROID_DEVICE)
            nodes.append(static_cast<_AndroidDeviceItemNode *>(child));
    }
    return nodes;
}

bool idle()
{
    return !QApplication::activeModalWidget();
}

// Runs action once, from the event loop, as soon as ready() holds: timers
// fire inside the window's modal loops, where the test's code is held.
void onceWhen(QObject *context, std::function<bool()> ready, std::function<void()> action)
{
    auto *timer = new QTimer(context);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, context, [timer, ready, action]() {
        if (!ready())
            return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start();
}

ProgressForm *openProgress()
{
    auto *form = qobject_cast<ProgressForm *>(QApplication::activeModalWidget());
    return form && form->isVisible() ? form : nullptr;
}

} // namespace

class TestAndroidArrival : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<FakeCompanionApp> app;

    void listDevices(const QStringList &lines)
    {
        QByteArray out = kAdbHeader;
        for (const QString &line : lines)
            out += line.toUtf8() + "\n";
        adb->answer("devices", out + "\n");
    }

    // Answers the WiFi dialog with the loopback address.
    static void connectOverWifi(QWidget *w)
    {
        auto *dialog = static_cast<AndroidWIFIForm *>(w);
        dialog->widgets()->txtWifiSocket->setText("127.0.0.1");
        QTest::mousePress(dialog->widgets()->btnConnect, Qt::LeftButton);
    }

    // Cancels the next load once the phone stalls in its second batch.
    void cancelTheStalledLoad(QObject *context, int backupConnections)
    {
        app->setFault("backup2", Fault::Silence, 7);
        onceWhen(
            context,
            [this, backupConnections]() {
                return app->connections("backup2") == backupConnections && openProgress()
                       && app->received("backup2").contains("$batch:");
            },
            []() { QTest::mousePress(openProgress()->widgets()->btnCancel, Qt::LeftButton); });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QApplication::installTranslator(&translator);
        setMakerServerUrl(server.url());
        MainWindow::setUsbTipsDelay(-1);
        for (qint64 i = QCoreApplication::applicationPid() % 97; i > 0; --i)
            nextServicePort();
    }

    void init()
    {
        clearWindowData(appDataDir().absolutePath());
        QVERIFY(markUpdateCheckDone(appDataDir().absolutePath()));
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
        adb.reset(new FakeAdb);
        app.reset(new FakeCompanionApp(AndroidDevice::kWifiControlPort));
        adb->handUrlsTo(app->controlPort());
        adb->answer("start-server", "", "* daemon started successfully\n");
        adb->answer("pm", "package:com.android.phone\r\npackage:com.quillmarten.smssync\r\n");
        listDevices({});
        app->setHello(kHello.arg(kUid, "262"));
        app->setBackup(phoneSms(), kPhoneMessages);
        AndroidDevice::waits.usbConnect = 1000;
        AndroidDevice::waits.usbReady = 1000;
        AndroidDevice::waits.usbPause = 50;
        AndroidDevice::waits.control = 2000;
        AndroidConnectWithUSBThread::installPauseMs = 50;
    }

    void cleanup()
    {
        app.reset();
        adb.reset();
        AndroidDevice::waits = AndroidDevice::Waits();
        AndroidConnectWithUSBThread::installPauseMs = 5000;
    }

    // ---- through the monitor -----------------------------------------------------

    void aListedPhoneArrivesAndLeavesWithTheMonitor()
    {
        listDevices({kSerial + "\tdevice"});
        DialogDriver driver;
        MainWindow window;
        QTRY_COMPARE_WITH_TIMEOUT(androidNodes(window).size(), 1, 30000);
        QTRY_VERIFY(idle());
        _AndroidDeviceItemNode *node = androidNodes(window).first();
        QCOMPARE(driver.seenBoxes().size(), 0);
        // The app was looked for and found: nothing installed.
        QVERIFY(adb->count("pm") >= 1);
        QCOMPARE(adb->count("install"), 0);
        QCOMPARE(app->connections("device2"), 1);
        QCOMPARE(app->connections("backup2"), 1);
        QCOMPARE(node->text, QString("samsung SM-A525F"));
        QCOMPARE(node->device.serial, kSerial);
        QCOMPARE(node->device.uid, kUid);
        QCOMPARE(node->children.size(), kPhoneConversations);
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(node));
        QTRY_COMPARE(window.messageModel()->rowCount(), kPhoneMessages);

        // Unplugged: the next pass of the monitor takes the node away.
        listDevices({});
        QTRY_VERIFY_WITH_TIMEOUT(androidNodes(window).isEmpty(), 15000);
        QCOMPARE(window.messageModel()->rowCount(), 0);
    }

    void anUnauthorizedPhoneIsWarnedOfThenConnected()
    {
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        MainWindow window;
        AdbDevice device = adbDevice(kSerial, "unauthorized");
        // adb's own words are shown as they are, markup and all.
        device.line += " usb:1-1 product:<b>a52q</b> model:SM_A525F&co";
        report(window, device);
        QTRY_COMPARE_WITH_TIMEOUT(androidNodes(window).size(), 1, 30000);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        QVERIFY2(boxes[0].text.startsWith("If you are presented with the pop up to allow debugging"),
                 qPrintable(boxes[0].text));
        QVERIFY2(boxes[0].text.endsWith("<br/>(" + kSerial + "\tunauthorized usb:1-1 product:&lt;b&gt;a52q&lt;/b&gt; "
                                         "model:SM_A525F&amp;co)"),
                 qPrintable(boxes[0].text));
        QCOMPARE(app->connections("device2"), 1);
    }

    // ---- the same phone again ------------------------------------------------------

    void theSamePhoneAgain_data()
    {
        QTest::addColumn<bool>("wifi");
        QTest::addColumn<bool>("cancel");
        QTest::newRow("USB, loaded") << false << false;
        QTest::newRow("USB, load cancelled: the old node stays") << false << true;
        QTest::newRow("WiFi replaces the USB node") << true << false;
        QTest::newRow("WiFi, load cancelled: the old node is gone") << true << true;
    }
    void theSamePhoneAgain()
    {
        QFETCH(bool, wifi);
        QFETCH(bool, cancel);
        DialogDriver driver;
        MainWindow window;
        report(window, adbDevice(kSerial, "device"));
        QTRY_COMPARE_WITH_TIMEOUT(androidNodes(window).size(), 1, 30000);
        QTRY_VERIFY(idle());
        _AndroidDeviceItemNode *old = androidNodes(window).first();
        const QSharedPointer<_MsgStore> oldStore = old->store;

        if (cancel)
            cancelTheStalledLoad(&window, 2);
        if (wifi) {
            driver.then(&TestAndroidArrival::connectOverWifi);
            QMetaObject::invokeMethod(&window, "miConnectWifi", Qt::QueuedConnection);
        } else {
            report(window, adbDevice(kSerial, "device"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(app->connections("backup2"), 2, 30000);
        QTRY_VERIFY(idle());
        QCOMPARE(driver.seenBoxes().size(), 0);

        const QList<_AndroidDeviceItemNode *> nodes = androidNodes(window);
        if (cancel && wifi) {
            QCOMPARE(nodes.size(), 0);
            return;
        }
        QCOMPARE(nodes.size(), 1);
        if (cancel) {
            QCOMPARE(nodes.first()->store, oldStore);
            QCOMPARE(nodes.first()->children.size(), kPhoneConversations);
            return;
        }
        QVERIFY(nodes.first()->store != oldStore);
        QCOMPARE(nodes.first()->device.isWifi, wifi);
        QCOMPARE(nodes.first()->device.uid, kUid);
        QCOMPARE(nodes.first()->children.size(), kPhoneConversations);
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(nodes.first()));
        QTRY_COMPARE(window.messageModel()->rowCount(), kPhoneMessages);
    }

    void theSameSerialDuringItsOwnLoadWaitsForIt()
    {
        DialogDriver driver;
        MainWindow window;
        const AdbDevice device = adbDevice(kSerial, "device");
        app->setFault("backup2", Fault::Silence, 7);
        int pmCallsMeanwhile = -1;
        int helloMeanwhile = -1;
        // The first load stalls; the phone is reported again inside its modal
        // loop, and given time to start a connection of its own.
        onceWhen(
            &window,
            [this]() { return app->connections("backup2") == 1 && openProgress() != nullptr; },
            [&]() {
                const QPointer<ProgressForm> firstLoad = openProgress();
                report(window, device);
                QTimer::singleShot(500, &window, [&, firstLoad]() {
                    pmCallsMeanwhile = adb->count("pm");
                    helloMeanwhile = app->connections("device2");
                    app->setFault("backup2", Fault::None, 0);
                    if (firstLoad)
                        QTest::mousePress(firstLoad->widgets()->btnCancel, Qt::LeftButton);
                });
            });
        report(window, device);
        QTRY_COMPARE_WITH_TIMEOUT(androidNodes(window).size(), 1, 30000);
        QTRY_VERIFY(idle());
        QCOMPARE(pmCallsMeanwhile, 1);
        QCOMPARE(helloMeanwhile, 1);
        // The second arrival ran after the first: one more of each.
        QCOMPARE(adb->count("pm"), 2);
        QCOMPARE(app->connections("device2"), 2);
        QCOMPARE(app->connections("backup2"), 2);
        QCOMPARE(androidNodes(window).first()->children.size(), kPhoneConversations);
        QCOMPARE(driver.seenBoxes().size(), 0);
    }

    // ---- country --------------------------------------------------------------------

    void anUnknownCountryIsAskedFor()
    {
        app->setHello(kHello.arg(kUid, "999"));
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.then([](QWidget *w) {
            auto *chooser = static_cast<CountrySelForm *>(w);
            QListWidget *list = chooser->widgets()->ltCountries;
            for (int i = 0; i < list->count(); ++i) {
                if (list->item(i)->data(Qt::UserRole).toString() == "262")
                    list->setCurrentRow(i);
            }
            chooser->accept();
        });
        driver.thenPress(QMessageBox::Yes);
        MainWindow window;
        report(window, adbDevice(kSerial, "device"));
        QTRY_COMPARE_WITH_TIMEOUT(androidNodes(window).size(), 1, 30000);
        QTRY_VERIFY(idle());
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].text, QString(kCountryText));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Information));
        bool chooserSeen = false;
        for (const DialogDriver::Seen &seen : driver.seen())
            chooserSeen = chooserSeen || seen.className == "CountrySelForm";
        QVERIFY(chooserSeen);
        QCOMPARE(androidNodes(window).first()->device.mmc, QString("262"));
        QCOMPARE(androidNodes(window).first()->children.size(), kPhoneConversations);
    }
};

QP_TEST_MAIN(TestAndroidArrival)

} // namespace tst_androidarrival

#include "tst_androidarrival.moc"
