// The mobilebackup2 client against virtual iPhones (their emulator records
// every request and answers as the phone's plist says) and against scripted
// devices for answers no emulator gives.
#include "devicelink/devicelinkservice.h"
#include "devicelink/mobilebackup2.h"
#include "ios/mobiledevice.h"
#include "tests/devicelink/attachedphones.h"
#include "tests/devicelink/cfmessages.h"
#include "tests/support/logcapture.h"
#include "tests/support/socketpeer.h"
#include "tests/support/testmain.h"

#include <functional>

namespace tst_mobilebackup2 {

using cfmessages::binary;
using cfmessages::cf;
using cfmessages::liveValues;
using cfmessages::parsed;
using cfmessages::thrown;
using testsupport::PeerSocket;
using testsupport::SocketPeer;

namespace {

const char *const kService = "com.apple.mobilebackup2";
const QString kUdid = "00008030-001A35E22E38802E";
const QString kSecret = QString::fromUtf8("p\u00e4ssw\u00f6rd \U0001F511");

QVariant processMessage(const QVariantMap &dictionary)
{
    return QVariantList{"DLMessageProcessMessage", dictionary};
}

} // namespace

class TestMobileBackup2 : public QObject
{
    Q_OBJECT

    AttachedPhones phones;
    qint64 liveAtStart = 0;

    // What the phone's emulator was sent, in order.
    QVariantList recorded(const QString &phone)
    {
        return parsed(testsupport::recordedServiceRequests(phones.folder(phone), kService)).toList();
    }

private slots:
    void initTestCase() { phones.start(); }
    void init() { liveAtStart = liveValues(); }
    void cleanup() { QCOMPARE(liveValues(), liveAtStart); }

    void startAndAgreeOnAVersion_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<QList<double>>("offered");
        QTest::addColumn<double>("agreed");
        QTest::addColumn<QString>("error");
        const QString prefix = "mobiledevice_backup2_version_exchange: ";
        QTest::newRow("the highest common version") << QVariantMap() << QList<double>{2.0, 2.1} << 2.1 << QString();
        QTest::newRow("the phone's own list")
            << QVariantMap{{"ProtocolVersions", QVariantList{2.0, 2.1, 3.0}}, {"DeviceLinkVersion", QVariantList{400, 1}}}
            << QList<double>{3.0, 2.1} << 3.0 << QString();
        QTest::newRow("no common version") << QVariantMap{{"ProtocolVersions", QVariantList{1.0}}}
                                           << QList<double>{2.0, 2.1} << 0.0
                                           << prefix + "MOBILEBACKUP2_E_NO_COMMON_VERSION";
        QTest::newRow("nothing offered") << QVariantMap() << QList<double>{} << 0.0
                                         << prefix + "MOBILEBACKUP2_E_NO_COMMON_VERSION";
        QTest::newRow("another error code") << QVariantMap{{"ErrorCodes", QVariantMap{{"Hello", 2}}}}
                                            << QList<double>{2.0, 2.1} << 0.0 << prefix + "MOBILEBACKUP2_E_REPLY_NOT_OK";
    }
    void startAndAgreeOnAVersion()
    {
        QFETCH(QVariantMap, settings);
        QFETCH(QList<double>, offered);
        QFETCH(double, agreed);
        QFETCH(QString, error);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("hello");
        setup.services.insert(kService, settings);
        void *device = phones.attach(setup);
        QVERIFY(device);
        int socket = 0;
        mobiledevice_backup2_start(device, socket);
        QVERIFY(socket > 2);
        double result = -1;
        QCOMPARE(thrown([&] {
                     result = mobiledevice_backup2_version_exchange(socket, offered.constData(),
                                                                    static_cast<signed char>(offered.size()));
                 }),
                 error);
        if (error.isEmpty())
            QCOMPARE(result, agreed);
        mobiledevice_closesocket(socket);
        QVariantList offeredList;
        for (double v : offered)
            offeredList.append(v);
        QTRY_COMPARE(recorded("hello").size(), 2);
        QCOMPARE(recorded("hello").at(0), QVariant(QVariantList{"DLMessageVersionExchange", "DLVersionsOk"}));
        QCOMPARE(recorded("hello").at(1),
                 processMessage({{"MessageName", "Hello"}, {"SupportedProtocolVersions", offeredList}}));
        QVERIFY(phones.detach("hello", device));
    }

    void requests_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QVariant>("options"); // invalid: none
        QTest::addColumn<QVariantMap>("sent");
        const QVariantMap password{{"Password", kSecret}};
        QTest::newRow("an empty source is left out")
            << "Backup" << kUdid << "" << QVariant() << QVariantMap{{"MessageName", "Backup"}, {"TargetIdentifier", kUdid}};
        QTest::newRow("an empty target stays") << "Backup" << "" << kUdid << QVariant()
                                               << QVariantMap{{"MessageName", "Backup"}, {"TargetIdentifier", ""},
                                                              {"SourceIdentifier", kUdid}};
        QTest::newRow("Unback carries the password twice")
            << "Unback" << kUdid << kUdid << QVariant(password)
            << QVariantMap{{"MessageName", "Unback"}, {"TargetIdentifier", kUdid}, {"SourceIdentifier", kUdid},
                           {"Options", password}, {"Password", kSecret}};
        QTest::newRow("Unback without options carries none")
            << "Unback" << kUdid << kUdid << QVariant()
            << QVariantMap{{"MessageName", "Unback"}, {"TargetIdentifier", kUdid}, {"SourceIdentifier", kUdid}};
        QTest::newRow("only Unback lifts the password")
            << "Restore" << kUdid << kUdid << QVariant(password)
            << QVariantMap{{"MessageName", "Restore"}, {"TargetIdentifier", kUdid}, {"SourceIdentifier", kUdid},
                           {"Options", password}};
    }
    void requests()
    {
        QFETCH(QString, request);
        QFETCH(QString, target);
        QFETCH(QString, source);
        QFETCH(QVariant, options);
        QFETCH(QVariantMap, sent);
        QByteArray body;
        SocketPeer peer([&](PeerSocket &device) { body = device.readFrame(); });
        const CFType copy = mobiledevice_backup2_send_request(peer.socket(), request, target, source,
                                                              options.isValid() ? cf(options) : CFType());
        peer.join();
        QVERIFY(cfmessages::isBinary(body));
        QCOMPARE(parsed(body), processMessage(sent));
        QCOMPARE(cfmessages::toVariant(copy), processMessage(sent));
    }

    void backupsAndCloudBackups()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("backup");
        setup.services.insert(kService, {{"ErrorCodes", QVariantMap{{"Backup", 0}}}});
        void *device = phones.attach(setup);
        QVERIFY(device);
        int socket = 0;
        testsupport::LogCapture log;
        mobiledevice_backup2_start(device, socket);
        const double versions[] = {2.0, 2.1};
        QCOMPARE(mobiledevice_backup2_version_exchange(socket, versions, 2), 2.1);

        mobiledevice_backup2_request_backup(socket, kUdid, true);
        // What the service sends next is for the caller to read.
        CFType message;
        QString name;
        mobiledevice_backup2_recv(socket, message, name);
        QCOMPARE(name, QString("DLMessageProcessMessage"));
        mobiledevice_backup2_request_backup(socket, kUdid, false);
        mobiledevice_backup2_recv(socket, message, name);
        mobiledevice_backup2_set_cloud_backup(socket, kUdid, true);
        mobiledevice_backup2_send_status_response(socket, 0, QString(), CFType());
        mobiledevice_link_sc_send_disconnect(socket, QString());
        mobiledevice_closesocket(socket);

        const QVariantMap ids{{"TargetIdentifier", kUdid}, {"SourceIdentifier", kUdid}};
        QVariantMap full = ids, incremental = ids, cloud = ids;
        full.insert({{"MessageName", "Backup"}, {"Options", QVariantMap{{"ForceFullBackup", true}}}});
        incremental.insert("MessageName", "Backup");
        cloud.insert({{"MessageName", "EnableCloudBackup"},
                      {"Options", QVariantMap{{"CloudBackupState", true}}},
                      {"CloudBackupState", true}});
        QTRY_COMPARE(recorded("backup").size(), 7);
        const QVariantList sent = recorded("backup");
        QCOMPARE(sent.at(2), processMessage(full));
        QCOMPARE(sent.at(3), processMessage(incremental));
        QCOMPARE(sent.at(4), processMessage(cloud));
        QCOMPARE(sent.at(5), QVariant(QVariantList{"DLMessageStatusResponse", 0, "___EmptyParameterString___",
                                                   "___EmptyParameterString___"}));
        QCOMPARE(sent.at(6), QVariant(QVariantList{"DLMessageDisconnect", "___EmptyParameterString___"}));
        QCOMPARE(log.linesStartingWith("Requesting backup"),
                 QStringList({"Requesting backup from device, Full backup mode",
                              "Requesting backup from device, Incremental backup mode"}));
        QCOMPARE(log.linesStartingWith("Set EnableCloudBackup"), QStringList{"Set EnableCloudBackup: 1"});
        QVERIFY(phones.detach("backup", device));
    }

    void cloudBackupCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        QTest::newRow("0") << 0 << QString();
        QTest::newRow("13") << 13 << "Set EnableCloudBackup error code: 13";
        QTest::newRow("negative") << -402653155 << "Set EnableCloudBackup error code: -402653155";
    }
    void cloudBackupCodes()
    {
        QFETCH(int, code);
        QFETCH(QString, error);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("cloud");
        setup.services.insert(kService, {{"ErrorCodes", QVariantMap{{"EnableCloudBackup", code}}}});
        void *device = phones.attach(setup);
        QVERIFY(device);
        int socket = 0;
        mobiledevice_backup2_start(device, socket);
        QCOMPARE(thrown([&] { mobiledevice_backup2_set_cloud_backup(socket, kUdid, false); }), error);
        mobiledevice_closesocket(socket);
        QTRY_COMPARE(recorded("cloud").size(), 2);
        QCOMPARE(recorded("cloud").at(1).toList().at(1).toMap().value("CloudBackupState"), QVariant(false));
        QVERIFY(phones.detach("cloud", device));
    }

    void responses_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("code");
        const QVariant status = processMessage({{"MessageName", "Status"}, {"ErrorCode", 0}});
        QTest::newRow("a response") << binary(processMessage({{"MessageName", "Response"}, {"ErrorCode", 7}}))
                                    << QString() << 7;
        QTest::newRow("no code is 0") << binary(processMessage({{"MessageName", "Response"}})) << QString() << 0;
        QTest::newRow("not a response") << binary(status)
                                        << "Did not receive a message(\"Message Name\" is \"Response\").\n"
                                               + QString::fromUtf8(cfmessages::xml(status))
                                        << -1;
        QTest::newRow("no dictionary")
            << binary(QVariantList{"DLMessageProcessMessage"})
            << "Did not receive a message(\"Message Name\" is \"Response\").\n"
                   + QString::fromUtf8(cfmessages::xml(QVariantList{"DLMessageProcessMessage"}))
            << -1;
        QTest::newRow("not a process message") << binary(QVariantList{"DLMessagePing"})
                                               << "Did not receive DLMessageProcessMessage as expected." << -1;
    }
    void responses()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QFETCH(int, code);
        SocketPeer peer([&](PeerSocket &device) { device.writeFrame(body); });
        int errorCode = -1;
        CFType whole;
        QCOMPARE(thrown([&] { mobiledevice_backup2_recv_response(peer.socket(), errorCode, CFType(), &whole); }),
                 error);
        QCOMPARE(errorCode, code);
        QCOMPARE(cfmessages::toVariant(whole), error.isEmpty() ? parsed(body) : QVariant());
    }

    void statusResponses()
    {
        QList<QByteArray> bodies;
        SocketPeer peer([&](PeerSocket &device) {
            bodies.append(device.readFrame());
            bodies.append(device.readFrame());
        });
        const CFType first = mobiledevice_backup2_send_status_response(peer.socket(), -5, QString(), CFType());
        mobiledevice_backup2_send_status_response(peer.socket(), 0, QString::fromUtf8("fertig \u2713"),
                                                  cf(QVariantMap{{"BackupTotalSize", 1024}}));
        peer.join();
        const QVariant empty = "___EmptyParameterString___";
        QCOMPARE(parsed(bodies.at(0)), QVariant(QVariantList{"DLMessageStatusResponse", -5, empty, empty}));
        QCOMPARE(cfmessages::toVariant(first), parsed(bodies.at(0)));
        QVERIFY(cfmessages::isBinary(bodies.at(1)));
        QCOMPARE(parsed(bodies.at(1)), QVariant(QVariantList{"DLMessageStatusResponse", 0, QString::fromUtf8("fertig \u2713"),
                                                             QVariantMap{{"BackupTotalSize", 1024}}}));
    }

    // The texts of a failed exchange are logged, shown and sent with error
    // reports: the backup password is never among them.
    void aFailedUnbackShowsNoPassword()
    {
        const CFType options = cf(QVariantMap{{"Password", kSecret}});
        SocketPeer gone([](PeerSocket &) {});
        gone.join();
        gone.closePeer();
        const QString sendError = thrown([&] {
            mobiledevice_backup2_send_request(gone.socket(), "Unback", kUdid, kUdid, options);
        });
        QVERIFY(sendError.startsWith("mobiledevice_sendmsg(msg-length) error.\n"));

        CFType request;
        SocketPeer silent([&](PeerSocket &device) {
            device.readFrame();
            device.shutdownWrite();
        });
        request = mobiledevice_backup2_send_request(silent.socket(), "Unback", kUdid, kUdid, options);
        int code = 0;
        const QString recvError =
            thrown([&] { mobiledevice_backup2_recv_response(silent.socket(), code, request, nullptr); });
        QVERIFY(recvError.startsWith("mobiledevice_recmsg(msg-length) error, received length: 0.\n"));
        for (const QString &text : {sendError, recvError}) {
            QVERIFY2(!text.contains(kSecret), qPrintable(text));
            QCOMPARE(text.count(QLatin1String(kMaskedPassword)), 2);
        }
        // The request that went out still holds it.
        QCOMPARE(cfmessages::toVariant(request).toList().at(1).toMap().value("Password"), QVariant(kSecret));
    }

    void everyErrorHasAName()
    {
        QSet<QString> names;
        for (MobileBackup2Error error : kAllMobileBackup2Errors) {
            QVERIFY(toText(error).startsWith("MOBILEBACKUP2_E_"));
            names.insert(toText(error));
        }
        QCOMPARE(names.size(), int(std::size(kAllMobileBackup2Errors)));
    }
};

QP_TEST_MAIN(TestMobileBackup2)

} // namespace tst_mobilebackup2

#include "tst_mobilebackup2.moc"
