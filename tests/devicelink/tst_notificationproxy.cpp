// The notification proxy client and its listening thread, against virtual
// iPhones (a name posted on one connection is relayed to every connection
// observing it) and against scripted devices.
#include "devicelink/mobiledevice_notification_thread.h"
#include "devicelink/notificationproxy.h"
#include "ios/mobiledevice.h"
#include "tests/devicelink/attachedphones.h"
#include "tests/devicelink/cfmessages.h"
#include "tests/support/logcapture.h"
#include "tests/support/socketpeer.h"
#include "tests/support/testmain.h"

#include <QSignalSpy>

#include <sys/stat.h>

#include <functional>
#include <memory>

namespace tst_notificationproxy {

using cfmessages::liveValues;
using cfmessages::parsed;
using cfmessages::thrown;
using cfmessages::xml;
using testsupport::LogCapture;
using testsupport::PeerSocket;
using testsupport::ServicePeerHook;
using testsupport::SocketPeer;

namespace {

const char *const kService = "com.apple.mobile.notification_proxy";
const QString kLock = "com.apple.springboard.lockstate";
const QString kOwn = QString::fromUtf8("com.example.gr\u00fc\u00dfe.\U0001F389");

// The same socket still open: the number may have been reused by then, so
// the open file behind it is compared too.
bool sameSocketOpen(int socket, ino_t inode)
{
    struct stat info;
    return fstat(socket, &info) == 0 && info.st_ino == inode;
}

ino_t inodeOf(int socket)
{
    struct stat info;
    return fstat(socket, &info) == 0 ? info.st_ino : 0;
}

} // namespace

// Receives the thread's signal in the test's own thread, as a window would.
class Listener : public QObject
{
    Q_OBJECT
signals:
    void heard(QString name);
};

class TestNotificationProxy : public QObject
{
    Q_OBJECT

    AttachedPhones phones;
    void *device = nullptr;
    qint64 liveAtStart = 0;

    QVariantList recorded()
    {
        return parsed(testsupport::recordedServiceRequests(phones.folder("notify"), kService)).toList();
    }
    void post(const QString &name)
    {
        int socket = 0;
        mobiledevice_notification_start(device, &socket);
        mobiledevice_notification_post(socket, name);
        mobiledevice_closesocket(socket);
    }

private slots:
    void initTestCase()
    {
        phones.start();
        device = phones.attach(testsupport::typicalIPhone("notify"));
        QVERIFY(device);
    }
    void cleanupTestCase() { QVERIFY(phones.detach("notify", device)); }
    void init()
    {
        liveAtStart = liveValues();
        mobiledevice_set_length_wait_ms(60000);
    }
    void cleanup()
    {
        mobiledevice_set_length_wait_ms(60000);
        QCOMPARE(liveValues(), liveAtStart);
    }

    void aPostedNameIsHeardOnce()
    {
        LogCapture log;
        auto thread = std::make_unique<mobiledevice_notification_thread>(device);
        Listener listener;
        connect(thread.get(), &mobiledevice_notification_thread::recNotification, &listener, &Listener::heard);
        QSignalSpy heard(&listener, &Listener::heard);
        const int before = recorded().size();
        thread->observe({kLock, kOwn});
        thread->start();
        // The phone reads each connection on its own; a post that overtakes
        // the observe requests would find nobody listening.
        QTRY_COMPARE_WITH_TIMEOUT(recorded().size(), before + 2, 10000);

        post(kOwn);
        QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 1, 10000);
        QCOMPARE(heard.at(0).at(0).toString(), kOwn);
        post("com.example.unobserved");
        QTest::qWait(300);
        QCOMPARE(heard.size(), 1);

        // The phone answered the shutdown with ProxyDeath: only the first line.
        QCOMPARE(log.linesStartingWith("mobiledevice_notification_post"),
                 QStringList({"mobiledevice_notification_post, notification:" + kOwn,
                              "mobiledevice_notification_post, notification:com.example.unobserved"}));
        QCOMPARE(log.linesStartingWith("mobiledevice_notification_get_throw"),
                 QStringList{"mobiledevice_notification_get_throw, got notification " + kOwn + "."});
        const auto command = [](const char *name, const QString &notification = QString()) {
            QVariantMap message{{"Command", name}};
            if (!notification.isNull())
                message.insert("Name", notification);
            return QVariant(message);
        };
        QTRY_COMPARE(recorded().size(), before + 6);
        QCOMPARE(recorded().mid(before), QVariantList({command("ObserveNotification", kLock),
                                                       command("ObserveNotification", kOwn),
                                                       command("PostNotification", kOwn), command("Shutdown"),
                                                       command("PostNotification", "com.example.unobserved"),
                                                       command("Shutdown")}));
        QElapsedTimer clock;
        clock.start();
        thread.reset();
        QVERIFY(clock.elapsed() < 5000);
    }

    void receiving_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("bodyDelayMs");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("error");
        QTest::newRow("a relay") << xml(QVariantMap{{"Command", "RelayNotification"}, {"Name", kOwn}}) << 0 << kOwn
                                 << QString();
        QTest::newRow("a command in lower case") << xml(QVariantMap{{"Command", "relaynotification"}, {"Name", kLock}})
                                                 << 0 << kLock << QString();
        QTest::newRow("proxy death") << xml(QVariantMap{{"Command", "ProxyDeath"}}) << 0 << QString()
                                     << "ERROR: NotificationProxy died!";
        QTest::newRow("proxy death, shouted") << xml(QVariantMap{{"Command", "PROXYDEATH"}}) << 0 << QString()
                                              << "ERROR: NotificationProxy died!";
        QTest::newRow("an unknown command") << xml(QVariantMap{{"Command", "Frobnicate"}}) << 0 << QString()
                                            << "unknown NotificationProxy command 'Frobnicate' received!";
        QTest::newRow("no command") << xml(QVariantList{"RelayNotification"}) << 0 << QString()
                                    << "unknown NotificationProxy command '' received!";
        QTest::newRow("garbage") << QByteArray("\x01garbage") << 0 << QString()
                                 << "unknown NotificationProxy command '' received!";
        // The body has 500 ms once its length came.
        QTest::newRow("a body that comes too late")
            << xml(QVariantMap{{"Command", "RelayNotification"}, {"Name", kOwn}}) << 1500 << QString()
            << "mobiledevice_recmsg(msg) error, received length: 0.";
    }
    void receiving()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, bodyDelayMs);
        QFETCH(QString, name);
        QFETCH(QString, error);
        SocketPeer peer([&](PeerSocket &phone) {
            const quint32 n = quint32(body.size());
            const char length[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
            phone.write(QByteArray(length, 4));
            QThread::msleep(bodyDelayMs);
            phone.write(body);
        });
        QString got;
        QCOMPARE(thrown([&] { got = mobiledevice_notification_get_throw(peer.socket()); }), error);
        QCOMPARE(got, name);
    }

    void postingAndItsAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("logged");
        const QString first = "mobiledevice_notification_post, notification:" + kOwn;
        QTest::newRow("ProxyDeath") << xml(QVariantMap{{"Command", "ProxyDeath"}}) << QStringList{first};
        QTest::newRow("anything else") << xml(QVariantMap{{"Command", "RelayNotification"}, {"Name", "x"}})
                                       << QStringList{first, "mobiledevice_notification_post, unexpected answer: "
                                                             "RelayNotification"};
        QTest::newRow("no property list") << QByteArray("??")
                                          << QStringList{first, "mobiledevice_notification_post, unexpected answer: "};
    }
    void postingAndItsAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, logged);
        QVariantList sent;
        QList<bool> asXml;
        SocketPeer peer([&](PeerSocket &phone) {
            for (int i = 0; i < 2; ++i) {
                const QByteArray body = phone.readFrame();
                asXml.append(cfmessages::isXml(body));
                sent.append(parsed(body));
            }
            phone.writeFrame(answer);
        });
        LogCapture log;
        mobiledevice_notification_post(peer.socket(), kOwn);
        peer.join();
        QCOMPARE(log.linesStartingWith("mobiledevice_notification_post"), logged);
        QCOMPARE(sent, QVariantList({QVariantMap{{"Command", "PostNotification"}, {"Name", kOwn}},
                                     QVariantMap{{"Command", "Shutdown"}}}));
        QCOMPARE(asXml, QList<bool>({true, true}));
    }

    // After ProxyDeath the loop goes on: the failure is logged, and a relay
    // that follows a second later is still heard.
    void theLoopRunsOnAfterProxyDeath()
    {
        if (AttachedPhones::throughUsbmux())
            QSKIP("the script plays the service in this process, the daemon runs it in its own");
        ServicePeerHook hook([&](PeerSocket &phone) {
            phone.readFrame();
            phone.writeFrame(xml(QVariantMap{{"Command", "ProxyDeath"}}));
            phone.writeFrame(xml(QVariantMap{{"Command", "RelayNotification"}, {"Name", kLock}}));
            phone.closedByClient(30000);
        });
        LogCapture log;
        auto thread = std::make_unique<mobiledevice_notification_thread>(device);
        Listener listener;
        connect(thread.get(), &mobiledevice_notification_thread::recNotification, &listener, &Listener::heard);
        QSignalSpy heard(&listener, &Listener::heard);
        thread->observe({kLock});
        thread->start();
        QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 1, 10000);
        QCOMPARE(heard.at(0).at(0).toString(), kLock);
        QCOMPARE(log.linesStartingWith("mobiledevice_notification_thread::run"),
                 QStringList{"mobiledevice_notification_thread::run, ERROR: NotificationProxy died!"});
        thread.reset();
        QVERIFY(hook.waitFinished());
    }

    // Nothing observed: the service starts, nothing is subscribed, and each
    // pass only logs its receive timeout.
    void observingNothing()
    {
        const int before = recorded().size();
        mobiledevice_set_length_wait_ms(100);
        LogCapture log;
        auto thread = std::make_unique<mobiledevice_notification_thread>(device);
        thread->observe({});
        QVERIFY(thread->serviceSocket() > 2);
        thread->start();
        QTRY_VERIFY_WITH_TIMEOUT(log.linesStartingWith("mobiledevice_notification_thread::run").size() >= 2, 10000);
        for (const QString &line : log.linesStartingWith("mobiledevice_notification_thread::run"))
            QCOMPARE(line, QString("mobiledevice_notification_thread::run, mobiledevice_recmsg(msg-length) error, "
                                   "received length: 0."));
        thread->requestStop();
        QVERIFY(thread->wait(5000));
        QCOMPARE(recorded().size(), before);
    }

    // Destroying a thread that waits for a message neither aborts nor sits
    // out the wait: the socket is shut down, the receive wakes, and the
    // socket is closed once the loop has ended.
    void destroyingARunningThread()
    {
        auto thread = std::make_unique<mobiledevice_notification_thread>(device);
        thread->observe({kLock});
        const int socket = thread->serviceSocket();
        const ino_t inode = inodeOf(socket);
        QVERIFY(inode != 0);
        thread->start();
        QTest::qWait(200);
        QVERIFY(thread->isRunning());
        QElapsedTimer clock;
        clock.start();
        thread.reset();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!sameSocketOpen(socket, inode));
    }

    void aThreadWithoutAServiceRefusesToRun()
    {
        LogCapture log;
        mobiledevice_notification_thread thread(device);
        QCOMPARE(thread.serviceSocket(), 0);
        thread.start();
        QVERIFY(thread.wait(5000));
        QCOMPARE(log.linesStartingWith("mobiledevice_notification_thread::run"),
                 QStringList{"mobiledevice_notification_thread::run, start service first."});
    }

    void aStopRequestEndsTheLoop()
    {
        mobiledevice_set_length_wait_ms(200);
        mobiledevice_notification_thread thread(device);
        thread.observe({kLock});
        // Asked before start: run clears it, as a restart would need.
        thread.requestStop();
        thread.start();
        QTest::qWait(300);
        QVERIFY(thread.isRunning());
        // The running loop owns the socket.
        const int socket = thread.serviceSocket();
        QVERIFY_THROWS_EXCEPTION(std::logic_error, thread.observe({kOwn}));
        QCOMPARE(thread.serviceSocket(), socket);
        QElapsedTimer clock;
        clock.start();
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        // The sleep between passes is cut short: one pass at most.
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }

    void everyCommandHasAName()
    {
        QSet<QString> names;
        for (NotificationCommand command : kAllNotificationCommands) {
            QVERIFY(!toText(command).isEmpty());
            names.insert(toText(command));
        }
        QCOMPARE(names.size(), int(std::size(kAllNotificationCommands)));
        QCOMPARE(toText(NotificationCommand::RelayNotification), QString("RelayNotification"));
    }
};

QP_TEST_MAIN(TestNotificationProxy)

} // namespace tst_notificationproxy

#include "tst_notificationproxy.moc"
