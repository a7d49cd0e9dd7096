// Every client starts its service the same way: a phone that refuses the
// service (a failure code in its plist) gives the text that asks the user to
// turn off Wi-Fi sync, and no socket is left behind.
#include "devicelink/afcclient.h"
#include "devicelink/mobilebackup2.h"
#include "devicelink/mobiledevice_notification_thread.h"
#include "devicelink/mobilesync.h"
#include "devicelink/notificationproxy.h"
#include "ios/mobiledevice.h"
#include "tests/devicelink/attachedphones.h"
#include "tests/support/testmain.h"

namespace tst_servicestart {

namespace {

const int kRefused = -402653150;
const QStringList kServices = {"com.apple.afc", "com.apple.mobile.house_arrest", "com.apple.mobilebackup2",
                               "com.apple.mobilesync", "com.apple.mobile.notification_proxy"};

} // namespace

class TestServiceStart : public QObject
{
    Q_OBJECT

    AttachedPhones phones;
    void *device = nullptr;

private slots:
    void initTestCase()
    {
        phones.start();
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("refusing");
        for (const QString &service : kServices)
            setup.serviceFailures.insert(service, kRefused);
        device = phones.attach(setup);
        QVERIFY(device);
    }
    void cleanupTestCase() { QVERIFY(phones.detach("refusing", device)); }

    void aRefusedServiceAsksToTurnOffWifiSync_data()
    {
        QTest::addColumn<int>("client");
        QTest::addColumn<QString>("service");
        QTest::newRow("files") << 0 << "com.apple.afc";
        QTest::newRow("an app's container") << 1 << "com.apple.mobile.house_arrest";
        QTest::newRow("backup") << 2 << "com.apple.mobilebackup2";
        QTest::newRow("sync") << 3 << "com.apple.mobilesync";
        QTest::newRow("notifications") << 4 << "com.apple.mobile.notification_proxy";
        QTest::newRow("the listening thread") << 5 << "com.apple.mobile.notification_proxy";
    }
    void aRefusedServiceAsksToTurnOffWifiSync()
    {
        QFETCH(int, client);
        QFETCH(QString, service);
        int socket = 0;
        AfcClient afc(device);
        mobiledevice_notification_thread thread(device);
        QString error;
        try {
            switch (client) {
            case 0:
                afc.open();
                break;
            case 1:
                afc.open("com.example.notes");
                break;
            case 2:
                mobiledevice_backup2_start(device, socket);
                break;
            case 3:
                mobiledevice_sync_start(device, _SyncDataClass("com.apple.Contacts", "a", "b"), socket, true);
                break;
            case 4:
                mobiledevice_notification_start(device, &socket);
                break;
            default:
                thread.observe({"com.apple.springboard.lockstate"});
                break;
            }
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
        }
        QCOMPARE(error, QString("Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  Launch iTunes -&gt; "
                                "Connect your device -&gt; Go Summary -&gt; Options -&gt; Uncheck Sync with this "
                                "device over Wi-Fi.<br/><br/>Error code: AMDeviceStartService(%1)=%2")
                             .arg(service)
                             .arg(kRefused));
        QCOMPARE(socket, 0);
        QCOMPARE(afc.socket, 0);
        QCOMPARE(thread.serviceSocket(), 0);
    }
};

QP_TEST_MAIN(TestServiceStart)

} // namespace tst_servicestart

#include "tst_servicestart.moc"
