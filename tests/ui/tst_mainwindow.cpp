// The main window's part in device notifications: it subscribes only when
// Apple's libraries are loaded, reports a failed subscription, and keeps one
// record per attached virtual iPhone until it leaves. Loaded libraries stay
// loaded, so the cases run in this order.
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "ios/applelibs.h"
#include "ios/mobiledevice.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "ui/mainwindow.h"

namespace tst_mainwindow {

namespace {

void *withoutSubscribe(const char *name)
{
    return qstrcmp(name, "AMDeviceNotificationSubscribe") == 0 ? nullptr : apple_md_resolve(name);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    FakeAdb adb;

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        adb.answer("start-server", "", "* daemon started successfully\n");
        adb.answer("devices", "List of devices attached\n\n");
        MainWindow::setUsbTipsDelay(-1);
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
    }

    void withoutTheLibrariesNothingIsSubscribed()
    {
        QTemporaryDir empty;
        qputenv(kCommonFilesVar, QFile::encodeName(empty.path()));
        QString error;
        QVERIFY(!apple_libs_load(error));
        DialogDriver driver;
        MainWindow window;
        QCOMPARE(s_deviceNotifyTarget.receiver, nullptr);
        QCoreApplication::processEvents();
        QCOMPARE(driver.seen().size(), 0);
    }

    void aFailedSubscriptionIsLoggedAndShown()
    {
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        QString error;
        QVERIFY2(apple_libs_load(error), qPrintable(error));
        const QString text = "Failed to find AMDeviceNotificationSubscribe in the (Mobile Device) framework.";
        mobiledevice_set_resolver(withoutSubscribe);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(text));
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        {
            MainWindow window;
            QCOMPARE(window.windowTitle(), QString("Quillmarten Parlevane"));
            QCOMPARE(s_deviceNotifyTarget.receiver, &window);
        }
        // The window that went takes no more notifications.
        QCOMPARE(s_deviceNotifyTarget.receiver, nullptr);
        mobiledevice_set_resolver(nullptr);
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].text, errorBoxText(text));
        QVERIFY(server.waitForRequests(1));
    }

    void phonesArriveAndLeave()
    {
        // Each arrival loads the phone behind its boxes, answered here in turn.
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        testsupport::VirtualIPhoneSetup first = testsupport::typicalIPhone("anna");
        first.messages = testsupport::typicalConversations();
        testsupport::writeVirtualIPhone(phones.path(), first);
        MainWindow window;
        QTRY_COMPARE_WITH_TIMEOUT(window.iosDevices().size(), 1, 20000);
        const IOSDevice anna = window.iosDevices().first();
        QCOMPARE(anna.uniqueDeviceId, QString("00008030-001A35E22E38802E"));
        QCOMPARE(anna.deviceName, QString::fromUtf8("Anna\u2019s iPhone \U0001F4F1"));
        QCOMPARE(anna.mobileSubscriberCountryCode, QString("262"));
        QCOMPARE(anna.productVersion, QString("7.1.2"));
        QCOMPARE(anna.productType, QString("iPhone12,1"));
        QVERIFY(anna.amDevice);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(anna.uniqueDeviceId), 20000);

        // An older phone without a SIM: no country code, and none chosen.
        testsupport::VirtualIPhoneSetup old = testsupport::typicalIPhone("old", "6.1.3");
        old.values["UniqueDeviceID"] = "3a6f1b0c9d2e4f5a6b7c8d9e0f1a2b3c4d5e6f70";
        old.values["ProductType"] = "iPhone4,1";
        old.values.remove("MobileSubscriberCountryCode");
        old.messages = testsupport::typicalConversations();
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        driver.then([](QWidget *chooser) { static_cast<QDialog *>(chooser)->done(QDialog::Rejected); });
        testsupport::writeVirtualIPhone(phones.path(), old);
        QTRY_COMPARE_WITH_TIMEOUT(window.iosDevices().size(), 2, 20000);
        const IOSDevice second = window.iosDevices().last();
        QCOMPARE(second.productVersion, QString("6.1.3"));
        QCOMPARE(second.versionNumbers().value(0), 6);
        QCOMPARE(second.mobileSubscriberCountryCode, QString(""));
        QVERIFY(second.amDevice != anna.amDevice);
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && !window.isDeviceBusy(second.uniqueDeviceId), 20000);

        // The first one leaves: only its record goes.
        testsupport::removeVirtualIPhone(phones.path() + "/anna");
        QTRY_COMPARE_WITH_TIMEOUT(window.iosDevices().size(), 1, 20000);
        QCOMPARE(window.iosDevices().first().amDevice, second.amDevice);

        // A phone that will not pair: the error is shown and nothing is kept.
        testsupport::VirtualIPhoneSetup refusing = testsupport::typicalIPhone("refusing");
        refusing.paired = false;
        refusing.failures.insert("AMDevicePair", -402653158);
        const int before = int(driver.seenBoxes().size());
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        const QString text = "Please restart your iPhone and computer to try again. If a prompt message pops out on "
                             "your iPhone, please click \"Trust\".<br/><br/>Error code: AMDevicePair(-402653158)";
        QTest::ignoreMessage(QtWarningMsg, qPrintable(text));
        testsupport::writeVirtualIPhone(phones.path(), refusing);
        QTRY_COMPARE_WITH_TIMEOUT(int(driver.seenBoxes().size()), before + 2, 20000);
        QCOMPARE(driver.seenBoxes().last().text, errorBoxText(text));
        QCOMPARE(window.iosDevices().size(), 1);

        testsupport::removeVirtualIPhone(phones.path() + "/old");
        QTRY_COMPARE_WITH_TIMEOUT(window.iosDevices().size(), 0, 20000);
    }
};

QP_TEST_MAIN(TestMainWindow)

} // namespace tst_mainwindow

#include "tst_mainwindow.moc"
