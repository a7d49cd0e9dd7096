#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"

#include "store/messagerecycledb.h"
#include "store/msgtext.h"

#include <QHashSeed>

#include <limits>

namespace tst_recyclemerge {

using namespace testsupport;

namespace {

// A message as MessageRecycleDb::messages loads the row with ROWID n.
_RecycleMessage recycled(qint64 n, const QString &identifier, const QString &service, qint64 handleId, int date,
                         const QString &handle = QString())
{
    _RecycleMessage r;
    r.rowid = RECYCLED_MESSAGE_ID_BASE - n;
    r.guid = QString("7A5E1D00-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0'));
    r.text = QString::fromUtf8("wieder da %1 \xF0\x9F\x99\x82").arg(n);
    r.service = service;
    r.account = service.compare("iMessage", Qt::CaseInsensitive) == 0 ? "e:me@example.com" : "e:";
    r.handle_id = handleId;
    r.date = date;
    r.is_from_me = 0;
    r.chat_identifier = identifier;
    r.handle = handle;
    r.isRecovered = true;
    return r;
}

_MsgMessage *merged(const QSharedPointer<_MsgStore> &store, const _RecycleMessage &r)
{
    return store->messages.value(r.rowid);
}

// What a chat of the store looks like from outside, to tell that nothing
// about it changed.
QString chatPrint(const _MsgChat *c)
{
    QStringList members;
    for (auto it = c->members.cbegin(); it != c->members.cend(); ++it)
        members << it.key() + "=" + it.value()->id;
    members.sort();
    QStringList messages;
    for (const qint64 rowid : c->messages.keys())
        messages << QString::number(rowid);
    messages.sort();
    return QString("%1|%2|%3|%4|%5|%6|%7")
        .arg(c->rowid)
        .arg(c->guid, c->chat_identifier, c->service_name)
        .arg(c->_last)
        .arg(members.join(','), messages.join(','));
}

} // namespace

class TestRecycleMerge : public QObject
{
    Q_OBJECT

private slots:
    void joinsChatsOfTheStore();
    void serviceDecidesTheMap_data();
    void serviceDecidesTheMap();
    void syntheticChats_data();
    void syntheticChats();
    void unknownConversation();
    void hostileHandleIds_data();
    void hostileHandleIds();
    void sharedHandleIdsStayDistinct();
    void takenIdsAreSkipped();
    void secondMergeAddsNothing();
    void rowidAlreadyInStore();
    void groupSenderByAddress();
    void sameIdentifierTwice();
    void addSyntheticSmsChatNeverReplaces();
};

void TestRecycleMerge::joinsChatsOfTheStore()
{
    MsgStoreBuilder b;
    _MsgHandle *anna = b.handle("+4915112345678");
    _MsgHandle *annaMail = b.handle("anna@example.com", "iMessage");
    _MsgChat *sms = b.chat({anna});
    _MsgChat *imessage = b.chat({annaMail}, "iMessage");
    b.message(sms, anna, "live", 600000500);
    sms->_last = 600000500;
    imessage->_last = 600000700;
    const qint64 smsId = sms->rowid;
    const int chatCount = b.store->chats.size();
    const int handleCount = b.store->handles.size();

    QList<_RecycleMessage> list = {recycled(1, sms->chat_identifier, "SMS", anna->rowid, 600000900),
                                   recycled(2, sms->chat_identifier, "SMS", anna->rowid, 600000100),
                                   recycled(3, "anna@example.com", "iMessage", annaMail->rowid, 600000600)};
    MessageRecycleDb::mergeIntoStore(b.store, list);

    QCOMPARE(b.store->chats.size(), chatCount); // no synthetic chat
    QCOMPARE(b.store->handles.size(), handleCount);
    QCOMPARE(sms->rowid, smsId);
    QCOMPARE(sms->messages.size(), 3);
    QCOMPARE(sms->_last, 600000900); // the newer one raised it, the older left it
    QCOMPARE(imessage->_last, 600000700);
    QCOMPARE(imessage->messages.size(), 1);
    for (const _RecycleMessage &r : std::as_const(list)) {
        _MsgMessage *m = merged(b.store, r);
        QVERIFY(m);
        QVERIFY(m->isRecovered);
        QCOMPARE(m->srcRowid, -r.rowid);
        QCOMPARE(m->text, r.text);
        QCOMPARE(m->chat->messages.value(r.rowid), m);
    }
    QCOMPARE(merged(b.store, list.at(0))->chat, sms);
    QCOMPARE(merged(b.store, list.at(0))->handle, anna); // the chat's one member
    QCOMPARE(merged(b.store, list.at(2))->chat, imessage);
    QCOMPARE(merged(b.store, list.at(2))->handle, annaMail);
}

void TestRecycleMerge::serviceDecidesTheMap_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<bool>("iMessage");
    QTest::newRow("iMessage") << "iMessage" << true;
    QTest::newRow("upper case") << "IMESSAGE" << true;
    QTest::newRow("lower case") << "imessage" << true;
    QTest::newRow("SMS") << "SMS" << false;
    QTest::newRow("sms") << "sms" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("SMS and a blank") << "SMS " << false;
    QTest::newRow("iMessage and a blank") << "iMessage " << false;
}

void TestRecycleMerge::serviceDecidesTheMap()
{
    QFETCH(QString, service);
    QFETCH(bool, iMessage);
    MsgStoreBuilder b;
    _MsgChat *sms = b.chat({b.handle("bob@example.com")}, "SMS");
    _MsgChat *imessage = b.chat({b.handle("bob@example.com", "iMessage")}, "iMessage");
    QList<_RecycleMessage> list = {recycled(1, "bob@example.com", service, 5, 600000000),
                                   recycled(2, "bob@example.com", service, 5, 600000001)};
    MessageRecycleDb::mergeIntoStore(b.store, list);
    _MsgChat *expected = iMessage ? imessage : sms;
    QCOMPARE(merged(b.store, list.at(0))->chat, expected);
    QCOMPARE(merged(b.store, list.at(1))->chat, expected);
    QCOMPARE(b.store->chats.size(), 2);
}

void TestRecycleMerge::syntheticChats_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("accountGuid");
    QTest::addColumn<QString>("accountId");
    const QString guid = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
    QTest::newRow("SMS") << "SMS" << "" << "";
    QTest::newRow("iMessage with a guid") << "iMessage" << guid << guid;
    QTest::newRow("iMessage without one") << "iMessage" << "" << guidFromMd5(QByteArray());
    QTest::newRow("iMessage with a bad one") << "iMessage" << "E3A1C1F2_7B1D" << guidFromMd5("E3A1C1F2_7B1D");
}

void TestRecycleMerge::syntheticChats()
{
    QFETCH(QString, service);
    QFETCH(QString, accountGuid);
    QFETCH(QString, accountId);
    MsgStoreBuilder b;
    _MsgChat *real = b.chat({b.handle("+4915112345678")});
    const QString identifier = service == "SMS" ? "+4917099887766" : "carla@example.com";
    QList<_RecycleMessage> list = {recycled(1, identifier, service, 7, 600000300),
                                   recycled(2, identifier, service, 7, 600000200)};
    list[0].account_guid = accountGuid;
    MessageRecycleDb::mergeIntoStore(b.store, list);

    const qint64 id = RECYCLED_CHAT_ID_BASE - 7;
    _MsgChat *chat = b.store->chats.value(id);
    QVERIFY(chat);
    QVERIFY(chat != real);
    QCOMPARE(chat->rowid, id);
    QCOMPARE(chat->guid, QString("%1;-;%2").arg(service, identifier));
    QCOMPARE(chat->style, 45);
    QCOMPARE(chat->state, 3);
    QCOMPARE(chat->chat_identifier, identifier);
    QCOMPARE(chat->service_name, service);
    QCOMPARE(chat->account_login, service == "SMS" ? QString("E:") : list.at(0).account.str());
    QCOMPARE(chat->account_id, accountId);
    QCOMPARE(chat->_last, 600000300);
    QCOMPARE(chat->messages.size(), 2);
    QCOMPARE(chat->members.size(), 1);
    _MsgHandle *handle = b.store->handles.value(id);
    QVERIFY(handle);
    QCOMPARE(*chat->members.constBegin(), handle);
    QCOMPARE(handle->rowid, id);
    QCOMPARE(handle->id, identifier);
    QCOMPARE(handle->service, service);
    QCOMPARE(merged(b.store, list.at(1))->handle, handle);
}

void TestRecycleMerge::unknownConversation()
{
    MsgStoreBuilder b;
    QList<_RecycleMessage> list = {recycled(1, "", "iMessage", 12, 600000000),
                                   recycled(2, "", "SMS", 12, 600000100)};
    MessageRecycleDb::mergeIntoStore(b.store, list);
    QCOMPARE(b.store->chats.size(), 1); // whatever the service
    _MsgChat *chat = b.store->chats.value(UNKNOWN_CHAT_ID_BASE - 12);
    QVERIFY(chat);
    QCOMPARE(chat->chat_identifier, QString("unknown12"));
    QCOMPARE(chat->guid, QString("SMS;-;unknown12"));
    QCOMPARE(chat->service_name, QString("SMS"));
    QCOMPARE(chat->messages.size(), 2);
    QCOMPARE(merged(b.store, list.at(0))->handle, b.store->handles.value(UNKNOWN_CHAT_ID_BASE - 12));
    QCOMPARE(merged(b.store, list.at(0))->handle->id, QString("unknown12"));
}

void TestRecycleMerge::hostileHandleIds_data()
{
    QTest::addColumn<qint64>("handleId");
    QTest::addColumn<bool>("known");
    QTest::addColumn<qint64>("expectedId");
    const qint64 max = std::numeric_limits<qint64>::max();
    const qint64 min = std::numeric_limits<qint64>::min();
    // Each out-of-range handle_id counts down from the base, which is free.
    QTest::newRow("base itself, would give chat 1") << qint64(-1947483648) << true << RECYCLED_CHAT_ID_BASE;
    QTest::newRow("-1") << qint64(-1) << true << RECYCLED_CHAT_ID_BASE;
    QTest::newRow("largest") << max << true << RECYCLED_CHAT_ID_BASE;
    QTest::newRow("smallest") << min << true << RECYCLED_CHAT_ID_BASE;
    QTest::newRow("first past the upper range") << qint64(100000000) << true << RECYCLED_CHAT_ID_BASE;
    QTest::newRow("last inside the upper range") << qint64(99999999) << true << UNKNOWN_CHAT_ID_BASE + 1;
    QTest::newRow("unknown, base itself") << qint64(-2047483648) << false << UNKNOWN_CHAT_ID_BASE;
    QTest::newRow("unknown, largest") << max << false << UNKNOWN_CHAT_ID_BASE;
    QTest::newRow("unknown, smallest") << min << false << UNKNOWN_CHAT_ID_BASE;
    QTest::newRow("unknown, lowest id") << max + UNKNOWN_CHAT_ID_BASE + 1 << false << min;
    QTest::newRow("unknown, one below the lowest") << max + UNKNOWN_CHAT_ID_BASE + 2 << false << UNKNOWN_CHAT_ID_BASE;
}

void TestRecycleMerge::hostileHandleIds()
{
    QFETCH(qint64, handleId);
    QFETCH(bool, known);
    QFETCH(qint64, expectedId);
    MsgStoreBuilder b;
    _MsgHandle *anna = b.handle("+4915112345678");
    _MsgChat *real = b.chat({anna});
    b.message(real, anna, "live", 600000000);
    QCOMPARE(real->rowid, qint64(1));
    const QString before = chatPrint(real);

    QList<_RecycleMessage> list = {recycled(1, known ? "+4917011112222" : "", "SMS", handleId, 600000100)};
    MessageRecycleDb::mergeIntoStore(b.store, list);

    QCOMPARE(b.store->chats.value(1), real);
    QCOMPARE(b.store->handles.value(1), anna);
    QCOMPARE(chatPrint(real), before);
    QCOMPARE(anna->id, QString("+4915112345678"));
    QCOMPARE(b.store->chats.size(), 2);
    QCOMPARE(b.store->handles.size(), 2);
    _MsgMessage *m = merged(b.store, list.at(0));
    QVERIFY(m->chat != real);
    QCOMPARE(m->chat->rowid, expectedId);
    QCOMPARE(b.store->chats.value(expectedId), m->chat);
    if (known)
        QVERIFY(m->chat->rowid > UNKNOWN_CHAT_ID_BASE && m->chat->rowid <= RECYCLED_CHAT_ID_BASE);
    else
        QVERIFY(m->chat->rowid <= UNKNOWN_CHAT_ID_BASE);
}

void TestRecycleMerge::sharedHandleIdsStayDistinct()
{
    // iOS 5 rows all carry handle_id 0: each conversation still gets a chat
    // of its own, and a conversation met twice keeps its one chat.
    MsgStoreBuilder b;
    QList<_RecycleMessage> list = {recycled(1, "+4915100000001", "SMS", 0, 600000001),
                                   recycled(2, "+4915100000002", "SMS", 0, 600000002),
                                   recycled(3, "dora@example.com", "iMessage", 0, 600000003),
                                   recycled(4, "+4915100000001", "SMS", 0, 600000004),
                                   recycled(5, "", "SMS", 0, 600000005),
                                   recycled(6, "", "SMS", 0, 600000006)};
    MessageRecycleDb::mergeIntoStore(b.store, list);
    QCOMPARE(b.store->chats.size(), 4);
    QCOMPARE(b.store->handles.size(), 4);
    QCOMPARE(merged(b.store, list.at(0))->chat->rowid, RECYCLED_CHAT_ID_BASE);
    QCOMPARE(merged(b.store, list.at(1))->chat->rowid, RECYCLED_CHAT_ID_BASE - 1);
    QCOMPARE(merged(b.store, list.at(2))->chat->rowid, RECYCLED_CHAT_ID_BASE - 2);
    QCOMPARE(merged(b.store, list.at(3))->chat, merged(b.store, list.at(0))->chat);
    QCOMPARE(merged(b.store, list.at(4))->chat->rowid, UNKNOWN_CHAT_ID_BASE);
    QCOMPARE(merged(b.store, list.at(5))->chat, merged(b.store, list.at(4))->chat);
    for (int i = 0; i < 3; ++i) {
        const _MsgChat *chat = merged(b.store, list.at(i))->chat;
        QCOMPARE(chat->chat_identifier, list.at(i).chat_identifier);
        QCOMPARE(b.store->handles.value(chat->rowid)->id, list.at(i).chat_identifier);
    }
}

void TestRecycleMerge::takenIdsAreSkipped()
{
    // A synthetic chat of an earlier merge holds the preferred id, and a
    // handle of the store holds the next: the new chat takes the one after.
    MsgStoreBuilder b;
    QList<_RecycleMessage> first = {recycled(1, "+4915100000001", "SMS", 3, 600000001)};
    MessageRecycleDb::mergeIntoStore(b.store, first);
    _MsgChat *earlier = b.store->chats.value(RECYCLED_CHAT_ID_BASE - 3);
    QVERIFY(earlier);
    auto *stray = new _MsgHandle;
    stray->rowid = RECYCLED_CHAT_ID_BASE;
    b.store->handles.insert(stray->rowid, stray);

    QList<_RecycleMessage> second = {recycled(2, "+4915100000002", "SMS", 3, 600000002)};
    MessageRecycleDb::mergeIntoStore(b.store, second);
    QCOMPARE(b.store->chats.value(RECYCLED_CHAT_ID_BASE - 3), earlier);
    QCOMPARE(earlier->chat_identifier, QString("+4915100000001"));
    QCOMPARE(earlier->messages.size(), 1);
    QCOMPARE(b.store->handles.value(RECYCLED_CHAT_ID_BASE), stray);
    QCOMPARE(merged(b.store, second.at(0))->chat->rowid, RECYCLED_CHAT_ID_BASE - 1);
}

void TestRecycleMerge::secondMergeAddsNothing()
{
    MsgStoreBuilder b;
    _MsgChat *real = b.chat({b.handle("+4915112345678")});
    QList<_RecycleMessage> list = {recycled(1, real->chat_identifier, "SMS", 1, 600000100),
                                   recycled(2, "+4917011112222", "SMS", 9, 600000200),
                                   recycled(3, "", "SMS", 4, 600000300),
                                   recycled(4, "erik@example.com", "iMessage", 0, 600000400)};
    MessageRecycleDb::mergeIntoStore(b.store, list);
    QStringList before;
    for (const _MsgChat *c : std::as_const(b.store->chats))
        before << chatPrint(c);
    before.sort();
    const int messages = b.store->messages.size();
    const int handles = b.store->handles.size();

    MessageRecycleDb::mergeIntoStore(b.store, list);
    QStringList after;
    for (const _MsgChat *c : std::as_const(b.store->chats))
        after << chatPrint(c);
    after.sort();
    QCOMPARE(after, before);
    QCOMPARE(b.store->messages.size(), messages);
    QCOMPARE(b.store->handles.size(), handles);
}

void TestRecycleMerge::rowidAlreadyInStore()
{
    MsgStoreBuilder b;
    _MsgHandle *anna = b.handle("+4915112345678");
    _MsgChat *chat = b.chat({anna});
    _MsgMessage *live = b.message(chat, anna, "already here", 600000000);
    const _RecycleMessage r = recycled(1, "+4917011112222", "SMS", 2, 600009999);
    // The store holds another record under the recovered message's rowid.
    b.store->messages.remove(live->rowid);
    chat->messages.remove(live->rowid);
    live->rowid = r.rowid;
    b.store->messages.insert(live->rowid, live);
    chat->messages.insert(live->rowid, live);
    const QString before = chatPrint(chat);

    QList<_RecycleMessage> list = {r};
    MessageRecycleDb::mergeIntoStore(b.store, list);
    QCOMPARE(b.store->messages.value(r.rowid), live);
    QCOMPARE(live->text, QString("already here"));
    QCOMPARE(live->chat, chat);
    QCOMPARE(chatPrint(chat), before);
    QCOMPARE(b.store->chats.size(), 1);
}

void TestRecycleMerge::groupSenderByAddress()
{
    // The members are keyed by rowid text, as the readers key them; the
    // stored address picks the sender, whatever order the hash walks in.
    for (int round = 0; round < 6; ++round) {
        QHashSeed::resetRandomGlobalSeed();
        MsgStoreBuilder b;
        QList<_MsgHandle *> members;
        for (int i = 0; i < 5; ++i)
            members << b.handle(QString("+49151000000%1").arg(i));
        _MsgChat *group = b.chat(members);
        QList<_RecycleMessage> list;
        for (int i = 0; i < 5; ++i)
            list << recycled(i + 1, group->chat_identifier, "SMS", members.at(i)->rowid, 600000000 + i,
                             members.at(i)->id);
        list << recycled(9, group->chat_identifier, "SMS", 77, 600000009, "+4930999999"); // no member
        MessageRecycleDb::mergeIntoStore(b.store, list);
        for (int i = 0; i < 5; ++i) {
            _MsgMessage *m = merged(b.store, list.at(i));
            QCOMPARE(m->chat, group);
            QCOMPARE(m->handle, members.at(i));
        }
        QCOMPARE(merged(b.store, list.at(5))->handle, nullptr);
    }
}

void TestRecycleMerge::sameIdentifierTwice()
{
    // Two chats of the store share an identifier: the one with the smaller
    // rowid takes the message, in every hash order.
    for (int round = 0; round < 6; ++round) {
        QHashSeed::resetRandomGlobalSeed();
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4915112345678");
        QList<_MsgChat *> chats;
        for (qint64 rowid : {9, 3, 14, 5})
            chats << b.chat({h}, "SMS", rowid);
        QList<_RecycleMessage> list = {recycled(1, h->id, "SMS", h->rowid, 600000000)};
        MessageRecycleDb::mergeIntoStore(b.store, list);
        QCOMPARE(merged(b.store, list.at(0))->chat->rowid, qint64(3));
    }
}

void TestRecycleMerge::addSyntheticSmsChatNeverReplaces()
{
    MsgStoreBuilder b;
    _MsgHandle *h = b.handle("+4915112345678");
    _MsgChat *chat = b.chat({h}, "SMS", 5);
    QCOMPARE(MessageRecycleDb::addSyntheticSmsChat(b.store, 5, "x"), nullptr);
    QCOMPARE(b.store->chats.value(5), chat);
    QCOMPARE(MessageRecycleDb::addSyntheticSmsChat(b.store, h->rowid, "y"), nullptr); // a handle holds it
    QCOMPARE(b.store->handles.value(h->rowid), h);
    QCOMPARE(b.store->chats.size(), 1);

    _MsgChat *made = MessageRecycleDb::addSyntheticSmsChat(b.store, UNKNOWN_CHAT_ID_BASE - 1, "unknown1");
    QVERIFY(made);
    QCOMPARE(b.store->chats.value(UNKNOWN_CHAT_ID_BASE - 1), made);
    QCOMPARE(made->guid, QString("SMS;-;unknown1"));
    QCOMPARE(made->account_login, QString("E:"));
    QCOMPARE(made->members.size(), 1);
    QCOMPARE(b.store->handles.value(UNKNOWN_CHAT_ID_BASE - 1)->id, QString("unknown1"));
}

QP_TEST_MAIN(TestRecycleMerge)

} // namespace tst_recyclemerge

#include "tst_recyclemerge.moc"
