#include "android/adbclient.h"
#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "tests/support/fakeadb.h"
#include "tests/support/testmain.h"

#include <QElapsedTimer>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

namespace tst_adbclient {

namespace {

// The message of what the call throws, or "" when it returns.
QString thrown(const std::function<void()> &call)
{
    try {
        call();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class TestAdbClient : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { AdbClient::setShortCommandLimit(AdbClient::kDefaultShortCommandLimitMs); }

    void deviceList_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("devices"); // serial/state/ready

        QTest::newRow("one phone") << "List of devices attached\n0123456789ABCDEF\tdevice\n\n"
                                   << QStringList{"0123456789ABCDEF/device/1"};
        QTest::newRow("state in upper case is ready") << "List of devices attached\r\nR58M42\tDEVICE\r\n"
                                                       << QStringList{"R58M42/DEVICE/1"};
        QTest::newRow("unauthorized, offline and ready, in adb's order")
            << "List of devices attached\nemulator-5554\tunauthorized\nZY22_3\toffline\nHT4A1\tdevice\n"
            << QStringList{"emulator-5554/unauthorized/0", "ZY22_3/offline/0", "HT4A1/device/1"};
        QTest::newRow("header in another case")
            << "* daemon started successfully\n  list OF devices ATTACHED  \nabc\tdevice\n"
            << QStringList{"abc/device/1"};
        QTest::newRow("no header, no devices") << "abc\tdevice\n" << QStringList();
        QTest::newRow("header only") << "List of devices attached\n\n" << QStringList();
        QTest::newRow("network serial is cut at the dot")
            << "List of devices attached\n192.168.1.5:5555\tdevice\n" << QStringList{"192/168/0"};
        QTest::newRow("long listing keeps the first two words")
            << "List of devices attached\nR58M42 device usb:1-1 product:a52 model:SM_A525F\n"
            << QStringList{"R58M42/device/1"};
        QTest::newRow("a line of one word is skipped")
            << "List of devices attached\nlonely\nok\tdevice\n" << QStringList{"ok/device/1"};
    }
    void deviceList()
    {
        QFETCH(QString, output);
        QFETCH(QStringList, devices);
        QStringList got;
        for (const AdbDevice &device : AdbClient::parseDevices(output)) {
            got << QStringLiteral("%1/%2/%3").arg(device.serial, device.state).arg(device.isReady() ? 1 : 0);
            QCOMPARE(device.line, device.line.trimmed());
            QCOMPARE(device.isOfflineOrUnauthorized(),
                     device.state.toLower() == "offline" || device.state.toLower() == "unauthorized");
        }
        QCOMPARE(got, devices);
    }

    void packages_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("empty") << "" << QStringList();
        QTest::newRow("adb's error text") << "error: device offline\n" << QStringList();
        QTest::newRow("names, blanks and CRLF")
            << "package:com.android.phone\r\npackage:com.quillmarten.smssync   \r\n  package: com.x \n"
            << QStringList{"com.android.phone", "com.quillmarten.smssync", "com.x"};
        QTest::newRow("prefix is case-sensitive") << "Package:com.a\npackages:com.b\n" << QStringList();
    }
    void packages()
    {
        QFETCH(QString, output);
        QFETCH(QStringList, names);
        QStringList got = AdbClient::parsePackages(output).values();
        std::stable_sort(got.begin(), got.end());
        QCOMPARE(got, names);
    }

    void outcomeLines_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("success");
        QTest::addColumn<bool>("error");
        QTest::newRow("streamed install") << "Performing Streamed Install\nSuccess\n" << true << false;
        QTest::newRow("lower case at the end") << "Performing Push Install\r\nsuccess" << true << false;
        QTest::newRow("failure line")
            << "Performing Streamed Install\nadb: failed to install x.apk: Failure [INSTALL_FAILED_VERSION_DOWNGRADE]\n"
            << false << false;
        QTest::newRow("Success inside a line") << "Not Success yet\n" << false << false;
        QTest::newRow("error line after blanks") << "Broadcasting: Intent\n   Error: Bad component name\n"
                                                 << false << true;
        QTest::newRow("error: later in a line") << "Broadcast completed: result=0, error: none\n" << false
                                                << false;
    }
    void outcomeLines()
    {
        QFETCH(QString, output);
        QFETCH(bool, success);
        QFETCH(bool, error);
        QCOMPARE(AdbClient::hasSuccessLine(output), success);
        QCOMPARE(AdbClient::hasErrorLine(output), error);
    }

    void commandLines()
    {
        FakeAdb adb;
        adb.answer("install", "Success\n");
        adb.answer("uninstall", "Success\n");
        AdbClient client;
        client.devices();
        client.forward("R58M42", 20501, 20501);
        client.installedPackages("R58M42");
        client.install("R58M42", "/data/com.quillmarten.smssync.apk");
        client.uninstall("R58M42", "com.x");
        client.activityManager("R58M42", "broadcast", "com.quillmarten.smssync/.AdbSyncBroadcastReceiver", "",
                               "device2://127.0.0.1:20501", {}, "");
        client.activityManager("R58M42", "start", "c/.A", "android.intent.action.VIEW", "d",
                               {"cat.ONE", "cat.TWO"}, "text/plain");
        client.logcat("R58M42");
        client.forceStop("R58M42", "com.x");
        client.killServer();
        const QList<QStringList> expected{
            {"devices"},
            {"-s", "R58M42", "forward", "tcp:20501", "tcp:20501"},
            {"-s", "R58M42", "shell", "pm", "-l"},
            {"-s", "R58M42", "install", "/data/com.quillmarten.smssync.apk"},
            {"-s", "R58M42", "uninstall", "com.x"},
            {"-s", "R58M42", "shell", "am", "broadcast", "-n", "com.quillmarten.smssync/.AdbSyncBroadcastReceiver",
             "-d", "device2://127.0.0.1:20501"},
            {"-s", "R58M42", "shell", "am", "start", "-n", "c/.A", "-a", "android.intent.action.VIEW", "-d", "d",
             "-c", "cat.ONE", "-c", "cat.TWO", "-t", "text/plain"},
            {"-s", "R58M42", "shell", "logcat", "-d"},
            {"-s", "R58M42", "shell", "am", "force-stop", "com.x"},
            {"kill-server"},
        };
        QCOMPARE(adb.calls(), expected);
    }

    void standardErrorAndOutput()
    {
        FakeAdb adb;
        adb.answer("logcat", QByteArray("line one\nbytes \xE9\xFF\0after NUL", 27), "warn: slow\n");
        AdbClient client;
        // Without throwOnError the error text stands in front of the output.
        QCOMPARE(client.logcat("S"), QString("warn: slow\n\nline one\nbytes \u00E9\u00FF"));
        QCOMPARE(thrown([&] { client.run({"logcat"}, true); }), QString("warn: slow\n"));
        // No error text: the output alone, and an exit code decides nothing.
        adb.answer("shell", "out\n", "", 3);
        QCOMPARE(client.run({"shell", "id"}, true), QString("out\n"));
    }

    void commandOutcomes_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("error"); // "" when the command succeeds
        QTest::newRow("devices, adb complains") << "devices" << QByteArray("List of devices attached\n")
                                                << QByteArray("error: protocol fault\n") << "error: protocol fault\n";
        QTest::newRow("forward, adb complains") << "forward" << QByteArray()
                                                << QByteArray("error: device 'S' not found\n")
                                                << "error: device 'S' not found\n";
        QTest::newRow("install success") << "install" << QByteArray("Performing Streamed Install\nSuccess\n")
                                         << QByteArray() << "";
        QTest::newRow("install success, warnings on stderr")
            << "install" << QByteArray("Success\n") << QByteArray("WARNING: linker: odd\n") << "";
        QTest::newRow("install failure, whole output")
            << "install" << QByteArray("Performing Streamed Install\n")
            << QByteArray("adb: failed to install: Failure [INSTALL_FAILED_INSUFFICIENT_STORAGE]\n")
            << "adb: failed to install: Failure [INSTALL_FAILED_INSUFFICIENT_STORAGE]\n\nPerforming Streamed Install\n";
        QTest::newRow("uninstall, any stderr fails") << "uninstall" << QByteArray("Success\n")
                                                     << QByteArray("note\n") << "note\n";
        QTest::newRow("broadcast error line") << "broadcast"
                                              << QByteArray("Broadcasting: Intent\nError: Bad component name\n")
                                              << QByteArray() << "Broadcasting: Intent\nError: Bad component name\n";
        QTest::newRow("broadcast fine") << "broadcast" << QByteArray("Broadcast completed: result=0\n")
                                        << QByteArray() << "";
    }
    void commandOutcomes()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(QString, error);
        FakeAdb adb;
        adb.answer(command, out, err);
        AdbClient client;
        QCOMPARE(thrown([&] {
                     if (command == "devices")
                         client.devices();
                     else if (command == "forward")
                         client.forward("S", 1, 2);
                     else if (command == "install")
                         client.install("S", "a.apk");
                     else if (command == "uninstall")
                         client.uninstall("S", "p");
                     else
                         client.activityManager("S", "broadcast", "c", "", "u", {}, "");
                 }),
                 error);
    }

    void adbMissing()
    {
        FakeAdb adb(false);
        AdbClient client;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(thrown([&] { client.devices(); }), QString("run adb failed."));
        QCOMPARE(thrown([&] { client.forward("S", 1, 1); }), QString("run adb failed."));
        QCOMPARE(thrown([&] { client.install("S", "a.apk"); }), QString("run adb failed."));
        QCOMPARE(client.installedPackages("S"), QSet<QString>());
        QCOMPARE(client.run({"start-server"}, false), QString("run adb failed."));
        client.killServer();
        QVERIFY(clock.elapsed() < 5000);
    }

    // The short commands end at their limit and leave no adb behind.
    void hungShortCommands_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("throws");
        QTest::newRow("devices") << "devices" << true;
        QTest::newRow("forward") << "forward" << true;
        QTest::newRow("broadcast") << "broadcast" << true;
        QTest::newRow("package listing") << "pm" << false;
    }
    void hungShortCommands()
    {
        QFETCH(QString, command);
        QFETCH(bool, throws);
        FakeAdb adb;
        adb.delay(command, 60000);
        // Long enough for the fake to start and record the call on a loaded
        // machine, far below its hang.
        AdbClient::setShortCommandLimit(1500);
        AdbClient client;
        QElapsedTimer clock;
        clock.start();
        QSet<QString> packages{"sentinel"};
        const QString error = thrown([&] {
            if (command == "devices")
                client.devices();
            else if (command == "forward")
                client.forward("S", 1, 1);
            else if (command == "broadcast")
                client.activityManager("S", "broadcast", "c", "", "u", {}, "");
            else
                packages = client.installedPackages("S");
        });
        QVERIFY2(clock.elapsed() >= 1500 && clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        if (throws)
            QVERIFY2(error.contains("did not finish within 1500 ms"), qPrintable(error));
        else
            QVERIFY(packages.isEmpty());
        QCOMPARE(adb.events(), QStringList{"> " + command}); // killed, it never ended by itself
    }

    // An install has no fixed limit, but a cancel ends it at once.
    void cancelKillsAnyCommand()
    {
        FakeAdb adb;
        adb.delay("install", 60000);
        AdbClient::setShortCommandLimit(100);
        std::atomic<bool> cancelled{false};
        // Cancelled once adb runs for a moment, as a user would.
        std::thread canceller([&]() {
            for (int i = 0; i < 1000 && adb.count("install") == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cancelled = true;
        });
        CancelScope scope(&cancelled);
        QElapsedTimer clock;
        clock.start();
        const QString error = thrown([&] { AdbClient().install("S", "big.apk"); });
        canceller.join();
        QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(error, QString(simpleprotocol::kCancelled));
        QCOMPARE(adb.events(), QStringList{"> install"});
        // Once cancelled, nothing more is started.
        QCOMPARE(thrown([&] { AdbClient().devices(); }), QString(simpleprotocol::kCancelled));
        QCOMPARE(adb.count("devices"), 0);
    }

    // kill-server runs at exit, where nothing can cancel it: a hung one is cut
    // off after its own limit.
    void hungKillServer()
    {
        FakeAdb adb;
        adb.delay("kill-server", 60000);
        QElapsedTimer clock;
        clock.start();
        AdbClient().killServer();
        QVERIFY(clock.elapsed() >= AdbClient::kKillServerLimitMs);
        QVERIFY(clock.elapsed() < AdbClient::kKillServerLimitMs + 3000);
    }
};

QP_TEST_MAIN(TestAdbClient)

} // namespace tst_adbclient

#include "tst_adbclient.moc"
