// The MobileDevice library for real iPhones, end to end: the program's device
// layer over the library, over the real libimobiledevice and libusbmuxd,
// against the virtual usbmuxd and lockdownd serving virtual phones.
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "ios/mobiledevice.h"
#include "tests/support/testmain.h"
#include "tests/support/usbmuxdfixture.h"
#include "tests/support/virtualiphonefixture.h"

#include <QFile>
#include <QThread>

namespace {

using testsupport::UsbmuxdFixture;
using testsupport::VirtualIPhoneSetup;

} // namespace

class BackendSink : public QObject
{
    Q_OBJECT
public:
    struct Seen
    {
        void *device;
        bool connected;
    };
    QList<Seen> seen;

public slots:
    void arrived(void *device) { seen.append({device, true}); }
    void left(void *device) { seen.append({device, false}); }
};

_DeviceNotifyTarget target{nullptr, "arrived", "left"};

class TestUsbmuxBackend : public QObject
{
    Q_OBJECT

    QTemporaryDir phones;
    UsbmuxdFixture muxer{phones.path()};
    BackendSink sink;

    // The next report after before reports, or nullptr.
    void *nextArrival(int before, int timeoutMs = 30000)
    {
        if (!QTest::qWaitFor([&] { return sink.seen.size() > before; }, timeoutMs))
            return nullptr;
        return sink.seen.at(before).connected ? sink.seen.at(before).device : nullptr;
    }
    void *attach(const VirtualIPhoneSetup &setup)
    {
        const int before = sink.seen.size();
        testsupport::writeVirtualIPhone(phones.path(), setup);
        return nextArrival(before);
    }
    bool detach(const QString &folderName, void *device)
    {
        testsupport::removeVirtualIPhone(phones.path() + "/" + folderName);
        return QTest::qWaitFor([&] {
            for (const auto &seen : sink.seen) {
                if (seen.device == device && !seen.connected)
                    return true;
            }
            return false;
        }, 30000);
    }
    static VirtualIPhoneSetup ios6Phone(const QString &folder)
    {
        VirtualIPhoneSetup setup = testsupport::typicalIPhone(folder, QStringLiteral("6.1.3"));
        setup.values.insert("UniqueDeviceID", "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678");
        return setup;
    }

private slots:
    void initTestCase()
    {
        target.receiver = &sink;
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        const QString started = muxer.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
        mobiledevice_subscribe(&target);
        QVERIFY(apple_libs_loaded());
    }
    void cleanupTestCase() { mobiledevice_clear_receiver(&target); }

    void anIOS6PhoneArrivesPairsAndAnswersItsValues()
    {
        const VirtualIPhoneSetup setup = ios6Phone("six");
        void *device = attach(setup);
        QVERIFY(device);
        QVERIFY(!QFile::exists(muxer.recordPath(setup.values.value("UniqueDeviceID").toString())));
        const QList<CFType> values = mobiledevice_copy_values(
            device, {"UniqueDeviceID", "DeviceName", "MobileSubscriberCountryCode", "ProductVersion"}, QString());
        QCOMPARE(values.value(0).toQString(), setup.values.value("UniqueDeviceID").toString());
        QCOMPARE(values.value(1).toQString(), QString::fromUtf8("Anna\u2019s iPhone \U0001F4F1"));
        QCOMPARE(values.value(2).toQString(), "262");
        QCOMPARE(values.value(3).toQString(), "6.1.3");
        // The first connection paired: usbmuxd keeps the record, the phone
        // trusts its host.
        QVERIFY(QFile::exists(muxer.recordPath(setup.values.value("UniqueDeviceID").toString())));
        QCOMPARE(UsbmuxdFixture::trustedHosts(phones.path() + "/six").size(), 1);
        QVERIFY(detach("six", device));
    }
};

QP_TEST_MAIN(TestUsbmuxBackend)
#include "tst_usbmuxbackend.moc"
