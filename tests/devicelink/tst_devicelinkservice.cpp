// The device-link message layer against a scripted device on a socketpair:
// the handshake, what is sent, and received messages that are short, of the
// wrong kind or not property lists at all.
#include "devicelink/devicelinkservice.h"
#include "ios/applelibs.h"
#include "ios/mobiledevice.h"
#include "tests/devicelink/cfmessages.h"
#include "tests/support/logcapture.h"
#include "tests/support/socketpeer.h"
#include "tests/support/testmain.h"

#include <poll.h>

#include <atomic>
#include <functional>

namespace tst_devicelinkservice {

using cfmessages::binary;
using cfmessages::liveValues;
using cfmessages::parsed;
using cfmessages::thrown;
using testsupport::PeerSocket;
using testsupport::SocketPeer;

namespace {

QString xmlText(const QVariant &value)
{
    return QString::fromUtf8(cfmessages::xml(value));
}

// Counts reads of an array item at or past the array's end, which Apple's
// library does not survive.
std::atomic<int> s_readsPastTheEnd{0};

const void *checkedGetValueAtIndex(CFArrayRef array, CFIndex index)
{
    auto count = reinterpret_cast<decltype(&CFArrayGetCount)>(apple_cf_resolve("CFArrayGetCount"));
    if (index < 0 || index >= count(array))
        ++s_readsPastTheEnd;
    return reinterpret_cast<decltype(&CFArrayGetValueAtIndex)>(apple_cf_resolve("CFArrayGetValueAtIndex"))(array,
                                                                                                           index);
}

void *checkingResolver(const char *name)
{
    if (qstrcmp(name, "CFArrayGetValueAtIndex") == 0)
        return reinterpret_cast<void *>(&checkedGetValueAtIndex);
    return apple_cf_resolve(name);
}

} // namespace

class TestDeviceLinkService : public QObject
{
    Q_OBJECT

    qint64 liveAtStart = 0;

private slots:
    void initTestCase()
    {
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        QString error;
        QVERIFY2(apple_libs_load(error), qPrintable(error));
    }
    void init()
    {
        liveAtStart = liveValues();
        s_readsPastTheEnd = 0;
        CFType::setResolver(checkingResolver);
    }
    void cleanup()
    {
        CFType::setResolver(nullptr);
        QCOMPARE(s_readsPastTheEnd.load(), 0);
        QCOMPARE(liveValues(), liveAtStart);
    }

    void handshake_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second"); // null: nothing may be answered
        QTest::addColumn<QString>("error");
        const QByteArray ready = binary(QVariantList{"DLMessageDeviceReady"});
        const QVariantList processMessage{"DLMessageProcessMessage", QVariantMap{{"MessageName", "Hello"}}};
        const QString invalid = "invalid feedback after send DLMessageVersionExchange.\n";
        QTest::newRow("ready at once") << ready << QByteArray() << QString();
        QTest::newRow("versions, then ready")
            << binary(QVariantList{"DLMessageVersionExchange", 300, 0}) << ready << QString();
        // Whatever comes first is answered; its name and numbers are not read.
        QTest::newRow("anything first") << binary(QVariantList{"DLMessagePing"}) << ready << QString();
        QTest::newRow("a process message instead of ready")
            << binary(QVariantList{"DLMessageVersionExchange", 300, 0}) << binary(processMessage)
            << invalid + xmlText(processMessage);
        QTest::newRow("garbage instead of ready") << binary(QVariantList{"DLMessageVersionExchange", 300, 0})
                                                  << QByteArray("\x01\x02garbage") << invalid;
        QTest::newRow("an empty array instead of ready")
            << binary(QVariantList{"DLMessageVersionExchange"}) << binary(QVariantList{})
            << invalid + xmlText(QVariantList{});
    }
    void handshake()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QString, error);
        QByteArray answer;
        SocketPeer peer([&](PeerSocket &device) {
            device.writeFrame(first);
            if (second.isNull()) {
                pollfd entry{device.socket(), POLLIN, 0};
                QCOMPARE(poll(&entry, 1, 200), 0);
                return;
            }
            answer = device.readFrame();
            device.writeFrame(second);
        });
        QCOMPARE(thrown([&] { mobiledevice_link_sc_version_exchange(peer.socket()); }), error);
        peer.join();
        if (!second.isNull()) {
            // Two items, XML, no version number after them.
            QVERIFY2(cfmessages::isXml(answer), answer.constData());
            QCOMPARE(parsed(answer), QVariant(QVariantList{"DLMessageVersionExchange", "DLVersionsOk"}));
        }
    }

    void sending_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QVariant>("sent");
        QTest::newRow("disconnect, empty") << 0 << QVariant(QVariantList{"DLMessageDisconnect", "___EmptyParameterString___"});
        QTest::newRow("disconnect, a text") << 1 << QVariant(QVariantList{"DLMessageDisconnect", "bye \U0001F44B"});
        QTest::newRow("process message")
            << 2 << QVariant(QVariantList{"DLMessageProcessMessage", QVariantMap{{"MessageName", "Backup"}, {"N", 3}}});
    }
    void sending()
    {
        QFETCH(int, which);
        QFETCH(QVariant, sent);
        QByteArray body;
        SocketPeer peer([&](PeerSocket &device) { body = device.readFrame(); });
        CFType copy;
        if (which == 0)
            mobiledevice_link_sc_send_disconnect(peer.socket(), QString());
        else if (which == 1)
            mobiledevice_link_sc_send_disconnect(peer.socket(), QString::fromUtf8("bye \U0001F44B"));
        else
            copy = mobiledevice_link_sc_send_process_message(peer.socket(), cfmessages::cf(sent.toList().at(1)));
        peer.join();
        QVERIFY(cfmessages::isBinary(body));
        QCOMPARE(parsed(body), sent);
        if (which == 2)
            QCOMPARE(cfmessages::toVariant(copy), sent);
    }

    void receiving_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("processMessage");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("logged"); // the debug line, "" for none
        QTest::addColumn<QVariant>("item1");
        const QString notDl = "Did not receive a DL* message as expected.";
        const QString notProcess = "Did not receive DLMessageProcessMessage as expected.";
        const QString dlLine = "mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n";
        const QString processLine = "mobiledevice_link_sc_recv_process_message recv invalid msg:\n";
        const QVariantMap hello{{"MessageName", "Response"}, {"ErrorCode", 0}};
        const QVariantList good{"DLMessageProcessMessage", hello};
        QTest::newRow("a process message") << binary(good) << true << QString() << QString() << QVariant(hello);
        QTest::newRow("any DL message") << binary(QVariantList{"DLMessagePing", "x"}) << false << QString() << QString()
                                        << QVariant();
        const QVariantList lower{"dlmessageprocessmessage", hello};
        QTest::newRow("lower case passes the DL test") << binary(lower) << false << QString() << QString() << QVariant();
        QTest::newRow("lower case fails the process test") << binary(lower) << true << notProcess
                                                           << processLine + xmlText(lower) << QVariant();
        QTest::newRow("an SD message") << binary(QVariantList{"SDMessageProcessChanges"}) << false << notDl
                                       << dlLine + xmlText(QVariantList{"SDMessageProcessChanges"}) << QVariant();
        QTest::newRow("an empty array") << binary(QVariantList{}) << true << notDl << dlLine + xmlText(QVariantList{})
                                        << QVariant();
        QTest::newRow("not an array") << binary(QVariantMap{{"DLMessage", "x"}}) << false << notDl
                                      << dlLine + xmlText(QVariantMap{{"DLMessage", "x"}}) << QVariant();
        QTest::newRow("a name that is not text") << binary(QVariantList{7}) << false << notDl
                                                 << dlLine + xmlText(QVariantList{7}) << QVariant();
        // A message that is no property list is quoted as empty text.
        QTest::newRow("garbage") << QByteArray("DLMessage\xff\xfe") << true << notDl << dlLine << QVariant();
        QTest::newRow("an empty frame") << QByteArray("") << true << notDl << dlLine << QVariant();
        // Item 1 of a one-item message is empty, and nothing past the array
        // is read (cleanup checks).
        QTest::newRow("a one-item process message") << binary(QVariantList{"DLMessageProcessMessage"}) << true
                                                    << QString() << QString() << QVariant();
    }
    void receiving()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, processMessage);
        QFETCH(QString, error);
        QFETCH(QString, logged);
        QFETCH(QVariant, item1);
        SocketPeer peer([&](PeerSocket &device) { device.writeFrame(body); });
        testsupport::LogCapture log;
        CFType message;
        QString name = "untouched";
        CFType dictionary;
        CFType whole;
        QCOMPARE(thrown([&] {
                     if (processMessage)
                         dictionary = mobiledevice_link_sc_recv_process_message(peer.socket(), CFType(), &whole);
                     else
                         mobiledevice_link_sc_recv_dlmessaeg(peer.socket(), message, name, CFType());
                 }),
                 error);
        const QStringList lines = log.linesStartingWith("mobiledevice_link_sc_recv");
        QCOMPARE(lines, logged.isEmpty() ? QStringList() : QStringList{logged});
        if (!error.isEmpty()) {
            QVERIFY(message.isEmpty() && whole.isEmpty() && dictionary.isEmpty());
            QCOMPARE(name, QString("untouched"));
        } else if (processMessage) {
            QCOMPARE(cfmessages::toVariant(dictionary), item1);
            QCOMPARE(cfmessages::toVariant(whole), parsed(body));
            // An independent copy: it outlives the whole message.
            whole = CFType();
            QCOMPARE(cfmessages::toVariant(dictionary), item1);
        } else {
            QCOMPARE(name, parsed(body).toList().value(0).toString());
            QCOMPARE(cfmessages::toVariant(message), parsed(body));
        }
    }

    void quotedMessagesHideTheirPasswords()
    {
        const QVariantList secret{"DLMessageProcessMessage",
                                  QVariantMap{{"MessageName", "Unback"}, {"Password", "hunter2"},
                                              {"Options", QVariantMap{{"password", "hunter2"}}}}};
        SocketPeer peer([&](PeerSocket &device) {
            device.writeFrame(binary(QVariantList{"DLMessageVersionExchange", 300, 0}));
            device.readFrame();
            device.writeFrame(binary(secret));
        });
        const QString text = thrown([&] { mobiledevice_link_sc_version_exchange(peer.socket()); });
        QVERIFY(text.startsWith("invalid feedback after send DLMessageVersionExchange.\n"));
        QVERIFY2(!text.contains("hunter2"), qPrintable(text));
        QCOMPARE(text.count(QLatin1String(kMaskedPassword)), 2);
        QVERIFY(text.contains("Unback"));
    }

    void everyMessageHasAName()
    {
        QSet<QString> names;
        for (DeviceLinkMessage message : kAllDeviceLinkMessages) {
            QVERIFY(toText(message).startsWith("DLMessage"));
            names.insert(toText(message));
        }
        QCOMPARE(names.size(), int(std::size(kAllDeviceLinkMessages)));
    }
};

QP_TEST_MAIN(TestDeviceLinkService)

} // namespace tst_devicelinkservice

#include "tst_devicelinkservice.moc"
