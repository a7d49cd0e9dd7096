#include "android/androidmonitor.h"
#include "tests/support/fakeadb.h"
#include "tests/support/testmain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSemaphore>
#include <QThreadPool>
#include <QTemporaryDir>
#include <memory>

namespace tst_androidmonitor {

namespace {

const QByteArray kHeader = "List of devices attached\n";

// Collects the monitor's signals in the test's thread, where they arrive queued.
class Arrivals : public QObject
{
public:
    explicit Arrivals(AndroidMonitor *monitor)
    {
        connect(monitor, &AndroidMonitor::deviceConnected, this,
                [this](const AdbDevice &device) { events << "+" + device.serial + "/" + device.state; });
        connect(monitor, &AndroidMonitor::deviceDisconnected, this,
                [this](const QString &serial) { events << "-" + serial; });
    }
    QStringList events;
};

std::unique_ptr<AndroidMonitor> quickMonitor()
{
    auto monitor = std::make_unique<AndroidMonitor>();
    monitor->setPassInterval(100);
    monitor->setDeviceManagerWait(300);
    monitor->setDeviceManagerProgram(QString()); // started by the tests that want it
    return monitor;
}

} // namespace

class TestAndroidMonitor : public QObject
{
    Q_OBJECT

private slots:
    void passesReportArrivalsAndRemovals()
    {
        FakeAdb adb;
        adb.answer("start-server", "", "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n");
        adb.answer("devices", kHeader + "R58M42\tdevice\nHT4A1\tunauthorized\nemulator-5554\toffline\n\n", "", 0, 1);
        adb.answer("devices", kHeader, "error: protocol fault (couldn't read status): Connection reset by peer\n", 1,
                   2);
        adb.answer("devices", kHeader + "R58M42\tdevice\n", "", 0, 3);
        adb.answer("devices", kHeader, "", 0, 4);
        adb.answer("devices", kHeader + "R58M42\tdevice\nHT4A1\tdevice\n");
        auto monitor = quickMonitor();
        Arrivals arrivals(monitor.get());
        QVERIFY(!monitor->hasKnownSerials());
        monitor->startMonitoring();
        QVERIFY(adb.waitForCalls("devices", 7));
        QTRY_COMPARE(arrivals.events.size(), 8);
        const QStringList &e = arrivals.events;
        // First pass: every listed phone, in adb's order, whatever its state.
        QCOMPARE(e.mid(0, 3), (QStringList{"+R58M42/device", "+HT4A1/unauthorized", "+emulator-5554/offline"}));
        // The failed second pass forgot nothing; the third saw two phones go.
        QStringList gone = e.mid(3, 2);
        std::stable_sort(gone.begin(), gone.end());
        QCOMPARE(gone, (QStringList{"-HT4A1", "-emulator-5554"}));
        QCOMPARE(e.at(5), QString("-R58M42"));
        // Plugged in again: reported again, with the state adb gives now.
        QCOMPARE(e.mid(6, 2), (QStringList{"+R58M42/device", "+HT4A1/device"}));
        QVERIFY(monitor->hasKnownSerials());
        QVERIFY(adb.waitForCalls("devices", 9));
        QTest::qWait(50);
        QCOMPARE(arrivals.events.size(), 8); // unchanged lists report nothing
    }

    // The loop never ends: on the global pool it would take the only thread
    // a one-core machine gives it, and the window's painting, which hands
    // work to that pool and waits for it, would hang.
    void theLoopLeavesTheGlobalPoolFree()
    {
        FakeAdb adb;
        adb.answer("start-server", "", "* daemon started successfully\n");
        adb.answer("devices", kHeader);
        QThreadPool *global = QThreadPool::globalInstance();
        const int maxThreads = global->maxThreadCount();
        global->setMaxThreadCount(1);
        auto monitor = quickMonitor();
        monitor->startMonitoring();
        QVERIFY(adb.waitForCalls("devices", 2));
        QSemaphore ran;
        global->start([&ran] { ran.release(); });
        const bool started = ran.tryAcquire(1, 5000);
        monitor.reset();
        global->waitForDone(5000);
        global->setMaxThreadCount(maxThreads);
        QVERIFY(started);
    }

    void serverStart_data()
    {
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<bool>("helper");
        QTest::newRow("fresh start, told on stderr")
            << QByteArray() << QByteArray("* daemon not running; starting now at tcp:5037\n* daemon started successfully\n")
            << false;
        QTest::newRow("phrase in upper case") << QByteArray("* DAEMON STARTED SUCCESSFULLY *\n") << QByteArray()
                                              << false;
        QTest::newRow("server already running") << QByteArray() << QByteArray() << true;
        QTest::newRow("server failed") << QByteArray() << QByteArray("error: could not install *smartsocket* listener\n")
                                       << true;
    }
    void serverStart()
    {
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(bool, helper);
        FakeAdb adb;
        adb.answer("start-server", out, err);
        adb.answer("devices", kHeader);
        // A helper that never ends by itself: the monitor waits for it only so long.
        QTemporaryDir folder;
        const QString ran = folder.filePath("ran");
        const QString script = folder.filePath("QuillmartenDeviceManager.exe");
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho ran >> '" + ran.toUtf8() + "'\nexec sleep 30\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        auto monitor = quickMonitor();
        monitor->setDeviceManagerProgram(script);
        QElapsedTimer clock;
        clock.start();
        monitor->startMonitoring();
        QVERIFY(adb.waitForCalls("devices", 1));
        QCOMPARE(QFile::exists(ran), helper);
        QCOMPARE(adb.count("start-server"), helper ? 2 : 1);
        if (helper)
            QVERIFY(clock.elapsed() >= 300);
        QVERIFY(clock.elapsed() < 10000);
    }

    void missingHelperIsSkipped()
    {
        FakeAdb adb;
        adb.answer("devices", kHeader);
        auto monitor = quickMonitor();
        monitor->setDeviceManagerProgram(QDir::temp().filePath("no-such-helper.exe"));
        monitor->setDeviceManagerWait(60000);
        QElapsedTimer clock;
        clock.start();
        monitor->startMonitoring();
        QVERIFY(adb.waitForCalls("devices", 1));
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(adb.count("start-server"), 2);
    }

    // kill-server comes after the loop has ended, never while a pass runs.
    void killServerAfterTheLoop()
    {
        FakeAdb adb;
        adb.answer("devices", kHeader + "R58M42\tdevice\n");
        {
            auto monitor = quickMonitor();
            monitor->startMonitoring();
            QVERIFY(adb.waitForCalls("devices", 3));
        }
        const QStringList events = adb.events();
        const int kill = int(events.indexOf("> kill-server"));
        QVERIFY(kill > 0);
        QCOMPARE(events.mid(kill), (QStringList{"> kill-server", "< kill-server"}));
        QCOMPARE(adb.count("kill-server"), 1);
    }

    void stopIsPrompt_data()
    {
        QTest::addColumn<QString>("hung");
        QTest::newRow("adb devices hangs") << "devices";
        QTest::newRow("adb start-server hangs") << "start-server";
        QTest::newRow("between passes") << "";
    }
    void stopIsPrompt()
    {
        QFETCH(QString, hung);
        FakeAdb adb;
        adb.answer("start-server", "* daemon started successfully\n");
        adb.answer("devices", kHeader);
        if (!hung.isEmpty())
            adb.delay(hung, 60000);
        auto monitor = quickMonitor();
        monitor->setPassInterval(60000);
        monitor->startMonitoring();
        QVERIFY(adb.waitForCalls(hung.isEmpty() ? "devices" : hung, 1));
        QTest::qWait(200);
        QElapsedTimer clock;
        clock.start();
        monitor.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        const QStringList events = adb.events();
        if (!hung.isEmpty())
            QVERIFY(!events.contains("< " + hung)); // cut off, not waited for
        QCOMPARE(events.mid(events.size() - 2), (QStringList{"> kill-server", "< kill-server"}));
    }

    void neverStartedStillStopsServer()
    {
        FakeAdb adb;
        QTest::ignoreMessage(QtDebugMsg, "~AndroidMonitor begin");
        QTest::ignoreMessage(QtDebugMsg, "~AndroidMonitor end");
        {
            AndroidMonitor monitor;
            QVERIFY(!monitor.hasKnownSerials());
        }
        QCOMPARE(adb.calls(), QList<QStringList>{{"kill-server"}});
    }

    void stubHelperEndsAtOnce()
    {
        const QString path = AndroidMonitor::deviceManagerPath();
        QCOMPARE(path, QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("QuillmartenDeviceManager.exe"));
        QProcess helper;
        helper.start(path, QStringList());
        QVERIFY(helper.waitForFinished(5000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);
    }
};

QP_TEST_MAIN(TestAndroidMonitor)

} // namespace tst_androidmonitor

#include "tst_androidmonitor.moc"
