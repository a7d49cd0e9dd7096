// Device sessions, values, services and the message framing, against virtual
// iPhones of the stand-in library and against scripted socket peers.
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "ios/mobiledevice.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

Q_DECLARE_METATYPE(QList<QByteArray>)

namespace tst_mobiledevice {

namespace {

const QString kHint = QStringLiteral("Please restart your iPhone and computer to try again. If a prompt message pops "
                                     "out on your iPhone, please click \"Trust\".");

QMutex s_callsMutex;
QStringList s_calls;
QSet<QByteArray> s_hidden;

// Records every MobileDevice name the layer looks up (it looks each one up
// right before calling it), and can hide some.
void *recordingResolver(const char *name)
{
    QMutexLocker lock(&s_callsMutex);
    s_calls.append(QString::fromLatin1(name));
    return s_hidden.contains(name) ? nullptr : apple_md_resolve(name);
}

QStringList calls()
{
    QMutexLocker lock(&s_callsMutex);
    return s_calls;
}

void startRecording(const QSet<QByteArray> &hidden = {})
{
    QMutexLocker lock(&s_callsMutex);
    s_calls.clear();
    s_hidden = hidden;
    mobiledevice_set_resolver(recordingResolver);
}

qint64 liveValues()
{
    return CFType::resolve<decltype(&qp_cf_live_values)>("qp_cf_live_values")();
}

// A peer that writes its script into one end of a socketpair, pausing
// before each piece, then closes its end or keeps it open until the case ends.
class ScriptedPeer
{
public:
    struct Piece
    {
        int pauseMs;
        QByteArray bytes;
    };
    ScriptedPeer(const QList<Piece> &script, bool closeAtEnd)
    {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
        writer = std::thread([this, script, closeAtEnd] {
            for (const Piece &piece : script) {
                std::this_thread::sleep_for(std::chrono::milliseconds(piece.pauseMs));
                send(ends[1], piece.bytes.constData(), size_t(piece.bytes.size()), MSG_NOSIGNAL);
            }
            if (closeAtEnd)
                shutdown(ends[1], SHUT_WR);
        });
    }
    ~ScriptedPeer()
    {
        writer.join();
        close(ends[0]);
        close(ends[1]);
    }
    int socket() const { return ends[0]; }
    int peer() const { return ends[1]; }

private:
    int ends[2] = {-1, -1};
    std::thread writer;
};

QByteArray frameLength(quint32 n)
{
    const char bytes[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return QByteArray(bytes, 4);
}

} // namespace

namespace {

// Receives the notifications, as the main window does.
class DeviceSink : public QObject
{
    Q_OBJECT
public:
    struct Seen
    {
        void *device;
        bool connected;
        bool onGuiThread;
    };
    QList<Seen> seen;

public slots:
    void arrived(void *device) { seen.append({device, true, QThread::currentThread() == thread()}); }
    void left(void *device) { seen.append({device, false, QThread::currentThread() == thread()}); }
};

} // namespace

// The subscription lasts for the whole process and outlives this test's
// objects: the target is never destroyed, and its receiver is cleared at
// the end.
static _DeviceNotifyTarget target{nullptr, "arrived", "left"};

class TestMobileDevice : public QObject
{
    Q_OBJECT

    QTemporaryDir phones;
    DeviceSink sink;
    qint64 liveAtStart = 0;

    void *attach(const testsupport::VirtualIPhoneSetup &setup)
    {
        const int before = sink.seen.size();
        testsupport::writeVirtualIPhone(phones.path(), setup);
        if (!QTest::qWaitFor([&] { return sink.seen.size() > before; }, 20000))
            return nullptr;
        return sink.seen.last().connected ? sink.seen.last().device : nullptr;
    }
    bool detach(const QString &folderName, void *device)
    {
        testsupport::removeVirtualIPhone(phones.path() + "/" + folderName);
        return QTest::qWaitFor([&] {
            return !sink.seen.isEmpty() && sink.seen.last().device == device && !sink.seen.last().connected;
        }, 20000);
    }
    // The phone's own answer to one more disconnect: whether it is connected.
    static bool stillConnected(void *device)
    {
        auto disconnect = reinterpret_cast<decltype(&AMDeviceDisconnect)>(apple_md_resolve("AMDeviceDisconnect"));
        return disconnect(device) == 0;
    }

private slots:
    void cleanupTestCase() { mobiledevice_clear_receiver(&target); }
    void initTestCase()
    {
        target.receiver = &sink;
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
        // Subscribing loads the libraries itself when they are not loaded yet.
        QVERIFY(!apple_libs_loaded());
        mobiledevice_subscribe(&target);
        QVERIFY(apple_libs_loaded());
    }
    void init()
    {
        liveAtStart = liveValues();
        mobiledevice_set_length_wait_ms(60000);
    }
    void cleanup()
    {
        mobiledevice_set_resolver(nullptr);
        QCOMPARE(liveValues(), liveAtStart);
    }

    void arrivalAndRemovalAreQueuedToTheReceiversThread()
    {
        void *device = attach(testsupport::typicalIPhone("phone"));
        QVERIFY(device);
        QVERIFY(detach("phone", device));
        const DeviceSink::Seen arrived = sink.seen.at(sink.seen.size() - 2);
        QCOMPARE(arrived.device, device);
        QVERIFY(arrived.connected);
        QVERIFY(arrived.onGuiThread && sink.seen.last().onGuiThread);
    }

    void theCallbackForwardsOnlyAttachAndDetach()
    {
        int handle = 0;
        const int before = sink.seen.size();
        // From another thread, as the library calls it; the slot runs later.
        std::thread([&] {
            for (unsigned message : {1u, 2u, 3u, 0u}) {
                AMDeviceNotificationCallbackInfo info{&handle, message, nullptr};
                mobiledevice_notification_callback(&info, &target);
            }
        }).join();
        QCOMPARE(sink.seen.size(), before);
        QTRY_COMPARE(sink.seen.size(), before + 2);
        QVERIFY(sink.seen[before].connected && !sink.seen[before + 1].connected);
        QCOMPARE(sink.seen[before].device, static_cast<void *>(&handle));

        // A receiver that was cleared hears nothing more.
        DeviceSink gone;
        _DeviceNotifyTarget other{&gone, "arrived", "left"};
        mobiledevice_clear_receiver(&other);
        AMDeviceNotificationCallbackInfo info{&handle, 1, nullptr};
        mobiledevice_notification_callback(&info, &other);
        QCoreApplication::processEvents();
        QVERIFY(gone.seen.isEmpty());
    }

    void sessions_data()
    {
        QTest::addColumn<bool>("paired");
        QTest::addColumn<QString>("failingStep");
        QTest::addColumn<QByteArray>("hidden");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("called");
        const QString connect = "AMDeviceConnect", isPaired = "AMDeviceIsPaired", pair = "AMDevicePair",
                      validate = "AMDeviceValidatePairing", start = "AMDeviceStartSession",
                      disconnect = "AMDeviceDisconnect";
        auto stepError = [](const QString &step, int code) {
            return kHint + "<br/><br/>Error code: " + step + "(" + QString::number(code) + ")";
        };
        QTest::newRow("paired") << true << QString() << QByteArray() << 0 << QString()
                                << QStringList{connect, isPaired, validate, start};
        QTest::newRow("unpaired is paired first") << false << QString() << QByteArray() << 0 << QString()
                                                  << QStringList{connect, isPaired, pair, validate, start};
        QTest::newRow("connect fails") << true << connect << QByteArray() << -402653083
                                       << stepError(connect, -402653083) << QStringList{connect};
        QTest::newRow("pair fails") << false << pair << QByteArray() << -402653158 << stepError(pair, -402653158)
                                    << QStringList{connect, isPaired, pair, disconnect};
        QTest::newRow("validation fails") << true << validate << QByteArray() << -402653155
                                          << stepError(validate, -402653155)
                                          << QStringList{connect, isPaired, validate, disconnect};
        QTest::newRow("session fails") << true << start << QByteArray() << -402653153 << stepError(start, -402653153)
                                       << QStringList{connect, isPaired, validate, start, disconnect};
        QTest::newRow("a step the library lacks") << true << QString() << QByteArray("AMDeviceValidatePairing") << -1
                                                  << "Failed to find AMDeviceValidatePairing in the (Mobile Device) "
                                                     "framework."
                                                  << QStringList{connect, isPaired, validate, disconnect};
    }
    void sessions()
    {
        QFETCH(bool, paired);
        QFETCH(QString, failingStep);
        QFETCH(QByteArray, hidden);
        QFETCH(int, code);
        QFETCH(QString, error);
        QFETCH(QStringList, called);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("session");
        setup.paired = paired;
        if (!failingStep.isEmpty())
            setup.failures.insert(failingStep, code);
        void *device = attach(setup);
        QVERIFY(device);

        startRecording(hidden.isEmpty() ? QSet<QByteArray>() : QSet<QByteArray>{hidden});
        QString text = "untouched";
        QCOMPARE(mobiledevice_connect(device, text), code);
        QCOMPARE(calls(), called);
        QCOMPARE(text, code == 0 ? QString("untouched") : error);
        mobiledevice_set_resolver(nullptr);
        // After a failure the phone is left disconnected; after success the
        // session is open until mobiledevice_disconnect.
        if (code == 0) {
            mobiledevice_disconnect(device);
            QVERIFY(!stillConnected(device));
        } else {
            QVERIFY(!stillConnected(device));
        }
        QVERIFY(detach("session", device));
    }

    void valuesByKeyAndWholeDomains()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("values");
        setup.domains["com.apple.mobile.backup"]["CloudBackupEnabled"] = true;
        void *device = attach(setup);
        QVERIFY(device);
        {
            const QList<CFType> top = mobiledevice_copy_values(device, {"DeviceName", "", "NoSuchKey"}, QString());
            QCOMPARE(top.size(), 3);
            QVERIFY(top[0].isString());
            QCOMPARE(top[0].toQString(), QString::fromUtf8("Anna\u2019s iPhone \U0001F4F1"));
            QVERIFY(top[1].isDictionary());
            QCOMPARE(top[1].value("UniqueDeviceID").toQString(), QString("00008030-001A35E22E38802E"));
            QVERIFY(top[2].isEmpty());

            const QList<CFType> disk =
                mobiledevice_copy_values(device, {"TotalDataCapacity", ""}, "com.apple.disk_usage");
            QVERIFY(disk[0].isNumber());
            QCOMPARE(disk[0].toInt64(), qint64(63966400512));
            QCOMPARE(disk[1].value("AmountDataAvailable").toInt64(), qint64(21474836480));

            const QList<CFType> backup = mobiledevice_copy_values(device, {""}, "com.apple.mobile.backup");
            QVERIFY(backup[0].value("CloudBackupEnabled").isBoolean());
            QCOMPARE(backup[0].value("CloudBackupEnabled").toBool(false), true);
            QCOMPARE(backup[0].value("WillEncrypt").toBool(true), false);
        }
        QVERIFY(!stillConnected(device));
        QVERIFY(detach("values", device));
    }

    void aFailedSessionThrowsItsText()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("distrustful");
        setup.paired = false;
        setup.failures.insert("AMDevicePair", -402653158);
        void *device = attach(setup);
        QVERIFY(device);
        startRecording();
        const QString expected = kHint + "<br/><br/>Error code: AMDevicePair(-402653158)";
        for (int i = 0; i < 3; ++i) {
            try {
                if (i == 0)
                    mobiledevice_copy_values(device, {"DeviceName"}, QString());
                else if (i == 1)
                    mobiledevice_set_value(device, QString(), "DeviceName", CFType::fromString("x"));
                else {
                    int socket = -1;
                    mobiledevice_start_service(device, "org.quillmarten.virtual.echo", &socket);
                }
                QFAIL("no exception");
            } catch (const std::runtime_error &e) {
                QCOMPARE(QString::fromUtf8(e.what()), expected);
            }
        }
        // Nothing past the session was called.
        for (const QString &name : calls())
            QVERIFY2(name != "AMDeviceCopyValue" && name != "AMDeviceSetValue" && name != "AMDeviceStartService",
                     qPrintable(name));
        mobiledevice_set_resolver(nullptr);
        QVERIFY(detach("distrustful", device));
    }

    void setValuesReachThePhone()
    {
        void *device = attach(testsupport::typicalIPhone("setter"));
        QVERIFY(device);
        QCOMPARE(mobiledevice_set_value(device, "com.apple.mobile.backup", "WillEncrypt", CFType::fromBool(true)), 0);
        // An empty domain goes as an empty string: the top level.
        QCOMPARE(mobiledevice_set_value(device, QString(), "DeviceName", CFType::fromString("Ben")), 0);
        // The phone's own answer comes back as it is.
        QCOMPARE(mobiledevice_set_value(device, "com.apple.mobile.backup", "WillEncrypt", CFType()),
                 int(kAMDInvalidArgumentError));

        QCOMPARE(mobiledevice_copy_values(device, {"WillEncrypt"}, "com.apple.mobile.backup")[0].toBool(false), true);
        QCOMPARE(mobiledevice_copy_values(device, {"DeviceName"}, QString())[0].toQString(), QString("Ben"));
        const CFType record =
            CFType::fromPropertyListData(testsupport::recordedSetValues(phones.path() + "/setter"));
        QVERIFY(record.isArray());
        QCOMPARE(record.at(0).value("Domain").toQString(), QString("com.apple.mobile.backup"));
        QCOMPARE(record.at(0).value("Key").toQString(), QString("WillEncrypt"));
        QCOMPARE(record.at(0).value("Value").toBool(false), true);
        QCOMPARE(record.at(1).value("Domain").toQString(), QString(""));
        QVERIFY(record.at(2).isEmpty());
        QVERIFY(detach("setter", device));
    }

    void servicesCarryMessagesBothWays()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("services");
        setup.serviceFailures.insert("com.apple.mobile.file_relay", -402653150);
        void *device = attach(setup);
        QVERIFY(device);
        int socket = -1;
        mobiledevice_start_service(device, "org.quillmarten.virtual.echo", &socket);
        QVERIFY(socket >= 0);
        QVERIFY(!stillConnected(device));
        for (const bool binary : {true, false}) {
            CFType request = CFType::newDictionary();
            request.setValue(CFType::fromString("Sources"), CFType::fromString(QString::fromUtf8("SMS \U0001F600")));
            mobiledevice_sendmsg(socket, request, binary, 60000);
            const CFType reply = mobiledevice_recmsg(socket, request, 60000);
            QCOMPARE(reply.value("Sources").toQString(), QString::fromUtf8("SMS \U0001F600"));
        }
        mobiledevice_closesocket(socket);

        const QString wifi = "Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  Launch iTunes -&gt; "
                             "Connect your device -&gt; Go Summary -&gt; Options -&gt; Uncheck Sync with this device "
                             "over Wi-Fi.<br/><br/>Error code: AMDeviceStartService(%1)=%2";
        const QList<QPair<QString, int>> refused = {{"com.apple.mobile.file_relay", -402653150},
                                                    {"com.example.nothing", int(kAMDInvalidServiceError)}};
        for (const auto &service : refused) {
            try {
                mobiledevice_start_service(device, service.first.toUtf8().constData(), &socket);
                QFAIL("no exception");
            } catch (const std::runtime_error &e) {
                QCOMPARE(QString::fromUtf8(e.what()), wifi.arg(service.first).arg(service.second));
            }
            // The session was closed all the same.
            QVERIFY(!stillConnected(device));
        }
        QVERIFY(detach("services", device));
    }

    void receiving_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<bool>("closeAtEnd");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("parsed");
        const QByteArray yes = CFType::fromBool(true).toPropertyListData(kCFPropertyListBinaryFormat_v1_0);
        const QByteArray framedYes = frameLength(quint32(yes.size())) + yes;
        QTest::newRow("a frame") << QList<QByteArray>{framedYes} << 0 << false << 1000 << QString() << true;
        QTest::newRow("a 0-byte frame") << QList<QByteArray>{frameLength(0)} << 0 << false << 1000 << QString()
                                        << false;
        QTest::newRow("2 length bytes, then closed")
            << QList<QByteArray>{QByteArray("\0\0", 2)} << 0 << true << 1000
            << "mobiledevice_recmsg(msg-length) error, received length: 2." << false;
        QTest::newRow("a short body, then closed")
            << QList<QByteArray>{frameLength(10) + "abc"} << 0 << true << 1000
            << "mobiledevice_recmsg(msg) error, received length: 3." << false;
        QTest::newRow("garbage") << QList<QByteArray>{frameLength(5) + "\x01\x02<\xff>"} << 0 << false << 1000
                                 << QString() << false;
        // The body is read in growing steps: a huge length with little behind
        // it fails like any short body (without memory of the claimed size
        // taken first).
        QTest::newRow("a huge length, a short body, then closed")
            << QList<QByteArray>{frameLength(quint32(kMaxDeviceMessageLength)) + QByteArray(kRecvStep + 5, 'x')} << 0
            << true << 1000 << QString("mobiledevice_recmsg(msg) error, received length: %1.").arg(kRecvStep + 5)
            << false;
        // Refused at once, while the peer still holds its end open.
        QTest::newRow("a length past the cap")
            << QList<QByteArray>{frameLength(quint32(kMaxDeviceMessageLength) + 1)} << 0 << false << 60000
            << "mobiledevice_recmsg(msg) error, received length: 0." << false;
        QTest::newRow("the largest length there is")
            << QList<QByteArray>{frameLength(0x7fffffff)} << 0 << false << 60000
            << "mobiledevice_recmsg(msg) error, received length: 0." << false;
        QTest::newRow("a negative length") << QList<QByteArray>{frameLength(0xffffffff)} << 0 << false << 60000
                                           << "mobiledevice_recmsg(msg) error, received length: 0." << false;
        // Each wait is bounded on its own: pieces 300 ms apart pass a 1000 ms
        // wait though the whole body takes longer.
        QList<QByteArray> slow = {frameLength(quint32(yes.size()))};
        for (int i = 0; i < yes.size(); i += 10)
            slow.append(yes.mid(i, 10));
        QTest::newRow("late pieces within each wait") << slow << 300 << false << 1000 << QString() << true;
        QTest::newRow("a pause longer than the wait")
            << QList<QByteArray>{frameLength(quint32(yes.size())) + yes.left(10), yes.mid(10)} << 600 << false
            << 150 << "mobiledevice_recmsg(msg) error, received length: 10." << false;
    }
    void receiving()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(int, pauseMs);
        QFETCH(bool, closeAtEnd);
        QFETCH(int, timeoutMs);
        QFETCH(QString, error);
        QFETCH(bool, parsed);
        QList<ScriptedPeer::Piece> script;
        for (const QByteArray &piece : pieces)
            script.append({script.isEmpty() ? 0 : pauseMs, piece});
        ScriptedPeer peer(script, closeAtEnd);
        QElapsedTimer clock;
        clock.start();
        QString thrown;
        CFType reply;
        try {
            reply = mobiledevice_recmsg(peer.socket(), CFType(), timeoutMs);
        } catch (const std::runtime_error &e) {
            thrown = QString::fromUtf8(e.what());
        }
        QCOMPARE(thrown, error);
        QCOMPARE(reply.isBoolean(), parsed);
        QVERIFY2(clock.elapsed() < 10000, "no wait may run to its full length here");
    }

    void aBodyOfSeveralStepsArrivesWhole()
    {
        const QByteArray bytes = QByteArray(5 * kRecvStep + 3, 'b');
        const QByteArray blob = CFType::fromByteArray(bytes).toPropertyListData(kCFPropertyListBinaryFormat_v1_0);
        ScriptedPeer peer({{0, frameLength(quint32(blob.size())) + blob}}, false);
        const CFType reply = mobiledevice_recmsg(peer.socket(), CFType(), 5000);
        QCOMPARE(reply.toByteArray(), bytes);
    }

    void theLengthHasAWaitOfItsOwn()
    {
        const QByteArray yes = CFType::fromBool(true).toPropertyListData(kCFPropertyListXMLFormat_v1_0);
        mobiledevice_set_length_wait_ms(3000);
        {
            // The length comes later than timeoutMs, within the length wait.
            ScriptedPeer peer({{400, frameLength(quint32(yes.size())) + yes}}, false);
            QVERIFY(mobiledevice_recmsg(peer.socket(), CFType(), 100).isBoolean());
        }
        mobiledevice_set_length_wait_ms(200);
        ScriptedPeer silent({}, false);
        QElapsedTimer clock;
        clock.start();
        try {
            mobiledevice_recmsg(silent.socket(), CFType(), 60000);
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()), QString("mobiledevice_recmsg(msg-length) error, received length: 0."));
        }
        QVERIFY(clock.elapsed() >= 150 && clock.elapsed() < 10000);
    }

    void errorTextsQuoteTheRequest()
    {
        CFType request = CFType::newDictionary();
        request.setValue(CFType::fromString("Request"), CFType::fromString(QString(2000, QChar('x'))));
        const QString xml = QString::fromUtf8(request.toPropertyListData(kCFPropertyListXMLFormat_v1_0));
        QVERIFY(xml.size() > 800);
        ScriptedPeer peer({{0, QByteArray("\0\0", 2)}}, true);
        try {
            mobiledevice_recmsg(peer.socket(), request, 1000);
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     "mobiledevice_recmsg(msg-length) error, received length: 2.\n" + xml.left(800));
        }
    }

    // Error texts are logged, shown and sent with error reports: a password
    // in a quoted message never appears in them, at whatever depth.
    void quotedMessagesHideTheirPasswords()
    {
        CFType options = CFType::newDictionary();
        options.setValue(CFType::fromString("Password"), CFType::fromString("s3crét 🔑"));
        CFType nested = CFType::newArray();
        CFType inner = CFType::newDictionary();
        inner.setValue(CFType::fromString("PASSWORD"), CFType::fromString("s3crét 🔑"));
        nested.append(inner);
        CFType request = CFType::newDictionary();
        request.setValue(CFType::fromString("MessageName"), CFType::fromString("Unback"));
        request.setValue(CFType::fromString("Password"), CFType::fromString("s3crét 🔑"));
        request.setValue(CFType::fromString("Options"), options);
        request.setValue(CFType::fromString("Nested"), nested);
        const QString secret = QString::fromUtf8("s3crét 🔑");

        const QString text = mobiledevice_message_text(request);
        QVERIFY2(!text.contains(secret), qPrintable(text));
        QCOMPARE(text.count(QLatin1String(kMaskedPassword)), 3);
        QVERIFY(text.contains("<string>Unback</string>"));
        // The message itself keeps its password.
        QCOMPARE(request.value("Password").toQString(), secret);
        QCOMPARE(mobiledevice_message_text(CFType()), QString());

        ScriptedPeer peer({{0, QByteArray("\0\0", 2)}}, true);
        try {
            mobiledevice_recmsg(peer.socket(), request, 1000);
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            const QString error = QString::fromUtf8(e.what());
            QVERIFY2(!error.contains(secret) && error.contains(QLatin1String(kMaskedPassword)), e.what());
        }
        ScriptedPeer gone({}, false);
        close(gone.peer());
        try {
            mobiledevice_sendmsg(gone.socket(), request, true, 1000);
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            const QString error = QString::fromUtf8(e.what());
            QVERIFY2(!error.contains(secret) && error.contains(QLatin1String(kMaskedPassword)), e.what());
        }
    }

    // Socket 0 is "no socket"; descriptor 0 is standard input and stays
    // untouched.
    void socketZeroIsNoSocket()
    {
        const bool stdinOpen = fcntl(0, F_GETFD) != -1;
        char buffer[4];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mobiledevice_wait_socket(0, 0, true), -1);
        QCOMPARE(mobiledevice_recv(0, buffer, 4, 0), 0);
        QCOMPARE(mobiledevice_send(0, buffer, 4, 0), 0);
        mobiledevice_shutdown_socket(0);
        mobiledevice_closesocket(0);
        QCOMPARE(fcntl(0, F_GETFD) != -1, stdinOpen);
        QVERIFY(clock.elapsed() < 5000);
    }

    // With standard input closed, a socketpair would be numbered 0: the
    // stand-in moves its sockets above the standard streams.
    void serviceSocketsAreNeverStandardStreams()
    {
        void *device = attach(testsupport::typicalIPhone("lowfd"));
        QVERIFY(device);
        const int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
        QVERIFY(saved >= 3);
        close(0);
        int socket = -1;
        QString error;
        try {
            mobiledevice_start_service(device, "org.quillmarten.virtual.echo", &socket);
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
        }
        // Standard input comes back as 0: the lowest free number, taken
        // atomically (another thread may hold 0 for a moment).
        bool restored = false;
        for (int tries = 0; tries < 5000 && !restored; ++tries) {
            const int back = fcntl(saved, F_DUPFD, 0);
            restored = back == 0;
            if (!restored) {
                close(back);
                QThread::msleep(1);
            }
        }
        QVERIFY(restored);
        close(saved);
        QCOMPARE(error, QString());
        QVERIFY2(socket > 2, qPrintable(QString::number(socket)));
        mobiledevice_closesocket(socket);
        QVERIFY(detach("lowfd", device));
    }

    void sendingToAPeerThatIsGoneOrStuck()
    {
        CFType message = CFType::newDictionary();
        message.setValue(CFType::fromString("Blob"), CFType::fromByteArray(QByteArray(8 << 20, 'b')));
        const QString quoted = QString::fromUtf8(message.toPropertyListData(kCFPropertyListXMLFormat_v1_0)).left(800);
        {
            // A closed peer raises no signal: the send fails with its text.
            ScriptedPeer peer({}, false);
            close(peer.peer());
            try {
                mobiledevice_sendmsg(peer.socket(), message, true, 1000);
                QFAIL("no exception");
            } catch (const std::runtime_error &e) {
                QCOMPARE(QString::fromUtf8(e.what()), "mobiledevice_sendmsg(msg-length) error.\n" + quoted);
            }
        }
        {
            // A peer that reads nothing: the body stops at a bounded wait.
            ScriptedPeer peer({}, false);
            QElapsedTimer clock;
            clock.start();
            try {
                mobiledevice_sendmsg(peer.socket(), message, true, 200);
                QFAIL("no exception");
            } catch (const std::runtime_error &e) {
                QCOMPARE(QString::fromUtf8(e.what()), "mobiledevice_sendmsg(msg) error.\n" + quoted);
            }
            QVERIFY(clock.elapsed() < 10000);
        }
        {
            // An empty serialisation sends nothing and is no failure.
            ScriptedPeer peer({}, false);
            mobiledevice_sendmsg(peer.socket(), CFType(), false, 1000);
            CFType odd = CFType::newDictionary();
            auto set = CFType::resolve<decltype(&CFDictionarySetValue)>("CFDictionarySetValue");
            const CFType number = CFType::fromInt32(1);
            set(const_cast<void *>(odd.ref()), number.ref(), number.ref());
            mobiledevice_sendmsg(peer.socket(), odd, true, 1000);
            pollfd entry{peer.peer(), POLLIN, 0};
            QCOMPARE(poll(&entry, 1, 100), 0);
        }
    }

    void waitsAndReadsOnBadSocketsReturnAtOnce()
    {
        ScriptedPeer peer({}, false);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mobiledevice_wait_socket(peer.socket(), 150, true), 0);
        QVERIFY(clock.elapsed() >= 140);
        QCOMPARE(mobiledevice_wait_socket(peer.socket(), 150, false), 1);
        // A socket that is not open: the wait fails and nothing blocks.
        int ends[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
        close(ends[0]);
        close(ends[1]);
        char buffer[4];
        clock.restart();
        QCOMPARE(mobiledevice_wait_socket(ends[0], 0, true), -1);
        QCOMPARE(mobiledevice_recv(ends[0], buffer, 4, 0), 0);
        QCOMPARE(mobiledevice_send(ends[0], buffer, 4, 0), 0);
        QVERIFY(clock.elapsed() < 5000);
    }
};

QP_TEST_MAIN(TestMobileDevice)

} // namespace tst_mobiledevice

#include "tst_mobiledevice.moc"
