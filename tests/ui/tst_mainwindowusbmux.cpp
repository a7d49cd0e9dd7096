// A plugged-in iPhone in the real window, reached the way a real one is:
// through the MobileDevice library for real iPhones, libimobiledevice and
// libusbmuxd, from the virtual usbmuxd and lockdownd serving virtual phones.
#include "ios/applelibs.h"
#include "ios/mobiledevice.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/usbmuxdfixture.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"

#include "ui_mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QTranslator>
#include <memory>

namespace tst_mainwindowusbmux {

using namespace testsupport;

namespace {

_IOSDeviceItemNode *phoneNode(MainWindow &window, const QString &udid)
{
    for (MainWindow::Node *child : window.treeModel()->rootDevice->children) {
        if (child->type != ITEM_IOS_DEVICE)
            continue;
        auto *node = static_cast<_IOSDeviceItemNode *>(child);
        if (node->device.uniqueDeviceId == udid)
            return node;
    }
    return nullptr;
}

// The box that asks the user to trust, while it is open.
QMessageBox *trustNotice()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == "trustNotice" && widget->isVisible())
            return qobject_cast<QMessageBox *>(widget);
    }
    return nullptr;
}

} // namespace

class TestMainWindowUsbmux : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    UsbmuxdFixture muxer{phones.path()};
    FakeAdb adb;
    QTranslator translator;
    int serial = 0;
    std::unique_ptr<MainWindow> shared;

    VirtualIPhoneSetup phone(const QString &version)
    {
        return numberedIPhone(++serial, QStringLiteral("usb"), QStringLiteral("00008030-002B35E22E3880"), version);
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        const QString started = muxer.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
        QString loadError;
        QVERIFY2(apple_libs_load(loadError), qPrintable(loadError));
        shared = std::make_unique<MainWindow>();
        // The library for real iPhones answers, not the stand-in.
        QVERIFY(apple_md_resolve("qp_imd_code_for_lockdown_error"));
    }
    void cleanupTestCase() { shared.reset(); }
    void cleanup()
    {
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
        QTest::qWait(200);
    }

    void aPhoneArrivesPairsAndLoadsOverTheFileRelay_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("tls");
        QTest::newRow("iOS 6, TLS 1.0 session") << "6.1.3" << false;
        QTest::newRow("iOS 7, file relay over TLS") << "7.1.2" << true;
    }
    void aPhoneArrivesPairsAndLoadsOverTheFileRelay()
    {
        QFETCH(QString, version);
        QFETCH(bool, tls);
        VirtualIPhoneSetup setup = phone(version);
        if (tls)
            setup.lockdown = {{"ServiceSSL", QStringList{"com.apple.mobile.file_relay"}}};
        const QString udid = setup.values["UniqueDeviceID"].toString();
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNode(window, udid), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(udid), 20000);

        _IOSDeviceItemNode *node = phoneNode(window, udid);
        QCOMPARE(node->text, setup.values["DeviceName"].toString());
        QCOMPARE(node->device.mobileSubscriberCountryCode, "262");
        QCOMPARE(node->device.productVersion, version);
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        QTRY_COMPARE(window.messageModel()->rowCount(), int(typicalConversations().messages.size()));
        // Only the passcode note showed; the first connection paired and
        // usbmuxd keeps the record.
        QCOMPARE(driver.seenBoxes().size(), 1);
        QVERIFY(QFile::exists(muxer.recordPath(udid)));

        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(!phoneNode(window, udid), 20000);
    }

    void theTrustQuestionWaitsWithoutBlockingThenThePhoneLoads()
    {
        VirtualIPhoneSetup setup = phone("7.1.2");
        setup.lockdown = {{"Trust", "Pending"}};
        const QString udid = setup.values["UniqueDeviceID"].toString();
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(trustNotice(), 60000);
        QVERIFY(trustNotice()->text().contains("tap \"Trust\""));
        QVERIFY(!trustNotice()->isModal());
        QVERIFY(!phoneNode(window, udid));
        // No error box, no report: only the passcode note so far.
        QCOMPARE(driver.seenBoxes().size(), 1);

        // Trust is tapped: the phone arrives, the notice goes.
        setup.lockdown = {{"Trust", "Trusted"}};
        writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNode(window, udid), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(udid), 20000);
        QVERIFY(!trustNotice());
        QCOMPARE(phoneNode(window, udid)->children.size(), typicalConversations().chats.size());
    }

    void dontTrustEndsTheArrivalWithAClearText()
    {
        VirtualIPhoneSetup setup = phone("7.1.2");
        setup.lockdown = {{"Trust", "Denied"}};
        const QString udid = setup.values["UniqueDeviceID"].toString();
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        writeVirtualIPhone(phones.path(), setup);
        QVERIFY(driver.waitForSeen(2, 60000));
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes[1].text.contains("\"Don't Trust\" was tapped"), qPrintable(boxes[1].text));
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        QVERIFY(!phoneNode(window, udid));
        QVERIFY(!trustNotice());
    }
};

QP_TEST_MAIN(TestMainWindowUsbmux)

} // namespace tst_mainwindowusbmux

#include "tst_mainwindowusbmux.moc"
