// Connecting a phone: over USB (the companion app checked and installed
// through the fake adb) and over WiFi (the address dialog, the app's fixed
// control port 44441). Each connection runs under a real progress dialog, as
// the main window runs it.
#include "android/adbclient.h"
#include "android/androidconnectwithusbthread.h"
#include "android/androidconnectwithwifithread.h"
#include "android/androiddevice.h"
#include "android/androidwifiform.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "app/stylesheet.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/fakecompanionapp.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "ui_androidwifiform.h"
#include "ui_progressform.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMouseEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

namespace tst_androidconnect {

using Fault = FakeCompanionApp::Fault;

namespace {

const char *const kSerial = "R58N91XKZ2A";
const QString kHello = "%1model=SM-A525F;manufacturer=samsung;imei=356938035643809;uid=f3a9c2e1b7d04a55;"
                       "sdk=13;sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=262;";
const QString kTooOld =
    "Quillmarten SMS Sync on Android is too old. 3.1.10 needed. Please update it from Google Play.";

QString hello(int version)
{
    return kHello.arg(version < 0 ? QString() : QStringLiteral("version=%1;").arg(version));
}

QByteArray packages(const QStringList &names)
{
    QByteArray out;
    for (const QString &name : names)
        out += "package:" + name.toUtf8() + "\r\n";
    return out;
}

// The USB thread's run: its result, what the phone said and the boxes shown.
struct UsbRun
{
    int result = -1;
    bool failed = false;
    AndroidDevice device;
    QList<DialogDriver::Seen> boxes;
};

UsbRun connectUsb(DialogDriver &driver)
{
    ProgressForm form(QString(), nullptr);
    AndroidConnectWithUSBThread thread(kSerial, &form, nullptr);
    UsbRun run;
    run.result = DialogDriver::runUnder(form, thread);
    run.failed = form.failed;
    run.device = thread.device;
    run.boxes = driver.seenBoxes();
    return run;
}

// Moves the mouse over label until a link lights up, then clicks it there, as
// a user does; answers the link's target ("" when none was found).
QString clickFirstLink(QLabel *label)
{
    QString hovered;
    const QMetaObject::Connection watch =
        QObject::connect(label, &QLabel::linkHovered, label, [&hovered](const QString &link) { hovered = link; });
    QPoint at;
    for (int y = 1; y < label->height() && hovered.isEmpty(); y += 2) {
        for (int x = 1; x < label->width() && hovered.isEmpty(); x += 3) {
            at = QPoint(x, y);
            QMouseEvent move(QEvent::MouseMove, QPointF(at), label->mapToGlobal(QPointF(at)), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(label, &move);
        }
    }
    QObject::disconnect(watch);
    if (!hovered.isEmpty())
        QTest::mouseClick(label, Qt::LeftButton, Qt::NoModifier, at);
    return hovered;
}

} // namespace

// Takes the place of the desktop's program for file links.
class FileOpenRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestAndroidConnect : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        // Service ports come from the clock and a counter that starts at 1 in
        // every process; a start of its own keeps this process off the ports
        // another test process picks in the same second.
        for (qint64 i = QCoreApplication::applicationPid() % 97; i > 0; --i)
            nextServicePort();
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void init()
    {
        AndroidDevice::waits.usbConnect = 1000;
        AndroidDevice::waits.usbReady = 1000;
        AndroidDevice::waits.usbPause = 50;
        AndroidDevice::waits.control = 2000;
        AndroidConnectWithUSBThread::installPauseMs = 50;
    }
    void cleanup()
    {
        AndroidDevice::waits = AndroidDevice::Waits();
        AndroidConnectWithUSBThread::installPauseMs = 5000;
    }

    // ---- USB ------------------------------------------------------------------

    void usbWithTheAppListedGoesStraightToTheDescription()
    {
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        adb.answer("pm", packages({"com.android.phone", "com.quillmarten.smssync", "com.whatsapp"}));
        app.setHello(hello(10));
        DialogDriver driver;
        const UsbRun run = connectUsb(driver);
        QCOMPARE(run.result, 1);
        QVERIFY(!run.failed);
        QCOMPARE(run.boxes.size(), 0); // success closes the dialog without a word
        QCOMPARE(adb.count("install"), 0);
        QVERIFY(!QFileInfo::exists(appDataDir().absoluteFilePath("com.quillmarten.smssync.apk")));
        QCOMPARE(run.device.serial, kSerial);
        QVERIFY(!run.device.isWifi);
        QCOMPARE(run.device.version, 10);
        QCOMPARE(run.device.displayName(), "samsung SM-A525F");
        QCOMPARE(run.device.imei, "356938035643809");
        QCOMPARE(run.device.mmc, "262");
        QVERIFY(app.waitForReceived("device2", 1));
        QCOMPARE(app.received("device2"), QStringList{"$bye:"});
        QVERIFY(app.controlRequests().value(0).startsWith("device2://127.0.0.1:"));
    }

    void usbWithTheAppMissingInstallsItsPackage()
    {
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        adb.answer("pm", packages({"com.android.phone"}));
        adb.answer("install", "Performing Streamed Install\r\nSuccess\r\n");
        app.setHello(hello(31));
        // An older copy from an earlier installation is replaced.
        const QString apk = appDataDir().absoluteFilePath("com.quillmarten.smssync.apk");
        QFile old(apk);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older package");
        old.close();

        DialogDriver driver;
        const UsbRun run = connectUsb(driver);
        QCOMPARE(run.result, 1);
        QCOMPARE(run.boxes.size(), 0);
        QCOMPARE(adb.count("install"), 1);
        const QList<QStringList> calls = adb.calls();
        const auto install = std::find_if(calls.begin(), calls.end(),
                                          [](const QStringList &c) { return c.contains("install"); });
        QCOMPARE(*install, (QStringList{"-s", kSerial, "install", apk}));
        QFile copy(apk);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QFile resource(AndroidConnectWithUSBThread::kApkResource);
        QVERIFY(resource.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), resource.readAll());
        QCOMPARE(copy.permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup | QFile::WriteGroup),
                 QFile::Permissions());
        // Installed first, described after.
        const QStringList events = adb.events();
        QVERIFY(events.indexOf("< install") < events.indexOf("> broadcast"));
        QCOMPARE(run.device.version, 31);
    }

    void usbInstallFailureShowsAdbsText()
    {
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        adb.answer("pm", packages({"com.android.phone"}));
        adb.answer("install", "Performing Streamed Install\nadb: failed to install: Failure [INSTALL_FAILED_INSUFFICIENT_STORAGE]\n");
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        const UsbRun run = connectUsb(driver);
        QCOMPARE(run.result, 0);
        QVERIFY(run.failed);
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].icon, int(QMessageBox::Critical));
        QVERIFY2(run.boxes[0].text.contains("Please go to Google Play on your Android Phone to download and install "
                                             "Quillmarten SMS Sync first and then try again. <br/><br/>Error:"
                                             "Performing Streamed Install"),
                 qPrintable(run.boxes[0].text));
        QVERIFY(run.boxes[0].text.contains("INSTALL_FAILED_INSUFFICIENT_STORAGE"));
        QCOMPARE(adb.count("broadcast"), 0);
    }

    void usbChecksTheAppsVersion_data()
    {
        QTest::addColumn<int>("version"); // -1: no version key at all
        QTest::addColumn<bool>("accepted");
        QTest::newRow("10") << 10 << true;
        QTest::newRow("9") << 9 << false;
        QTest::newRow("missing") << -1 << false;
    }
    void usbChecksTheAppsVersion()
    {
        QFETCH(int, version);
        QFETCH(bool, accepted);
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        adb.answer("pm", packages({"com.quillmarten.smssync"}));
        app.setHello(hello(version));
        DialogDriver driver;
        if (!accepted)
            driver.thenPress(QMessageBox::Ok);
        const UsbRun run = connectUsb(driver);
        QCOMPARE(run.result, accepted ? 1 : 0);
        QCOMPARE(run.boxes.size(), accepted ? 0 : 1);
        if (!accepted)
            QVERIFY2(run.boxes[0].text.contains(kTooOld), qPrintable(run.boxes[0].text));
    }

    void usbErrorFirstLineGivesTheHints_data()
    {
        QTest::addColumn<QString>("packageList"); // an empty list skips the installation
        QTest::newRow("app listed") << "package:com.quillmarten.smssync\n";
        QTest::newRow("listing empty") << "";
    }
    void usbErrorFirstLineGivesTheHints()
    {
        QFETCH(QString, packageList);
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        adb.answer("pm", packageList.toUtf8());
        app.setFault("device2", Fault::Error, 1, QString::fromUtf8("Dienst abgestürzt ☹"));
        // The box's HERE link is clicked: it must open the helper program
        // beside this one, not a file of some other path.
        FileOpenRecorder recorder;
        QDesktopServices::setUrlHandler("file", &recorder, "open");
        QString link;
        DialogDriver driver;
        QImage shot;
        driver.thenBox([&link, &shot](QWidget *box) {
            shot = box->grab().toImage();
            link = clickFirstLink(box->findChild<QLabel *>("qt_msgbox_label"));
            DialogDriver::press(box, QMessageBox::Ok);
        });
        const UsbRun run = connectUsb(driver);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        const QString manager =
            QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("QuillmartenDeviceManager.exe");
        QVERIFY(manager.startsWith('/'));
        const QString expected =
            "Please try the following:<br/><br/>1 Go to Google Play on your phone to download and installed the "
            "latest version Quillmarten SMS Sync.<br/><br/>2 click <a href=\"file://" + manager
            + "\"><b>HERE</b></a> to run Quillmarten Device Manager and then restart your phone to try "
              "again.<br/><br/>" + QString::fromUtf8("Dienst abgestürzt ☹");
        QVERIFY2(run.boxes[0].text.contains(expected), qPrintable(run.boxes[0].text));
        QVERIFY(!testsupport::saveShot(shot, "usb-hints-box").isEmpty());
        QVERIFY(testsupport::notBlank(shot, shot.rect()));
        QCOMPARE(link, "file://" + manager);
        QCOMPARE(recorder.opened.size(), 1);
        QCOMPARE(recorder.opened[0].toLocalFile(), manager);
        QVERIFY(QFileInfo(recorder.opened[0].toLocalFile()).isExecutable());
        QCOMPARE(adb.count("install"), 0);
    }

    void usbCancelDuringTheListingInstallsNothing()
    {
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        adb.answer("pm", packages({"com.android.phone"}));
        adb.delay("pm", 20000);
        adb.answer("install", "Success\n");
        DialogDriver driver;
        driver.then([&adb](QWidget *w) {
            QVERIFY(adb.waitForCalls("pm", 1));
            QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
        });
        QElapsedTimer clock;
        clock.start();
        const UsbRun run = connectUsb(driver);
        QVERIFY2(clock.elapsed() < 10000, "the cancel waited for adb");
        QCOMPARE(run.result, 0);
        QVERIFY(run.failed);
        QCOMPARE(run.boxes.size(), 0);
        QCOMPARE(adb.count("install"), 0);
        QCOMPARE(adb.count("broadcast"), 0);
    }

    // ---- WiFi -----------------------------------------------------------------

    void typedAddress_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("address");
        QTest::newRow("plain") << "192.168.178.23" << "192.168.178.23";
        QTest::newRow("blanks around") << "  10.0.0.7 \t" << "10.0.0.7";
        QTest::newRow("with a port") << "192.168.1.5:44441" << "";
        QTest::newRow("host name") << "pixel-7.fritz.box" << "";
        QTest::newRow("five groups") << "1.2.3.4.5" << "";
        QTest::newRow("three groups") << "1.2.3" << "";
        QTest::newRow("four digits in a group") << "1921.168.1.5" << "";
        QTest::newRow("blank inside") << "192.168. 1.5" << "";
        QTest::newRow("group above 255 passes") << "300.1.1.1" << "300.1.1.1";
        QTest::newRow("empty") << "" << "";
    }
    void typedAddress()
    {
        QFETCH(QString, typed);
        QFETCH(QString, address);
        QCOMPARE(AndroidWIFIForm::typedAddress(typed), address);
    }

    void wifiDialogLooksAsDesigned()
    {
        AndroidWIFIForm form(nullptr);
        Ui::AndroidWIFIForm *ui = form.widgets();
        QCOMPARE(form.size(), QSize(404, 226));
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(form.windowTitle(), "AndroidWIFIForm");
        QVERIFY(form.styleSheet().startsWith(::styleSheet()));
        QVERIFY(form.styleSheet().endsWith(
            " #lbTipsDownloadWifiConnection { font-size:9px; color:#767B7C; margin:0 10px;}"));
        QCOMPARE(ui->label_2->text(), "Connect Android via WiFi");
        QCOMPARE(ui->btnConnect->text(), "Connect");
        QCOMPARE(ui->btnClose->text(), "Cancel");
        QVERIFY(ui->label->text().startsWith("Run Quillmarten SMS Sync on Android phone"));
        QVERIFY(ui->lbTipsDownloadWifiConnection->text().startsWith("If you haven't installed"));
        QVERIFY(ui->lbTipsDownloadWifiConnection->openExternalLinks());
        QCOMPARE(ui->txtWifiSocket->geometry(), QRect(40, 110, 331, 20));

        // What the user sees: the heading in the default text colour, the tip
        // line in its own grey, both on the sheet's background.
        QTemporaryDir dir;
        const QString png = dir.filePath("androidwifiform.png");
        form.ensurePolished();
        QVERIFY(form.grab().save(png));
        const QImage image(png);
        QCOMPARE(image.size(), QSize(404, 226));
        auto inks = [&image](const QRect &area) {
            QSet<QRgb> colours;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    colours.insert(image.pixel(x, y));
            return colours;
        };
        QVERIFY(inks(ui->label_2->geometry()).size() > 2);
        const QSet<QRgb> tip = inks(ui->lbTipsDownloadWifiConnection->geometry());
        QVERIFY(tip.size() > 2);
        QVERIFY(tip.contains(qRgb(0x76, 0x7B, 0x7C)));
    }

    void wifiDialogRefusesAWrongAddress()
    {
        FakeCompanionApp app;
        AndroidWIFIForm form(nullptr);
        DialogDriver driver;
        driver.then([](QWidget *w) {
            auto *dialog = static_cast<AndroidWIFIForm *>(w);
            dialog->widgets()->txtWifiSocket->setText("192.168.1.5:44441");
            QTest::mousePress(dialog->widgets()->btnConnect, Qt::LeftButton);
            QVERIFY(dialog->isVisible());
            dialog->reject();
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        const QList<DialogDriver::Seen> seen = driver.seen();
        QCOMPARE(seen.size(), 2); // no progress dialog: nothing was started
        QCOMPARE(seen[1].icon, int(QMessageBox::Warning));
        QCOMPARE(seen[1].text, "Input Error. Please input the correct WiFi connection info.");
        QCOMPARE(app.controlRequests().size(), 0);
    }

    void wifiUnreachableAddressKeepsTheDialog()
    {
        AndroidWIFIForm form(nullptr);
        DialogDriver driver;
        bool stillOpen = false;
        driver.then([&stillOpen](QWidget *w) {
            auto *dialog = static_cast<AndroidWIFIForm *>(w);
            dialog->widgets()->txtWifiSocket->setText("300.1.1.1");
            QTest::mousePress(dialog->widgets()->btnConnect, Qt::LeftButton);
            stillOpen = dialog->isVisible();
            QCOMPARE(dialog->widgets()->txtWifiSocket->text(), "300.1.1.1");
            QTest::mousePress(dialog->widgets()->btnClose, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        QVERIFY(stillOpen);
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].text.contains("can not connect 300.1.1.1:44441."), qPrintable(shown[0].text));
        QVERIFY(form.device.host.isEmpty());
    }

    void wifiFailureKeepsTheDialogAndASecondTryConnects()
    {
        FakeCompanionApp app(AndroidDevice::kWifiControlPort);
        app.setStatusFailure(QString::fromUtf8("Keine Berechtigung für SMS"));
        app.setHello(hello(12));
        AndroidWIFIForm form(nullptr);
        DialogDriver driver;
        bool openAfterFailure = false;
        driver.then([&](QWidget *w) {
            auto *dialog = static_cast<AndroidWIFIForm *>(w);
            dialog->widgets()->txtWifiSocket->setText(" 127.0.0.1 ");
            QTest::mousePress(dialog->widgets()->btnConnect, Qt::LeftButton);
            openAfterFailure = dialog->isVisible();
            app.setStatusFailure(QString());
            QTest::mousePress(dialog->widgets()->btnConnect, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.exec(), int(QDialog::Accepted));
        QVERIFY(openAfterFailure);
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), 1);
        const QStringList urls = app.controlRequests();
        QCOMPARE(urls.size(), 2);
        QVERIFY2(shown[0].text.contains("start " + urls[0] + " failed." + QString::fromUtf8("Keine Berechtigung für SMS")),
                 qPrintable(shown[0].text));
        QVERIFY(urls[1] != urls[0]); // a fresh service port
        QVERIFY(form.device.isWifi);
        QCOMPARE(form.device.host, "127.0.0.1");
        QCOMPARE(form.device.controlPort, 44441);
        QCOMPARE(form.device.version, 12);
        QCOMPARE(form.device.uid, "f3a9c2e1b7d04a55");
        QCOMPARE(form.device.deviceKey(), "f3a9c2e1b7d04a55");
        QVERIFY(form.device.serial.isEmpty());
    }

    void wifiTooOldAppGivesTheTextWithoutHints()
    {
        FakeCompanionApp app(AndroidDevice::kWifiControlPort);
        app.setHello(hello(9));
        ProgressForm form(QString(), nullptr);
        AndroidConnectWithWiFiThread thread("127.0.0.1", &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, thread), 0);
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), 1);
        QVERIFY(shown[0].text.contains(kTooOld));
        QVERIFY(!shown[0].text.contains("Please try the following"));
    }

    void wifiCancelEndsAStalledConnection()
    {
        FakeCompanionApp app(AndroidDevice::kWifiControlPort);
        app.setFault("device2", Fault::Silence, 1);
        ProgressForm form(QString(), nullptr);
        AndroidConnectWithWiFiThread thread("127.0.0.1", &form, nullptr);
        DialogDriver driver;
        driver.then([&app](QWidget *w) {
            QTRY_COMPARE_WITH_TIMEOUT(app.connections("device2"), 1, 20000);
            QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
        });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(DialogDriver::runUnder(form, thread), 0);
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(driver.seenBoxes().size(), 0);
    }

    void wifiCancelButtonRejects()
    {
        AndroidWIFIForm form(nullptr);
        DialogDriver driver;
        driver.then([](QWidget *w) {
            auto *dialog = static_cast<AndroidWIFIForm *>(w);
            dialog->widgets()->txtWifiSocket->setText("192.168.1.5");
            QTest::mousePress(dialog->widgets()->btnClose, Qt::LeftButton);
        });
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        QCOMPARE(driver.seen().size(), 1);
        QVERIFY(!form.device.isWifi);
        QVERIFY(form.device.host.isEmpty());
        QCOMPARE(form.device.version, 0);
    }
};

QP_TEST_MAIN(TestAndroidConnect)

} // namespace tst_androidconnect

#include "tst_androidconnect.moc"
