#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "store/ios5messagedb.h"
#include "store/msgtext.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/countryfixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/plistfixture.h"
#include "tests/support/testmain.h"

#include <QDir>
#include <QHashSeed>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <limits>
#include <memory>
#include <stdexcept>

namespace tst_ios5messagedb {

using namespace testsupport;

namespace {

const char kIndia[] = "404";
const qint64 kUnix = 1300000000; // an SMS date as the phone stores it
const int kDate = int(kUnix - 978307200);

Ios5Member member(qint64 rowid, const QString &address, const QString &country)
{
    Ios5Member m;
    m.rowid = rowid;
    m.address = address;
    m.country = country;
    return m;
}

Ios5Message sms(qint64 rowid, qint64 group, const QString &address, int flags, qint64 date = kUnix)
{
    Ios5Message m;
    m.rowid = rowid;
    m.groupId = group;
    m.address = address;
    m.country = "in";
    m.flags = flags;
    m.date = date;
    m.text = QString("sms %1").arg(rowid);
    return m;
}

Ios5Message imessage(qint64 rowid, const QString &room, const QString &handle, int date, int delivered)
{
    Ios5Message m;
    m.rowid = rowid;
    m.isMadrid = true;
    m.madridRoomname = room;
    m.madridHandle = handle;
    m.date = date;
    m.madridDateRead = date + 1;
    m.madridDateDelivered = delivered;
    m.madridGuid = QString("IM-%1").arg(rowid);
    m.madridAccount = "e:me@example.com";
    m.madridAccountGuid = "ACCOUNT-1";
    m.madridError = 0;
    m.attributedBody = "body";
    m.text = QString("imessage %1").arg(rowid);
    return m;
}

// SMS groups with one, two, three and no members, and a group whose newest
// message is gone; iMessage chats of one person, of two people, and one whose
// participants are not a property list.
Ios5Content phoneContent(bool withIMessage, bool binaryPlists = true)
{
    Ios5Content c;
    c.withIMessage = withIMessage;
    Ios5Group one;
    one.rowid = 1;
    one.hash = 111;
    one.newestMessage = 2;
    one.members = {member(1, "98765 43210", "in")};
    Ios5Group two;
    two.rowid = 2;
    two.hash = 222;
    two.newestMessage = 4;
    two.members = {member(2, "09876543210", "in"), member(3, "+49 170 1234567", "de")};
    Ios5Group three;
    three.rowid = 3;
    three.hash = 333;
    three.newestMessage = 5;
    three.members = {member(4, "8765432109", "in"), member(5, "7654321098", "in"), member(6, "+4930123456", "de")};
    Ios5Group none;
    none.rowid = 4;
    none.hash = -444;
    none.newestMessage = 5;
    Ios5Group gone;
    gone.rowid = 5;
    gone.hash = 555;
    gone.newestMessage = 999;
    gone.members = {member(7, "9123456789", "in")};
    c.groups = {one, two, three, none, gone};

    c.messages = {sms(1, 1, "98765 43210", 2, kUnix - 60), sms(2, 1, "98765 43210", 3),
                  sms(3, 2, "+49 170 1234567", 2), sms(4, 2, "+49 170 1234567", 3, kUnix + 60),
                  sms(5, 3, "7654321098", 2, kUnix + 120), sms(6, 5, "9123456789", 2)};

    if (withIMessage) {
        Ios5MadridChat friendChat;
        friendChat.rowid = 1;
        friendChat.identifier = "Friend@Example.com";
        friendChat.participants = plistStringArray({"Friend@Example.com"}, binaryPlists);
        friendChat.accountId = "ACC";
        friendChat.accountLogin = "E:me@example.com";
        Ios5MadridChat pair;
        pair.rowid = 2;
        pair.style = 43;
        pair.identifier = "+491701111111";
        pair.participants = plistStringArray({"+491701111111", "+49 170 2222222"}, binaryPlists);
        Ios5MadridChat broken;
        broken.rowid = 3;
        broken.identifier = "broken@example.com";
        broken.participants = "not a property list";
        c.madridChats = {friendChat, pair, broken};
        c.messages << imessage(10, "", "friend@example.com", 400000000, 0)
                   << imessage(11, "", "friend@example.com", 400000500, 400000501)
                   << imessage(12, "+491701111111", "+491702222222", 400001000, 0)
                   << imessage(13, "+491701111111", "", 400002000, 400002001);
    }
    return c;
}

// Arrays nested depth deep, the innermost holding one string: a damaged or
// crafted participants value.
QList<qint64> sortedKeys(const QHash<qint64, _MsgMessage *> &hash)
{
    QList<qint64> keys = hash.keys();
    std::stable_sort(keys.begin(), keys.end());
    return keys;
}

} // namespace

class TestIOS5MessageDb : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QDir cacheDir() const { return QDir(m_dir->path()); }

    QSharedPointer<_MsgStore> load(qint64 chatId = 0)
    {
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, chatId);
        return store;
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    void open_missingFileFails()
    {
        IOS5MessageDb db(cacheDir(), kIndia);
        QCOMPARE(db.iosVersion(), 5);
        QVERIFY_THROWS_EXCEPTION(std::exception, db.open());
        QVERIFY(!db.isOpen());
    }

    void open_phoneTriggersFindReadFunction_data()
    {
        QTest::addColumn<bool>("trustedSchema");
        QTest::newRow("trusted schema") << true;
        QTest::newRow("schema not trusted") << false;
    }
    void open_phoneTriggersFindReadFunction()
    {
        QFETCH(bool, trustedSchema);
        writeIos5MessageDb(m_dir->path(), phoneContent(true));
        IOS5MessageDb db(cacheDir(), kIndia);
        db.open();
        if (!trustedSchema)
            db.executeThrow(Sqlite3Sql("PRAGMA trusted_schema=OFF"));
        db.executeThrow(Sqlite3Sql("update message set flags=0 where group_id=1"));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select unread_count from msg_group where rowid=1"));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt("unread_count"), 2);
    }

    // ---- SMS chats ------------------------------------------------------------

    void smsGroups_data()
    {
        QTest::addColumn<qint64>("group");
        QTest::addColumn<int>("memberCount");
        QTest::addColumn<QString>("firstId"); // empty for a group without members
        QTest::addColumn<int>("last");
        QTest::newRow("one member") << qint64(1) << 1 << "+919876543210" << kDate;
        QTest::newRow("two members") << qint64(2) << 2 << "+919876543210" << kDate + 60;
        QTest::newRow("three members") << qint64(3) << 3 << "+918765432109" << kDate + 120;
        QTest::newRow("no members") << qint64(4) << 0 << QString() << kDate + 120;
    }
    void smsGroups()
    {
        QFETCH(qint64, group);
        QFETCH(int, memberCount);
        QFETCH(QString, firstId);
        QFETCH(int, last);
        writeIos5MessageDb(m_dir->path(), phoneContent(true));
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);

        const _MsgChat *chat = store->chats.value(group);
        QVERIFY(chat);
        QCOMPARE(chat->rowid, group);
        QCOMPARE(chat->service_name, QString("SMS"));
        QCOMPARE(chat->account_login, QString("E:"));
        QCOMPARE(chat->state, 3);
        QCOMPARE(chat->_last, last);
        QCOMPARE(chat->members.size(), memberCount);
        if (memberCount == 0) {
            QCOMPARE(chat->guid, QString("SMS;-;-444"));
            QCOMPARE(chat->chat_identifier, QString("unknown"));
            QCOMPARE(chat->style, 45);
        } else if (memberCount == 1) {
            QCOMPARE(chat->guid, "SMS;-;" + firstId);
            QCOMPARE(chat->chat_identifier, firstId);
            QCOMPARE(chat->style, 45);
            QVERIFY(chat->room_name.isEmpty());
        } else {
            const QString id = groupChatId("SMS;-;" + firstId);
            QVERIFY(QRegularExpression("^chat\\d{18}$").match(id).hasMatch());
            QCOMPARE(chat->chat_identifier, id);
            QCOMPARE(chat->guid, "SMS;+;" + id);
            QCOMPARE(chat->room_name, id);
            QCOMPARE(chat->style, 43);
            QCOMPARE(chat->account_id, guidFromMd5(chat->guid.toUtf8()));
        }
        // Members are keyed by their normalised address.
        for (auto it = chat->members.constBegin(); it != chat->members.constEnd(); ++it)
            QCOMPARE(it.key(), it.value()->id);
        if (memberCount > 0)
            QVERIFY(chat->members.contains(firstId));
    }

    void smsGroups_handles()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(false));
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        // A group whose newest message is missing is not loaded, nor its members.
        QVERIFY(!store->chats.contains(5));
        QVERIFY(!store->handles.contains(7));
        QCOMPARE(store->chats.size(), 4);
        const _MsgHandle *german = store->handles.value(3);
        QCOMPARE(german->id, QString("+491701234567"));
        QCOMPARE(german->country, QString("de"));
        QCOMPARE(german->service, QString("SMS"));
        // One address in two groups: two handles (one per group_member row).
        QCOMPARE(store->handles.value(1)->id, store->handles.value(2)->id);
        QVERIFY(store->handles.value(1) != store->handles.value(2));

        // A second call changes nothing.
        db.chats(store);
        QCOMPARE(store->chats.size(), 4);
        QCOMPARE(store->handles.size(), 6);
        QCOMPARE(store->chats.value(3)->members.size(), 3);
    }

    void smsGroups_contactNames()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(false));
        AddressBookPerson anna;
        anna.rowid = 1;
        anna.first = "Anna";
        anna.last = "Berg";
        anna.phones = {"+91 98765 43210"};
        writeAddressBook(m_dir->path(), {anna});
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        QCOMPARE(store->handles.value(1)->_ct_name, QString("Anna Berg"));
        QCOMPARE(store->handles.value(3)->_ct_name, QString());
    }

    // ---- iMessage chats -------------------------------------------------------

    void imessageChats_data()
    {
        QTest::addColumn<bool>("binary");
        QTest::newRow("binary participants") << true;
        QTest::newRow("XML participants") << false;
    }
    void imessageChats()
    {
        QFETCH(bool, binary);
        writeIos5MessageDb(m_dir->path(), phoneContent(true, binary));
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);

        const _MsgChat *person = store->chats.value(-1);
        QVERIFY(person);
        QCOMPARE(person->rowid, qint64(-1));
        QCOMPARE(person->chat_identifier, QString("friend@example.com"));
        QCOMPARE(person->guid, QString("iMessage;-;friend@example.com"));
        QCOMPARE(person->service_name, QString("iMessage"));
        QCOMPARE(person->account_id, QString("ACC"));
        QCOMPARE(person->account_login, QString("E:me@example.com"));
        QCOMPARE(person->members.keys(), QStringList{"friend@example.com"});
        QCOMPARE(person->_last, 400000500); // by handle

        const _MsgChat *pair = store->chats.value(-2);
        QCOMPARE(pair->guid, QString("iMessage;+;+491701111111"));
        QCOMPARE(pair->style, 43);
        QStringList ids = pair->members.keys();
        ids.sort();
        QCOMPARE(ids, QStringList({"+491701111111", "+491702222222"}));
        QCOMPARE(pair->_last, 400002000); // by room name

        const _MsgChat *broken = store->chats.value(-3);
        QCOMPARE(broken->guid, QString("iMessage;-;broken@example.com"));
        QVERIFY(broken->members.isEmpty());

        // Participants get negative keys of their own, none shared.
        QSet<_MsgHandle *> participants;
        for (auto it = store->handles.constBegin(); it != store->handles.constEnd(); ++it) {
            if (it.value()->service == "iMessage") {
                QVERIFY(it.key() < 0);
                QCOMPARE(it.value()->rowid, it.key());
                QVERIFY(it.value()->country.isEmpty());
                participants.insert(it.value());
            }
        }
        QCOMPARE(participants.size(), 3);
    }

    // A damaged file may hold madrid_chat rowids that have no negative key
    // apart from the SMS chats; such rows are left out, the rest loads.
    void imessageChats_rowidWithoutNegativeKey_data()
    {
        QTest::addColumn<qint64>("rowid");
        QTest::newRow("zero") << qint64(0);
        QTest::newRow("negative") << qint64(-7);
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min();
    }
    void imessageChats_rowidWithoutNegativeKey()
    {
        QFETCH(qint64, rowid);
        Ios5Content content = phoneContent(true);
        Ios5MadridChat odd;
        odd.rowid = rowid;
        odd.identifier = "odd@example.com";
        odd.participants = plistStringArray({"odd@example.com"}, true);
        content.madridChats << odd;
        content.messages << imessage(30, "", "odd@example.com", 400005000, 0);
        writeIos5MessageDb(m_dir->path(), content);
        const QSharedPointer<_MsgStore> store = load();
        QList<qint64> keys = store->chats.keys();
        std::stable_sort(keys.begin(), keys.end());
        QCOMPARE(keys, QList<qint64>({-3, -2, -1, 1, 2, 3, 4}));
        const _MsgMessage *m = store->messages.value(30);
        QVERIFY(m);
        QVERIFY(!m->chat);
    }

    // Participants nested too deep to be a list: a chat without members, and
    // no parser runs out of stack on the way.
    void imessageChats_deeplyNestedParticipants_data()
    {
        QTest::addColumn<bool>("binary");
        QTest::newRow("binary") << true;
        QTest::newRow("XML") << false;
    }
    void imessageChats_deeplyNestedParticipants()
    {
        QFETCH(bool, binary);
        Ios5Content content = phoneContent(true);
        content.madridChats[0].participants = nestedPlist(300000, binary);
        content.madridChats[1].participants = nestedPlist(2, binary);
        writeIos5MessageDb(m_dir->path(), content);
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        const _MsgChat *deep = store->chats.value(-1);
        QVERIFY(deep);
        QCOMPARE(deep->guid, QString("iMessage;-;friend@example.com"));
        QVERIFY(deep->members.isEmpty());
        // A shallow nesting still parses: one element, not a string.
        QCOMPARE(store->chats.value(-2)->members.size(), 1);
    }

    void imessageChats_notOnPhoneWithoutIMessage()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(false));
        const QSharedPointer<_MsgStore> store = load();
        for (const _MsgChat *chat : std::as_const(store->chats))
            QVERIFY(chat->rowid > 0);
        QCOMPARE(sortedKeys(store->messages), QList<qint64>({1, 2, 3, 4, 5, 6}));
    }

    // ---- messages -------------------------------------------------------------

    void messages_sms()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(true));
        const QSharedPointer<_MsgStore> store = load();

        const _MsgMessage *in = store->messages.value(1);
        QCOMPARE(in->service, QString("SMS"));
        QCOMPARE(in->account, QString("e:"));
        QCOMPARE(in->date, kDate - 60); // from 1970 to the 2001 base
        QCOMPARE(in->date_read, in->date);
        QCOMPARE(in->date_delivered, in->date);
        QCOMPARE(in->is_from_me, 0);
        QCOMPARE(in->version, 10);
        QCOMPARE(in->is_finished + in->is_prepared + in->is_read + in->is_sent + in->was_data_detected, 5);
        QCOMPARE(in->srcRowid, qint64(1));
        QCOMPARE(in->country, QString("in"));
        QCOMPARE(in->other_handle, -1);
        QVERIFY(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(in->guid)
                    .hasMatch());
        // One member: it is the sender or the recipient.
        QCOMPARE(in->handle, store->handles.value(1));
        QCOMPARE(in->chat, store->chats.value(1));
        QCOMPARE(store->chats.value(1)->messages.value(1), in);
        QCOMPARE(store->messages.value(2)->is_from_me, 1);
        QCOMPARE(store->messages.value(2)->handle, store->handles.value(1));

        // In a group the sender is found by address; a message of mine has none.
        QCOMPARE(store->messages.value(3)->handle, store->handles.value(3));
        QVERIFY(!store->messages.value(4)->handle);
        QCOMPARE(store->messages.value(5)->handle, store->handles.value(5));

        // A message of a group that was not loaded stays alone.
        const _MsgMessage *lonely = store->messages.value(6);
        QVERIFY(lonely);
        QVERIFY(!lonely->chat);
        QVERIFY(!lonely->handle);
        QVERIFY(!store->chats.contains(5));
    }

    // Bit 0 of flags marks a message of mine, also one that failed to send.
    void messages_smsFromMeByFlags_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("fromMe");
        QTest::newRow("2: received") << 2 << 0;
        QTest::newRow("3: sent") << 3 << 1;
        QTest::newRow("33: failed to send") << 33 << 1;
    }
    void messages_smsFromMeByFlags()
    {
        QFETCH(int, flags);
        QFETCH(int, fromMe);
        Ios5Content content = phoneContent(false);
        content.messages << sms(40, 2, "+49 170 1234567", flags);
        writeIos5MessageDb(m_dir->path(), content);
        const QSharedPointer<_MsgStore> store = load();
        const _MsgMessage *m = store->messages.value(40);
        QVERIFY(m);
        QCOMPARE(m->is_from_me, fromMe);
        // In a group chat the sender is the member with the row's address; a
        // message of mine has none.
        QCOMPARE(m->handle, fromMe ? nullptr : store->handles.value(3));
    }

    // Dates of a damaged file that do not fit: the row loads all the same.
    void messages_smsDateOutOfRange_data()
    {
        QTest::addColumn<qint64>("date");
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min();
        QTest::newRow("largest") << std::numeric_limits<qint64>::max();
    }
    void messages_smsDateOutOfRange()
    {
        QFETCH(qint64, date);
        Ios5Content content = phoneContent(false);
        content.messages << sms(40, 1, "98765 43210", 2, date);
        writeIos5MessageDb(m_dir->path(), content);
        const QSharedPointer<_MsgStore> store = load();
        const _MsgMessage *m = store->messages.value(40);
        QVERIFY(m);
        QCOMPARE(m->chat, store->chats.value(1));
        QCOMPARE(m->date_read, m->date);
    }

    void messages_smsGuidsAreNewEveryLoad()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(false));
        const QSharedPointer<_MsgStore> first = load();
        const QSharedPointer<_MsgStore> second = load();
        QVERIFY(first->messages.value(1)->guid != second->messages.value(1)->guid);
    }

    void messages_imessage()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(true));
        const QSharedPointer<_MsgStore> store = load();
        const _MsgChat *person = store->chats.value(-1);
        const _MsgChat *pair = store->chats.value(-2);

        const _MsgMessage *in = store->messages.value(10);
        QCOMPARE(in->service, QString("iMessage"));
        QCOMPARE(in->guid, QString("IM-10"));
        QCOMPARE(in->account, QString("e:me@example.com"));
        QCOMPARE(in->account_guid, QString("ACCOUNT-1"));
        QCOMPARE(in->rare().attributedBody, QByteArray("body"));
        QCOMPARE(in->date, 400000000); // already on the 2001 base
        QCOMPARE(in->date_read, 400000001);
        QCOMPARE(in->is_from_me, 0);
        QCOMPARE(in->chat, person); // by handle, no room name
        QCOMPARE(in->handle, *person->members.constBegin());

        const _MsgMessage *out = store->messages.value(11);
        QCOMPARE(out->is_from_me, 1); // delivered: sent by me
        QCOMPARE(out->chat, person);

        const _MsgMessage *fromOther = store->messages.value(12);
        QCOMPARE(fromOther->chat, pair); // by room name
        QVERIFY(fromOther->handle);
        QCOMPARE(fromOther->handle, pair->members.value("+491702222222"));
        const _MsgMessage *mine = store->messages.value(13);
        QCOMPARE(mine->chat, pair);
        QVERIFY(!mine->handle);
        QCOMPARE(pair->messages.size(), 2);
    }

    void messages_groupSenderByHandle()
    {
        // A group whose sender is one of its participants.
        Ios5Content content = phoneContent(true);
        content.messages << imessage(14, "+491701111111", "+491701111111", 400003000, 0);
        writeIos5MessageDb(m_dir->path(), content);
        const QSharedPointer<_MsgStore> store = load();
        const _MsgChat *pair = store->chats.value(-2);
        QCOMPARE(store->messages.value(14)->handle, pair->members.value("+491701111111"));
        QVERIFY(store->messages.value(14)->handle);
    }

    void messages_selectsChat_data()
    {
        QTest::addColumn<qint64>("chatId");
        QTest::addColumn<QList<qint64>>("rowids");
        QTest::newRow("every message") << qint64(0) << QList<qint64>{1, 2, 3, 4, 5, 6, 10, 11, 12, 13};
        QTest::newRow("an SMS group") << qint64(2) << QList<qint64>{3, 4};
        QTest::newRow("an iMessage chat by room name") << qint64(-2) << QList<qint64>{12, 13};
        // The stored identifier is compared as stored: "Friend@Example.com"
        // matches no message of "friend@example.com".
        QTest::newRow("an iMessage chat by stored identifier") << qint64(-1) << QList<qint64>{};
    }
    void messages_selectsChat()
    {
        QFETCH(qint64, chatId);
        QFETCH(QList<qint64>, rowids);
        writeIos5MessageDb(m_dir->path(), phoneContent(true));
        QCOMPARE(sortedKeys(load(chatId)->messages), rowids);
    }

    void messages_negativeIdWithoutIMessageTables()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(false));
        const QSharedPointer<_MsgStore> store = load(-1);
        QVERIFY(store->messages.isEmpty());
        QCOMPARE(store->chats.size(), 4);
    }

    void messages_skipsRowsInStore()
    {
        writeIos5MessageDb(m_dir->path(), phoneContent(true));
        IOS5MessageDb db(cacheDir(), kIndia);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 2);
        _MsgMessage *m = store->messages.value(3);
        const QString guid = m->guid;
        db.messages(store, 0);
        QCOMPARE(store->messages.value(3), m);
        QCOMPARE(m->guid, guid);
        QCOMPARE(store->chats.value(2)->messages.size(), 2);
        QCOMPARE(store->messages.size(), 10);
    }

    // Several chats share one identifier: an iMessage row without room name
    // goes to the iMessage chat, and to the SMS chat only when there is none.
    void messages_sharedIdentifier_data()
    {
        QTest::addColumn<bool>("withIMessageChat");
        QTest::newRow("SMS and iMessage chat") << true;
        QTest::newRow("SMS chat only") << false;
    }
    void messages_sharedIdentifier()
    {
        QFETCH(bool, withIMessageChat);
        Ios5Content content = phoneContent(true);
        if (withIMessageChat) {
            Ios5MadridChat same;
            same.rowid = 4;
            same.identifier = "+919876543210";
            same.participants = plistStringArray({"+919876543210"}, true);
            content.madridChats << same;
        }
        content.messages << imessage(20, "", "+919876543210", 400004000, 0);
        writeIos5MessageDb(m_dir->path(), content);
        // Several loads, each under a new hash seed, so the store's chats come
        // out in other orders: the result must not depend on hash order.
        for (int round = 0; round < 8; ++round) {
            QHashSeed::resetRandomGlobalSeed();
            const QSharedPointer<_MsgStore> store = load();
            const _MsgMessage *m = store->messages.value(20);
            QCOMPARE(m->chat, store->chats.value(withIMessageChat ? -4 : 1));
            QCOMPARE(m->handle, *m->chat->members.constBegin());
        }
    }
};

QP_TEST_MAIN(TestIOS5MessageDb)

} // namespace tst_ios5messagedb

#include "tst_ios5messagedb.moc"
