#include "android/adbclient.h"
#include "android/androiddevice.h"
#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "tests/support/fakeadb.h"
#include "tests/support/fakecompanionapp.h"
#include "tests/support/testmain.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <atomic>
#include <memory>
#include <thread>

namespace tst_androiddevice {

using namespace simpleprotocol;
using Fault = FakeCompanionApp::Fault;

namespace {

const char *const kHello = "version=31;model=SM-A525F;manufacturer=samsung;imei=;uid=f3a9c2e1b7d04a55;"
                           "sdk=13;sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=262;";

QString describe(const AndroidDevice &d)
{
    return QStringLiteral("version=%1 model=%2 manufacturer=%3 imei=%4 uid=%5 sdk=%6 sdkId=%7 root=%8 "
                          "storage1=%9 mmc=%10")
        .arg(d.version)
        .arg(d.model, d.manufacturer, d.imei, d.uid, d.sdk)
        .arg(d.sdkId)
        .arg(d.rooted ? 1 : 0)
        .arg(d.storage1, d.mmc);
}

// What an opening threw: its kind and text.
struct Outcome
{
    QString kind; // "" when it returned a socket
    QString message;
    std::unique_ptr<QTcpSocket> socket;
};

Outcome open(AndroidDevice &device, const QString &url, int timeoutMs)
{
    Outcome outcome;
    try {
        outcome.socket.reset(device.openService(url, timeoutMs));
    } catch (const SocketDataTransferException &e) {
        outcome = {"transfer", QString::fromUtf8(e.what()), nullptr};
    } catch (const RemoteException &e) {
        outcome = {"remote", QString::fromUtf8(e.what()), nullptr};
    } catch (const LocalException &e) {
        outcome = {"local", QString::fromUtf8(e.what()), nullptr};
    } catch (const std::exception &e) {
        outcome = {"runtime", QString::fromUtf8(e.what()), nullptr};
    }
    return outcome;
}

// The "device2" conversation after the opening: "$hello:" in, "$bye:" out.
void speakDevice2(QTcpSocket *socket, FakeCompanionApp &app)
{
    QCOMPARE(readCommand(socket, 5000), QString("$hello:") + kHello);
    sendCommand(socket, "$bye:", "", true, -1);
    QVERIFY(app.waitForReceived("device2", 1));
    QCOMPARE(app.received("device2"), QStringList{"$bye:"});
}

} // namespace

class TestAndroidDevice : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        AndroidDevice::waits.usbConnect = 1000;
        AndroidDevice::waits.usbReady = 400;
        AndroidDevice::waits.usbPause = 50;
        AndroidDevice::waits.control = 1000;
    }
    void cleanup() { AndroidDevice::waits = AndroidDevice::Waits(); }

    void displayName_data()
    {
        QTest::addColumn<QString>("manufacturer");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("name");
        QTest::newRow("both") << "samsung" << "SM-A525F" << "samsung SM-A525F";
        QTest::newRow("no model") << "Google" << "" << "Google";
        QTest::newRow("no manufacturer") << "" << "Pixel 7" << "Pixel 7";
        QTest::newRow("neither") << "" << "" << "";
    }
    void displayName()
    {
        QFETCH(QString, manufacturer);
        QFETCH(QString, model);
        QFETCH(QString, name);
        AndroidDevice device;
        device.manufacturer = manufacturer;
        device.model = model;
        QCOMPARE(device.displayName(), name);
    }

    void parseHello_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("expected");
        const QString start = "version=0 model= manufacturer= imei=KEEP uid= sdk= sdkId=0 root=0 storage1= mmc=";
        QTest::newRow("a recent phone, empty imei kept")
            << kHello
            << "version=31 model=SM-A525F manufacturer=samsung imei=KEEP uid=f3a9c2e1b7d04a55 sdk=13 sdkId=33 "
               "root=0 storage1=/storage/emulated/0 mmc=262";
        QTest::newRow("keys are case-sensitive") << "Version=12;MODEL=x;" << start;
        QTest::newRow("last pair without semicolon")
            << "imei=356938035643809;version=12"
            << "version=12 model= manufacturer= imei=356938035643809 uid= sdk= sdkId=0 root=0 storage1= mmc=";
        QTest::newRow("root 1") << "root=1;" << QString(start).replace("root=0", "root=1");
        QTest::newRow("root not a number") << "root=yes;" << start;
        QTest::newRow("version not a number") << "version=abc;" << start;
        QTest::newRow("later value wins, unknown keys ignored")
            << "model=A;battery=80;model=Pixel 7 Pro;" << QString(start).replace("model=", "model=Pixel 7 Pro");
        QTest::newRow("empty") << "" << start;
    }
    void parseHello()
    {
        QFETCH(QString, payload);
        QFETCH(QString, expected);
        AndroidDevice device;
        device.imei = "KEEP";
        device.parseHello(payload);
        QCOMPARE(describe(device), expected);
    }

    void cacheFolder_data()
    {
        QTest::addColumn<QString>("imei");
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("folder");
        const QString uid = "f3a9c2e1b7d04a55";
        QTest::newRow("IMEI") << "356938035643809" << uid << "S" << "" << "356938035643809";
        QTest::newRow("MEID with letters and dashes") << "A0-000038C1D2E3" << uid << "" << "" << "A0-000038C1D2E3";
        QTest::newRow("empty imei: uid") << "" << uid << "R58M42" << "" << md5Hex(uid);
        QTest::newRow("dot dot") << ".." << uid << "" << "" << md5Hex(uid);
        QTest::newRow("climbing path") << "../../../.ssh" << uid << "" << "" << md5Hex(uid);
        QTest::newRow("absolute path") << "/etc" << uid << "" << "" << md5Hex(uid);
        QTest::newRow("slash inside") << "35/69" << uid << "" << "" << md5Hex(uid);
        QTest::newRow("blank inside") << "35 69" << uid << "" << "" << md5Hex(uid);
        QTest::newRow("digits of another script") << QString::fromUtf8("३५६९") << uid << "" << ""
                                                  << md5Hex(uid);
        QTest::newRow("too long for a name") << QString(65, '7') << uid << "" << "" << md5Hex(uid);
        QTest::newRow("longest kept") << QString(64, '7') << uid << "" << "" << QString(64, '7');
        QTest::newRow("no uid: USB serial") << "" << "" << "R58M42" << "" << md5Hex("R58M42");
        QTest::newRow("no uid: WiFi address") << "" << "" << "" << "192.168.1.5" << md5Hex("192.168.1.5");
    }
    void cacheFolder()
    {
        QFETCH(QString, imei);
        QFETCH(QString, uid);
        QFETCH(QString, serial);
        QFETCH(QString, host);
        QFETCH(QString, folder);
        AndroidDevice device;
        device.imei = imei;
        device.uid = uid;
        device.serial = serial;
        device.host = host;
        device.isWifi = !host.isEmpty();
        const QDir cache = device.cacheDir();
        const QString root = appDataDir().absoluteFilePath("android_cache");
        QCOMPARE(cache.absolutePath(), root + "/" + folder);
        QVERIFY(cache.exists());
        QVERIFY(cache.canonicalPath().startsWith(QDir(root).canonicalPath() + "/"));
    }

    // One phone over USB and over WiFi keeps one cache; two phones without an
    // imei never share one, where sending would skip messages "already"
    // cached for the other phone.
    void cachePerPhone()
    {
        AndroidDevice usb;
        usb.serial = "R58M42";
        usb.uid = "f3a9c2e1b7d04a55";
        AndroidDevice wifi;
        wifi.isWifi = true;
        wifi.host = "192.168.1.5";
        wifi.controlPort = AndroidDevice::kWifiControlPort;
        wifi.uid = "f3a9c2e1b7d04a55";
        AndroidDevice other = usb;
        other.serial = "HT4A1";
        other.uid = "0b1c2d3e4f5a6b7c";
        QCOMPARE(usb.cacheDir(), wifi.cacheDir());
        QVERIFY(usb.cacheDir() != other.cacheDir());
    }

    void deviceKey()
    {
        AndroidDevice device;
        device.serial = "R58M42";
        device.uid = "f3a9c2e1b7d04a55";
        QCOMPARE(device.deviceKey(), QString("R58M42"));
        device.isWifi = true;
        device.serial.clear();
        QCOMPARE(device.deviceKey(), QString("f3a9c2e1b7d04a55"));
    }

    void usbService_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("connections");
        QTest::newRow("ready at once") << "normal" << 1;
        QTest::newRow("CRLF line ends") << "crlf" << 1;
        QTest::newRow("service slow to come up: refused, retried") << "slow" << 1;
        QTest::newRow("forward drops twice, retried") << "dropped" << 3;
    }
    void usbService()
    {
        QFETCH(QString, mode);
        QFETCH(int, connections);
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        app.setHello(kHello);
        app.setCrLf(mode == "crlf");
        if (mode == "slow")
            app.setServiceDelay(600);
        if (mode == "dropped") {
            app.setDroppedConnections(2);
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("connect device2://.* failed, try again..."));
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("connect device2://.* failed, try again..."));
        }
        const int port = FakeCompanionApp::freePort();
        const QString url = QString(kDevice2Url).arg(port);
        AndroidDevice device;
        device.serial = "R58M42";
        Outcome outcome = open(device, url, 10000);
        QVERIFY2(outcome.kind.isEmpty(), qPrintable(outcome.message));
        QCOMPARE(outcome.socket->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(outcome.socket->parent(), nullptr);
        const QList<QStringList> expected{
            {"-s", "R58M42", "shell", "am", "broadcast", "-n", "com.quillmarten.smssync/.AdbSyncBroadcastReceiver",
             "-d", url},
            {"-s", "R58M42", "forward", QString("tcp:%1").arg(port), QString("tcp:%1").arg(port)},
        };
        QCOMPARE(adb.calls(), expected);
        QCOMPARE(app.controlRequests(), QStringList{url});
        speakDevice2(outcome.socket.get(), app);
        QCOMPARE(app.connections("device2"), connections);
    }

    void usbFailures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message"); // %1 is the URL
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("app answers with an error")
            << "error" << "remote" << QString::fromUtf8("Keine SMS-Berechtigung ✓") << 0 << 3000;
        QTest::newRow("app answers another line")
            << "wrong" << "local" << "invalid feedback [$wrong:], must be [$ready:]" << 0 << 3000;
        QTest::newRow("app silent until the limit") << "silence" << "runtime" << "start %1 failed." << 1000 << 6000;
        QTest::newRow("app closes in mid-line, every time")
            << "midline" << "runtime" << "start %1 failed." << 1000 << 6000;
        QTest::newRow("service never listens") << "noservice" << "runtime" << "start %1 failed." << 1000 << 6000;
        QTest::newRow("broadcast reports an error")
            << "broadcast" << "runtime" << "Broadcasting: Intent\nError: Bad component name\n" << 0 << 3000;
        QTest::newRow("forward fails") << "forward" << "runtime" << "error: device 'R58M42' not found\n" << 0
                                       << 3000;
        QTest::newRow("broadcast hangs") << "hang" << "runtime" << "*did not finish within 500 ms." << 500 << 4000;
    }
    void usbFailures()
    {
        QFETCH(QString, setup);
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        app.setHello(kHello);
        if (setup == "error")
            app.setFault("device2", Fault::Error, 0, message);
        else if (setup == "wrong")
            app.setFault("device2", Fault::WrongToken, 0);
        else if (setup == "silence")
            app.setFault("device2", Fault::Silence, 0);
        else if (setup == "midline")
            app.setFault("device2", Fault::CloseMidLine, 0);
        else if (setup == "noservice")
            app.setNoService(true);
        else if (setup == "broadcast")
            adb.answer("broadcast", message.toUtf8());
        else if (setup == "forward")
            adb.answer("forward", "", message.toUtf8());
        else if (setup == "hang")
            adb.delay("broadcast", 60000);
        if (setup == "hang")
            AdbClient::setShortCommandLimit(500);
        const QString url = QString(kDevice2Url).arg(FakeCompanionApp::freePort());
        AndroidDevice device;
        device.serial = "R58M42";
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = open(device, url, 1000);
        const qint64 took = clock.elapsed();
        AdbClient::setShortCommandLimit(AdbClient::kDefaultShortCommandLimitMs);
        QCOMPARE(outcome.kind, kind);
        if (message.startsWith('*'))
            QVERIFY2(outcome.message.endsWith(message.mid(1)), qPrintable(outcome.message));
        else
            QCOMPARE(outcome.message, message.contains("%1") ? message.arg(url) : message);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        if (setup == "wrong") {
            QVERIFY(app.waitForReceived("device2", 1));
            QCOMPARE(app.received("device2"),
                     QStringList{"$error:" + QByteArray("invalid feedback [$wrong:], must be [$ready:]").toBase64()});
        }
        if (setup == "broadcast" || setup == "hang")
            QCOMPARE(adb.count("forward"), 0);
        // Nothing stays connected on the app's side.
        QVERIFY(app.waitForClosed("device2", app.connections("device2"), 5000));
    }

    void wifiService_data()
    {
        QTest::addColumn<bool>("crlf");
        QTest::newRow("LF") << false;
        QTest::newRow("CRLF") << true;
    }
    void wifiService()
    {
        QFETCH(bool, crlf);
        FakeAdb adb; // WiFi never runs adb
        FakeCompanionApp app;
        app.setHello(kHello);
        app.setCrLf(crlf);
        const QString url = QString(kDevice2Url).arg(FakeCompanionApp::freePort());
        AndroidDevice device;
        device.isWifi = true;
        device.host = "127.0.0.1";
        device.controlPort = app.controlPort();
        Outcome outcome = open(device, url, 10000);
        QVERIFY2(outcome.kind.isEmpty(), qPrintable(outcome.message));
        QCOMPARE(app.controlRequests(), QStringList{url});
        speakDevice2(outcome.socket.get(), app);
        QVERIFY(app.waitForClosed("control", 1, 5000));
        QCOMPARE(adb.calls(), QList<QStringList>());
    }

    void wifiFailures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message"); // %1 URL, %2 host:port
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("control port refused") << "refused" << "runtime" << "can not connect %2." << 0 << 1000;
        QTest::newRow("address with a group above 255")
            << "badhost" << "runtime" << "can not connect 300.1.1.1:44441." << 0 << 1000;
        QTest::newRow("app cannot start the service")
            << "status" << "runtime" << QString::fromUtf8("start %1 failed.Kein Speicher frei ✓") << 0 << 3000;
        QTest::newRow("status line never comes")
            << "statussilent" << "transfer" << "Network operation timed out" << 1000 << 4000;
        QTest::newRow("service port not reachable") << "noservice" << "runtime" << "connec %1 failed." << 0 << 3000;
        QTest::newRow("app answers with an error") << "error" << "remote" << "no permission" << 0 << 3000;
        QTest::newRow("app answers another line")
            << "wrong" << "local" << "invalid feedback [$wrong:], must be [$ready:]" << 0 << 3000;
        QTest::newRow("app silent until the limit")
            << "silence" << "transfer" << "Network operation timed out" << 800 << 4000;
        QTest::newRow("app closes in mid-line")
            << "midline" << "transfer" << "The remote host closed the connection" << 0 << 3000;
        QTest::newRow("overlong line") << "overlong" << "transfer" << "Line longer than 16777216 bytes." << 0
                                       << 15000;
    }
    void wifiFailures()
    {
        QFETCH(QString, setup);
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        FakeCompanionApp app;
        app.setHello(kHello);
        AndroidDevice device;
        device.isWifi = true;
        device.host = "127.0.0.1";
        device.controlPort = app.controlPort();
        if (setup == "refused") {
            device.controlPort = FakeCompanionApp::freePort();
        } else if (setup == "badhost") {
            device.host = "300.1.1.1";
            device.controlPort = AndroidDevice::kWifiControlPort;
        } else if (setup == "status") {
            app.setStatusFailure(QString::fromUtf8("Kein Speicher frei ✓"));
        } else if (setup == "statussilent") {
            app.setStatusSilent(true);
        } else if (setup == "noservice") {
            app.setNoService(true);
        } else if (setup == "error") {
            app.setFault("device2", Fault::Error, 0, message);
        } else if (setup == "wrong") {
            app.setFault("device2", Fault::WrongToken, 0);
        } else if (setup == "silence") {
            app.setFault("device2", Fault::Silence, 0);
        } else if (setup == "midline") {
            app.setFault("device2", Fault::CloseMidLine, 0);
        } else if (setup == "overlong") {
            app.setFault("device2", Fault::Overlong, 0);
        }
        const QString url = QString(kDevice2Url).arg(FakeCompanionApp::freePort());
        QElapsedTimer clock;
        clock.start();
        // 16 MiB through a sanitizer build on a loaded machine can pause
        // longer than the short per-wait limit the other rows need.
        const Outcome outcome = open(device, url, setup == "overlong" ? 10000 : 800);
        const qint64 took = clock.elapsed();
        QCOMPARE(outcome.kind, kind);
        QCOMPARE(outcome.message,
                 QString(message).replace("%1", url).replace("%2", QString("%1:%2").arg(device.host).arg(device.controlPort)));
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        if (setup == "wrong") {
            QVERIFY(app.waitForReceived("device2", 1));
            QCOMPARE(app.received("device2"),
                     QStringList{"$error:" + QByteArray("invalid feedback [$wrong:], must be [$ready:]").toBase64()});
        }
        // Both sockets are let go on every failure.
        QVERIFY(app.waitForClosed("control", app.connections("control"), 5000));
        QVERIFY(app.waitForClosed("device2", app.connections("device2"), 5000));
    }

    // Whole conversations over a WiFi opening: lines in both directions,
    // batches acknowledged, and a restore batch written without flushes that
    // the flushed "$end:" pushes out.
    void conversations()
    {
        FakeCompanionApp app;
        const auto b64 = [](const char *text) { return QString::fromLatin1(QByteArray(text).toBase64()); };
        const QString received = QStringLiteral("1700000000123,2,%1,%2,%3,").arg(b64("+4915112345678"), b64("Jörg"),
                                                                                b64("Schon da? 😀"));
        const QString sent = QStringLiteral("1700000100000,1,%1,,%2,").arg(b64("jorg@example.org"), b64("Ja!"));
        app.setBackup({{received, sent}, {}}, 2);
        app.setDefSmsApp(1);
        app.setCrLf(true);
        AndroidDevice device;
        device.isWifi = true;
        device.host = "127.0.0.1";
        device.controlPort = app.controlPort();

        std::unique_ptr<QTcpSocket> backup(device.openService(QString(kBackup2Url).arg(FakeCompanionApp::freePort()), 5000));
        QStringList lines;
        for (;;) {
            const QString line = readCommand(backup.get(), 5000);
            lines << line;
            if (line.startsWith("$end:"))
                sendCommand(backup.get(), "$batch:", "", true, -1);
            if (line.startsWith("$bye:"))
                break;
        }
        sendCommand(backup.get(), "$bye:", "", true, -1);
        QCOMPARE(lines, (QStringList{"$count:2", "$batch:", "$sms:" + received, "$sms:" + sent, "$end:", "$batch:",
                                     "$end:", "$bye:"}));
        QVERIFY(app.waitForReceived("backup2", 3));
        QCOMPARE(app.received("backup2"), (QStringList{"$batch:", "$batch:", "$bye:"}));

        std::unique_ptr<QTcpSocket> restore(device.openService(QString(kRestore2Url).arg(FakeCompanionApp::freePort()), 5000));
        QCOMPARE(expectCommand(restore.get(), "$defsmsapp:", 5000), QString("$defsmsapp:1"));
        sendCommand(restore.get(), "$defsmsapp:", "", true, -1);
        QStringList expected{"$defsmsapp:"};
        for (int batch = 0; batch < 2; ++batch) {
            sendCommand(restore.get(), "$batch:", "", true, -1);
            expected << "$batch:";
            for (int i = 0; i < 100; ++i) {
                const QString sms = QStringLiteral("%1,0,%2,%3").arg(978307200000LL + i).arg(b64("+49301234567"),
                                                                                            b64("Grüße"));
                sendCommand(restore.get(), "$sms:", sms, false, -1);
                expected << "$sms:" + sms;
            }
            sendCommand(restore.get(), "$end:", "", true, -1);
            expected << "$end:";
            QCOMPARE(expectCommand(restore.get(), "$batch:", 5000), QString("$batch:"));
        }
        sendCommand(restore.get(), "$bye:", "", true, -1);
        expected << "$bye:";
        QVERIFY(app.waitForReceived("restore2", int(expected.size())));
        QCOMPARE(app.received("restore2"), expected);
    }

    // Cancel reaches every wait of an opening at once, also those whose
    // limit would be long.
    void cancelStopsOpening_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("USB, app silent") << "usb";
        QTest::newRow("WiFi, status line never comes") << "status";
        QTest::newRow("WiFi, app silent") << "wifi";
    }
    void cancelStopsOpening()
    {
        QFETCH(QString, setup);
        AndroidDevice::waits = AndroidDevice::Waits();
        FakeAdb adb;
        FakeCompanionApp app;
        adb.handUrlsTo(app.controlPort());
        AndroidDevice device;
        device.serial = "R58M42";
        if (setup != "usb") {
            device.isWifi = true;
            device.host = "127.0.0.1";
            device.controlPort = app.controlPort();
        }
        if (setup == "status")
            app.setStatusSilent(true);
        else
            app.setFault("device2", Fault::Silence, 0);
        std::atomic<bool> cancelled{false};
        std::thread canceller([&]() {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            cancelled = true;
        });
        CancelScope scope(&cancelled);
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = open(device, QString(kDevice2Url).arg(FakeCompanionApp::freePort()), 10000);
        canceller.join();
        // Whether the cancel met adb's broadcast or the wait for the app.
        QVERIFY2(outcome.kind == "transfer" || outcome.kind == "runtime", qPrintable(outcome.kind));
        QCOMPARE(outcome.message, QString(kCancelled));
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(app.waitForClosed("control", app.connections("control"), 5000));
        QVERIFY(app.waitForClosed("device2", app.connections("device2"), 5000));
    }
};

QP_TEST_MAIN(TestAndroidDevice)

} // namespace tst_androiddevice

#include "tst_androiddevice.moc"
