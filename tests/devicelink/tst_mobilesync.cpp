// The mobilesync client against virtual iPhones (their emulator sends the
// record batches of the phone's plist and records every message) and against
// scripted devices for answers no emulator gives.
#include "devicelink/mobilesync.h"
#include "ios/mobiledevice.h"
#include "tests/devicelink/attachedphones.h"
#include "tests/devicelink/cfmessages.h"
#include "tests/support/socketpeer.h"
#include "tests/support/testmain.h"

#include <poll.h>
#include <sys/socket.h>

#include <functional>

namespace tst_mobilesync {

using cfmessages::binary;
using cfmessages::cf;
using cfmessages::liveValues;
using cfmessages::parsed;
using cfmessages::thrown;
using testsupport::PeerSocket;
using testsupport::ServicePeerHook;
using testsupport::SocketPeer;

namespace {

const char *const kService = "com.apple.mobilesync";
const QString kContacts = "com.apple.Contacts";
const QString kEmpty = "___EmptyParameterString___";

// A batch of contact records as a phone sends them: many entries, names with
// emoji and accents, some with e-mail addresses only.
QVariantMap contactBatch(int first, int count)
{
    QVariantMap records;
    for (int i = first; i < first + count; ++i) {
        QVariantMap person{{"com.apple.syncservices.RecordEntityName", "com.apple.contacts.Contact"},
                           {"first name", QString::fromUtf8("Zo\u00eb %1 \U0001F338").arg(i)}};
        if (i % 3 == 0)
            person.insert("email", QString("zoe%1@example.org").arg(i));
        records.insert(QString::number(1000 + i), person);
    }
    return records;
}

// The device's side of the version exchange, for a scripted device.
void deviceHandshake(PeerSocket &phone)
{
    phone.writeFrame(binary(QVariantList{"DLMessageVersionExchange", 300, 0}));
    phone.readFrame();
    phone.writeFrame(binary(QVariantList{"DLMessageDeviceReady"}));
}

} // namespace

class TestMobileSync : public QObject
{
    Q_OBJECT

    AttachedPhones phones;
    qint64 liveAtStart = 0;

    QVariantList recorded(const QString &phone)
    {
        return parsed(testsupport::recordedServiceRequests(phones.folder(phone), kService)).toList();
    }

private slots:
    void initTestCase() { phones.start(); }
    void init() { liveAtStart = liveValues(); }
    void cleanup() { QCOMPARE(liveValues(), liveAtStart); }

    void aWholeSync()
    {
        const QVariantMap first = contactBatch(0, 400), third = contactBatch(400, 3);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("sync");
        setup.services.insert(kService, {{"Batches", QVariantMap{{kContacts, QVariantList{first, kEmpty, third}}}},
                                         {"Remap", QVariantMap{{"local-1", "1403"}}}});
        void *device = phones.attach(setup);
        QVERIFY(device);
        int socket = 0;
        mobiledevice_sync_start(device, _SyncDataClass(kContacts, "anchor-a", QString::fromUtf8("anchor \u00df")),
                                socket, true);
        const QList<CFType> records = mobiledevice_sync_get_all_records(socket, kContacts);
        QCOMPARE(records.size(), 2);
        QCOMPARE(cfmessages::toVariant(records.at(0)), QVariant(first));
        QCOMPARE(cfmessages::toVariant(records.at(1)), QVariant(third));
        const QVariantMap changes{{"local-1", QVariantMap{{"first name", QString::fromUtf8("\u00c5sa")}}}};
        const CFType remap = mobiledevice_sync_process_changes(socket, cf(changes), kContacts,
                                                               cf(QVariantMap{{"SyncDeviceLinkEntityNamesKey",
                                                                               QVariantList{"com.apple.contacts.Contact"}}}));
        QCOMPARE(cfmessages::toVariant(remap), QVariant(QVariantMap{{"local-1", "1403"}}));
        mobiledevice_sync_clear_all_records(socket, kContacts);
        mobiledevice_sync_finish(socket, kContacts);
        mobiledevice_closesocket(socket);

        QTRY_COMPARE(recorded("sync").size(), 10);
        const QVariantList sent = recorded("sync");
        const QVariant ack = QVariantList{"SDMessageAcknowledgeChangesFromDevice", kContacts};
        QCOMPARE(sent.at(1), QVariant(QVariantList{"SDMessageSyncDataClassWithDevice", kContacts, "anchor-a",
                                                   QString::fromUtf8("anchor \u00df"), 106}));
        QCOMPARE(sent.at(2), QVariant(QVariantList{"DLMessagePing", "Preparing to get changes for device"}));
        QCOMPARE(sent.at(3), QVariant(QVariantList{"SDMessageGetAllRecordsFromDevice", kContacts}));
        QCOMPARE(sent.mid(4, 3), QVariantList({ack, ack, ack}));
        QCOMPARE(sent.at(7).toList().mid(0, 4),
                 QVariantList({"SDMessageProcessChanges", kContacts, changes, false}));
        QCOMPARE(sent.at(8), QVariant(QVariantList{"SDMessageClearAllRecordsOnDevice", kContacts, kEmpty}));
        QCOMPARE(sent.at(9), QVariant(QVariantList{"SDMessageFinishSessionOnDevice", kContacts}));
        QVERIFY(phones.detach("sync", device));
    }

    void openingWithoutAPingAndNoRecords()
    {
        void *device = phones.attach(testsupport::typicalIPhone("quiet"));
        QVERIFY(device);
        int socket = 0;
        mobiledevice_sync_start(device, _SyncDataClass("com.apple.Calendars", "a", "b"), socket, false);
        // The device answers the get-all request at once: nothing, and no
        // acknowledgement.
        QVERIFY(mobiledevice_sync_get_all_records(socket, "com.apple.Calendars").isEmpty());
        mobiledevice_closesocket(socket);
        QTRY_COMPARE(recorded("quiet").size(), 3);
        QCOMPARE(recorded("quiet").at(2), QVariant(QVariantList{"SDMessageGetAllRecordsFromDevice", "com.apple.Calendars"}));
        QVERIFY(phones.detach("quiet", device));
    }

    void aRefusedSync()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("refusing");
        setup.services.insert(kService, {{"RefuseSync", true}});
        void *device = phones.attach(setup);
        QVERIFY(device);
        int socket = 0;
        const QVariant refusal = QVariantList{"SDMessageRefuseToSyncDataClassWithComputer", kContacts, "refused"};
        QCOMPARE(thrown([&] { mobiledevice_sync_start(device, _SyncDataClass(kContacts, "a", "b"), socket, true); }),
                 "invalid feedback after send SDMessageSyncDataClassWithDevice.\n"
                     + QString::fromUtf8(cfmessages::xml(refusal)));
        mobiledevice_closesocket(socket);
        QVERIFY(phones.detach("refusing", device));
    }

    // Every sync message goes as XML; no ping follows when none is asked.
    void messagesGoAsXml()
    {
        if (AttachedPhones::throughUsbmux())
            QSKIP("the script plays the service in this process, the daemon runs it in its own");
        void *device = phones.attach(testsupport::typicalIPhone("xml"));
        QVERIFY(device);
        QList<QByteArray> bodies;
        bool quietAfterOpening = false;
        ServicePeerHook hook([&](PeerSocket &phone) {
            deviceHandshake(phone);
            bodies.append(phone.readFrame());
            phone.writeFrame(binary(QVariantList{"SDMessageSyncDataClassWithComputer", kContacts, "1"}));
            pollfd entry{phone.socket(), POLLIN, 0};
            quietAfterOpening = poll(&entry, 1, 200) == 0;
            bodies.append(phone.readFrame());
            phone.writeFrame(binary(QVariantList{"SDMessageDeviceWillClearAllRecords", kContacts}));
        });
        int socket = 0;
        mobiledevice_sync_start(device, _SyncDataClass(kContacts, "a", "b"), socket, false);
        QThread::msleep(300);
        mobiledevice_sync_clear_all_records(socket, kContacts);
        QVERIFY(hook.waitFinished());
        mobiledevice_closesocket(socket);
        QVERIFY(quietAfterOpening);
        QCOMPARE(bodies.size(), 2);
        for (const QByteArray &body : bodies)
            QVERIFY2(cfmessages::isXml(body), body.constData());
        QVERIFY(phones.detach("xml", device));
    }

    void answersOutOfStep_data()
    {
        QTest::addColumn<int>("call"); // 0 get all, 1 process changes, 2 clear, 3 finish
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("acknowledged");
        const QVariantList remap{"SDMessageRemapRecordIdentifiers", kContacts, QVariantMap()};
        const auto invalid = [](const char *sent, const QVariant &reply) {
            return QString("invalid feedback after send %1.\n").arg(sent) + QString::fromUtf8(cfmessages::xml(reply));
        };
        QTest::newRow("a remapping during get-all")
            << 0 << QList<QByteArray>{binary(remap)} << invalid("SDMessageGetAllRecordsFromDevice", remap) << 0;
        const QVariantList batch{"SDMessageProcessChanges", kContacts, contactBatch(0, 2), true, kEmpty};
        QTest::newRow("a remapping after a batch")
            << 0 << QList<QByteArray>{binary(batch), binary(remap)}
            << invalid("SDMessageGetAllRecordsFromDevice", remap) << 1;
        // A short or unreadable answer fails like a wrong one.
        QTest::newRow("an empty array during get-all")
            << 0 << QList<QByteArray>{binary(QVariantList{})} << invalid("SDMessageGetAllRecordsFromDevice", QVariantList{})
            << 0;
        QTest::newRow("garbage during get-all") << 0 << QList<QByteArray>{QByteArray("\x00garbage", 8)}
                                                << "invalid feedback after send SDMessageGetAllRecordsFromDevice.\n" << 0;
        const QVariantList cleared{"SDMessageDeviceWillClearAllRecords", kContacts};
        QTest::newRow("a clearing for changes") << 1 << QList<QByteArray>{binary(cleared)}
                                                << invalid("SDMessageProcessChanges", cleared) << 0;
        QTest::newRow("a remapping without its dictionary")
            << 1 << QList<QByteArray>{binary(QVariantList{"SDMessageRemapRecordIdentifiers", kContacts})} << QString()
            << 0;
        QTest::newRow("a remapping for a clear") << 2 << QList<QByteArray>{binary(remap)}
                                                 << invalid("SDMessageClearAllRecordsOnDevice", remap) << 0;
        QTest::newRow("finishing takes any answer") << 3 << QList<QByteArray>{binary(QVariantList{"Whatever"})}
                                                    << QString() << 0;
        QTest::newRow("finishing takes garbage") << 3 << QList<QByteArray>{QByteArray("??")} << QString() << 0;
        QTest::newRow("finishing needs an answer") << 3 << QList<QByteArray>{}
                                                   << "mobiledevice_recmsg(msg-length) error, received length: 0.\n"
                                                          + QString::fromUtf8(cfmessages::xml(QVariantList{
                                                              "SDMessageFinishSessionOnDevice", kContacts}))
                                                   << 0;
    }
    void answersOutOfStep()
    {
        QFETCH(int, call);
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QString, error);
        QFETCH(int, acknowledged);
        int acks = 0;
        SocketPeer peer([&](PeerSocket &phone) {
            phone.readFrame();
            for (int i = 0; i < answers.size(); ++i) {
                phone.writeFrame(answers.at(i));
                if (i + 1 < answers.size() && parsed(phone.readFrame()).toList().value(0)
                                                  == QVariant("SDMessageAcknowledgeChangesFromDevice"))
                    ++acks;
            }
            phone.shutdownWrite();
            phone.closedByClient();
        });
        CFType remap = cf(QVariantMap{{"x", 1}});
        QCOMPARE(thrown([&] {
                     if (call == 0)
                         mobiledevice_sync_get_all_records(peer.socket(), kContacts);
                     else if (call == 1)
                         remap = mobiledevice_sync_process_changes(peer.socket(), cf(QVariantMap()), kContacts,
                                                                   cf(QVariantMap()));
                     else if (call == 2)
                         mobiledevice_sync_clear_all_records(peer.socket(), kContacts);
                     else
                         mobiledevice_sync_finish(peer.socket(), kContacts);
                 }),
                 error);
        shutdown(peer.socket(), SHUT_RDWR);
        peer.join();
        QCOMPARE(acks, acknowledged);
        if (call == 1 && error.isEmpty())
            QVERIFY(remap.isEmpty());
    }

    void tetheredSync_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<bool>("disable");
        QTest::newRow("disabled") << 0 << true;
        QTest::newRow("enabled") << 0 << false;
        QTest::newRow("the phone refuses") << -402653151 << true;
    }
    void tetheredSync()
    {
        QFETCH(int, failure);
        QFETCH(bool, disable);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("tethered");
        if (failure)
            setup.failures.insert("AMDeviceSetValue", failure);
        void *device = phones.attach(setup);
        QVERIFY(device);
        // Lockdownd names a refused value (SetProhibited) and never passes the
        // phone's own code on: through usbmuxd every refusal is the invalid
        // argument code.
        const int expected = failure && AttachedPhones::throughUsbmux() ? -402653177 : failure;
        QCOMPARE(mobiledevice_sync_set_tethered(device, "com.apple.Contacts", disable), expected);
        const QVariantList record = parsed(testsupport::recordedSetValues(phones.folder("tethered"))).toList();
        if (failure) {
            QVERIFY(record.isEmpty());
        } else {
            QCOMPARE(record, QVariantList({QVariantMap{{"Domain", "com.apple.mobile.tethered_sync"},
                                                       {"Key", "com.apple.Contacts"},
                                                       {"Value", QVariantMap{{"DisableTethered", disable}}}}}));
        }
        QVERIFY(phones.detach("tethered", device));
    }

    void everyMessageHasAName()
    {
        QSet<QString> names;
        for (SyncMessage message : kAllSyncMessages) {
            QVERIFY(toText(message).startsWith("SDMessage"));
            names.insert(toText(message));
        }
        QCOMPARE(names.size(), int(std::size(kAllSyncMessages)));
    }
};

QP_TEST_MAIN(TestMobileSync)

} // namespace tst_mobilesync

#include "tst_mobilesync.moc"
