// The MobileDevice library for real iPhones, end to end: the program's device
// layer over the library, over the real libimobiledevice and libusbmuxd,
// against the virtual usbmuxd and lockdownd serving virtual phones.
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "ios/devicetrustpending.h"
#include "ios/mobiledevice.h"
#include "tests/support/testmain.h"
#include "tests/support/usbmuxdfixture.h"
#include "tests/support/virtualiphonefixture.h"

#include <QDateTime>
#include <QFile>
#include <QThread>

namespace tst_usbmuxbackend {

namespace {

using testsupport::UsbmuxdFixture;
using testsupport::VirtualIPhoneSetup;

const char *const kEcho = "org.quillmarten.virtual.echo";

QString udidOf(const VirtualIPhoneSetup &setup)
{
    return setup.values.value("UniqueDeviceID").toString();
}

// The HostID of the pair record usbmuxd keeps.
QString recordHost(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const CFType record = CFType::fromPropertyListData(file.readAll());
    return record.value(QStringLiteral("HostID")).toQString();
}

// The text a failure carries, and whether the phone waits for its user.
struct Outcome
{
    QString text;
    bool waitsForTrust = false;
};

Outcome readValues(void *device)
{
    Outcome outcome;
    try {
        mobiledevice_copy_values(device, {"UniqueDeviceID"}, QString());
    } catch (const DeviceTrustPending &e) {
        outcome.text = QString::fromUtf8(e.what());
        outcome.waitsForTrust = true;
    } catch (const std::exception &e) {
        outcome.text = QString::fromUtf8(e.what());
    }
    return outcome;
}

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
        // As on a desktop where usbmuxd starts when a phone is first plugged
        // in: the program subscribes before the daemon runs.
        mobiledevice_subscribe(&target);
        QVERIFY(apple_libs_loaded());
    }
    void cleanupTestCase() { mobiledevice_clear_receiver(&target); }

    void aPhoneArrivesOnceTheDaemonStartsLater()
    {
        VirtualIPhoneSetup setup = testsupport::typicalIPhone("early");
        testsupport::writeVirtualIPhone(phones.path(), setup);
        QTest::qWait(300);
        QCOMPARE(sink.seen.size(), 0);
        const QString started = muxer.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
        void *device = nextArrival(0);
        QVERIFY(device);
        QCOMPARE(mobiledevice_copy_values(device, {"ProductVersion"}, QString()).value(0).toQString(), "7.1.2");
        QVERIFY(detach("early", device));
    }

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

    void trustPendingThenGrantedGoesOnWithoutReplugging()
    {
        VirtualIPhoneSetup setup = testsupport::typicalIPhone("pending");
        setup.values.insert("UniqueDeviceID", "00008030-000A11112222333E");
        setup.lockdown = {{"Trust", "Pending"}};
        const int before = sink.seen.size();
        void *device = attach(setup);
        QVERIFY(device);
        const Outcome waiting = readValues(device);
        QVERIFY(waiting.waitsForTrust);
        QVERIFY2(waiting.text.contains("tap \"Trust\""), qPrintable(waiting.text));
        QVERIFY(!QFile::exists(muxer.recordPath(udidOf(setup))));

        // The user taps Trust: usbmuxd pairs, and the same phone is reported
        // again, with no unplugging.
        setup.lockdown = {{"Trust", "Trusted"}};
        testsupport::writeVirtualIPhone(phones.path(), setup);
        QCOMPARE(nextArrival(before + 1), device);
        QVERIFY(QFile::exists(muxer.recordPath(udidOf(setup))));
        QCOMPARE(readValues(device).text, QString());
        QVERIFY(detach("pending", device));
    }

    void refusalsEndTheArrivalWithWhatToDo_data()
    {
        QTest::addColumn<QString>("trust");
        QTest::addColumn<bool>("waits");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("code");
        QTest::newRow("Don't Trust") << "Denied" << false << "\"Don't Trust\" was tapped"
                                     << int(kAMDUserDeniedPairingError);
        QTest::newRow("locked") << "PasswordProtected" << true << "Unlock it with its passcode"
                                << int(kAMDPasswordProtectedError);
    }
    void refusalsEndTheArrivalWithWhatToDo()
    {
        QFETCH(QString, trust);
        QFETCH(bool, waits);
        QFETCH(QString, says);
        QFETCH(int, code);
        VirtualIPhoneSetup setup = testsupport::typicalIPhone("refusing");
        setup.values.insert("UniqueDeviceID", "00008030-000B11112222333F");
        setup.lockdown = {{"Trust", trust}};
        void *device = attach(setup);
        QVERIFY(device);
        const Outcome outcome = readValues(device);
        QCOMPARE(outcome.waitsForTrust, waits);
        QVERIFY2(outcome.text.contains(says), qPrintable(outcome.text));
        QVERIFY2(outcome.text.contains(QStringLiteral("AMDevicePair(%1)").arg(code)), qPrintable(outcome.text));
        QVERIFY(!QFile::exists(muxer.recordPath(udidOf(setup))));
        QVERIFY(UsbmuxdFixture::trustedHosts(phones.path() + "/refusing").isEmpty());
        QVERIFY(detach("refusing", device));
    }

    void aPhoneThatForgotThisComputerIsPairedAgain()
    {
        VirtualIPhoneSetup setup = testsupport::typicalIPhone("forgetful");
        setup.values.insert("UniqueDeviceID", "00008030-000C11112222333A");
        void *first = attach(setup);
        QVERIFY(first);
        QCOMPARE(readValues(first).text, QString());
        const QString staleHost = recordHost(muxer.recordPath(udidOf(setup)));
        QVERIFY(!staleHost.isEmpty());
        QVERIFY(detach("forgetful", first));
        // libimobiledevice seeds the host id it makes with the time in
        // seconds: a second pairing within the same second would get the
        // same id, and the test could not tell a new record from the old.
        const qint64 pairedAt = QDateTime::currentSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > pairedAt, 2000);

        // Back with its trust reset ("Reset Location & Privacy"; its folder
        // went, with the hosts it trusted), while usbmuxd keeps the old record.
        const int before = sink.seen.size();
        testsupport::writeVirtualIPhone(phones.path(), setup);
        void *again = nextArrival(before);
        QVERIFY(again && again != first);
        QVERIFY(UsbmuxdFixture::trustedHosts(phones.path() + "/forgetful").isEmpty());
        QCOMPARE(readValues(again).text, QString());
        const QString newHost = recordHost(muxer.recordPath(udidOf(setup)));
        QVERIFY(!newHost.isEmpty());
        QVERIFY(newHost != staleHost);
        QCOMPARE(UsbmuxdFixture::trustedHosts(phones.path() + "/forgetful"), QStringList{newHost});
        QVERIFY(detach("forgetful", again));
    }

    void servicesReachTheirEmulators_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("productVersion");
        QTest::newRow("plain socket") << false << "12.4";
        QTest::newRow("TLS relay, TLS 1.0 below iOS 10") << true << "6.1.3";
        QTest::newRow("TLS relay") << true << "13.2";
    }
    void servicesReachTheirEmulators()
    {
        try {
            echoThroughService();
        } catch (const std::exception &e) {
            QFAIL(e.what());
        }
    }
private:
    void echoThroughService()
    {
        QFETCH(bool, tls);
        QFETCH(QString, productVersion);
        VirtualIPhoneSetup setup = testsupport::typicalIPhone("echoing", productVersion);
        setup.values.insert("UniqueDeviceID", "00008030-000D11112222333B");
        if (tls)
            setup.lockdown = {{"ServiceSSL", QStringList{kEcho}}};
        void *device = attach(setup);
        QVERIFY(device);
        int socket = 0;
        mobiledevice_start_service(device, kEcho, &socket);
        QVERIFY(socket > 2);
        // Frames both ways, one larger than a TLS record.
        for (int size : {5, 100000}) {
            CFType message = CFType::newDictionary();
            message.setValue(CFType::fromString("Blob"), CFType::fromByteArray(QByteArray(size, 'x')));
            mobiledevice_sendmsg(socket, message, true, 10000);
            const CFType echoed = mobiledevice_recmsg(socket, message, 10000);
            QCOMPARE(echoed.value("Blob").toByteArray().size(), size);
        }
        // The phone leaves: the program's socket ends.
        QVERIFY(detach("echoing", device));
        QCOMPARE(mobiledevice_wait_socket(socket, 20000, true), 1);
        char byte;
        QCOMPARE(mobiledevice_recv(socket, &byte, 1, 1000), 0);
        mobiledevice_closesocket(socket);
    }

private slots:
    void aFileRelayStalledMidStreamEndsWhenThePhoneLeaves_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("TLS relay") << true;
    }
    void aFileRelayStalledMidStreamEndsWhenThePhoneLeaves()
    {
        QFETCH(bool, tls);
        VirtualIPhoneSetup setup = ios6Phone("stalling");
        setup.messages = testsupport::MsgFixtureContent{};
        setup.fileRelay = {{"HoldAfter", 300}};
        if (tls)
            setup.lockdown = {{"ServiceSSL", QStringList{"com.apple.mobile.file_relay"}}};
        void *device = attach(setup);
        QVERIFY(device);
        int socket = 0;
        mobiledevice_start_service(device, "com.apple.mobile.file_relay", &socket);
        CFType request = CFType::newDictionary();
        CFType sources = CFType::newArray();
        sources.append(CFType::fromString("UserDatabases"));
        request.setValue(CFType::fromString("Sources"), sources);
        mobiledevice_sendmsg(socket, request, false, 10000);
        QCOMPARE(mobiledevice_recmsg(socket, request, 10000).value("Status").toQString(), "Acknowledged");
        QCOMPARE(mobiledevice_recv_bytes(socket, 300, 10000).size(), 300);
        QVERIFY(detach("stalling", device));
        QCOMPARE(mobiledevice_wait_socket(socket, 20000, true), 1);
        char byte;
        QCOMPARE(mobiledevice_recv(socket, &byte, 1, 1000), 0);
        mobiledevice_closesocket(socket);
        // The handle stays safe to pass, and answers that the phone left.
        QVERIFY(!readValues(device).text.isEmpty());
    }

    void twoPhonesAreTwoAndOnePhoneOverTwoLinksIsOne()
    {
        VirtualIPhoneSetup first = testsupport::typicalIPhone("first");
        first.values.insert("UniqueDeviceID", "00008030-000E11112222333C");
        VirtualIPhoneSetup both = testsupport::typicalIPhone("both");
        both.values.insert("UniqueDeviceID", "00008030-000F11112222333D");
        both.values.insert("DeviceName", "Ben's iPhone");
        both.lockdown = {{"Links", QStringList{"USB", "Network"}}};
        const int before = sink.seen.size();
        testsupport::writeVirtualIPhone(phones.path(), first);
        testsupport::writeVirtualIPhone(phones.path(), both);
        QVERIFY(QTest::qWaitFor([&] { return sink.seen.size() >= before + 2; }, 30000));
        QTest::qWait(500); // a second report of the phone on two links would come now
        QCOMPARE(sink.seen.size(), before + 2);
        void *a = sink.seen.at(before).device;
        void *b = sink.seen.at(before + 1).device;
        QVERIFY(a && b && a != b);
        QMap<QString, void *> byName;
        for (void *device : {a, b})
            byName.insert(mobiledevice_copy_values(device, {"DeviceName"}, QString()).value(0).toQString(), device);
        QCOMPARE(byName.keys(), (QStringList{QString::fromUtf8("Anna\u2019s iPhone \U0001F4F1"), "Ben's iPhone"}));
        void *bothDevice = byName.value("Ben's iPhone");
        void *firstDevice = bothDevice == a ? b : a;
        const int beforeLeaving = sink.seen.size();
        QVERIFY(detach("both", bothDevice));
        QVERIFY(detach("first", firstDevice));
        QTest::qWait(300);
        QCOMPARE(sink.seen.size(), beforeLeaving + 2);
    }

    void lockdownErrorsMapToCodesAndTexts_data()
    {
        QTest::addColumn<int>("lockdownError");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        // lockdownd_error_t numbers as libimobiledevice 1.3.0 defines them.
        QTest::newRow("PasswordProtected -17") << -17 << int(kAMDPasswordProtectedError) << "Unlock it";
        QTest::newRow("UserDeniedPairing -18") << -18 << int(kAMDUserDeniedPairingError) << "Don't Trust";
        QTest::newRow("PairingDialogResponsePending -19")
            << -19 << int(kAMDPairingDialogResponsePendingError) << "Trust This Computer?";
        QTest::newRow("InvalidHostID -21") << -21 << int(kAMDInvalidHostIDError) << "no longer trusts";
        QTest::newRow("MuxError -8") << -8 << int(kAMDMuxError) << "usbmuxd";
        QTest::newRow("SSLError -5") << -5 << int(kAMDSSLError) << "encrypted connection";
        QTest::newRow("ReceiveTimeout -7") << -7 << int(kAMDReceiveTimeoutError) << "stopped answering";
        QTest::newRow("SessionInactive -23") << -23 << int(kAMDSessionInactiveError) << "";
        QTest::newRow("InvalidService -27") << -27 << int(kAMDInvalidServiceError) << "";
        QTest::newRow("ServiceProhibited -34") << -34 << int(kAMDServiceProhibitedError) << "refused";
        QTest::newRow("EscrowLocked -35") << -35 << int(kAMDEscrowLockedError) << "switched on";
        QTest::newRow("MCProtected -38") << -38 << int(kAMDPairingProhibitedError) << "administrator";
        QTest::newRow("MissingValue -12") << -12 << int(kAMDMissingValueError) << "";
        QTest::newRow("unknown -256") << -256 << int(kAMDUndefinedError) << "";
    }
    void lockdownErrorsMapToCodesAndTexts()
    {
        QFETCH(int, lockdownError);
        QFETCH(int, code);
        QFETCH(QString, says);
        auto table = reinterpret_cast<decltype(&qp_imd_code_for_lockdown_error)>(
            apple_md_resolve("qp_imd_code_for_lockdown_error"));
        QVERIFY(table);
        QCOMPARE(table(lockdownError), code);
        const QString text = mobiledevice_error_text(code);
        if (says.isEmpty())
            QCOMPARE(text, QString());
        else
            QVERIFY2(text.contains(says), qPrintable(text));
    }

    void aPhonesLockdownErrorReachesTheUser_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("says");
        QTest::newRow("session: escrow locked")
            << "StartSession" << "EscrowLocked" << QStringLiteral("AMDeviceStartSession(%1)").arg(kAMDEscrowLockedError);
        QTest::newRow("session: managed phone")
            << "StartSession" << "MCProtected" << QStringLiteral("AMDeviceStartSession(%1)").arg(kAMDPairingProhibitedError);
        QTest::newRow("service prohibited")
            << "StartService" << "ServiceProhibited"
            << QStringLiteral("AMDeviceStartService(%1)=%2").arg(kEcho).arg(kAMDServiceProhibitedError);
    }
    void aPhonesLockdownErrorReachesTheUser()
    {
        QFETCH(QString, request);
        QFETCH(QString, error);
        QFETCH(QString, says);
        VirtualIPhoneSetup setup = testsupport::typicalIPhone("erring");
        setup.values.insert("UniqueDeviceID", "00008030-001011112222333E");
        void *device = attach(setup);
        QVERIFY(device);
        QCOMPARE(readValues(device).text, QString()); // paired, with a session
        setup.lockdown = {{"Errors", QVariantMap{{request, error}}}};
        testsupport::writeVirtualIPhone(phones.path(), setup);
        QString text;
        try {
            int socket = 0;
            mobiledevice_start_service(device, kEcho, &socket);
            mobiledevice_closesocket(socket);
        } catch (const std::exception &e) {
            text = QString::fromUtf8(e.what());
        }
        QVERIFY2(text.contains(says), qPrintable(text));
        QVERIFY(detach("erring", device));
    }
};

QP_TEST_MAIN(TestUsbmuxBackend)

} // namespace tst_usbmuxbackend

#include "tst_usbmuxbackend.moc"
