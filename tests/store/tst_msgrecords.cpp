#include "tests/support/testmain.h"

#include "store/msgrecords.h"

#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

namespace tst_msgrecords {

namespace {

_MsgMessage msg(qint64 srcRowid, int date)
{
    _MsgMessage m;
    m.srcRowid = srcRowid;
    m.date = date;
    return m;
}

template <typename T>
QSet<T> toSet(const QList<T> &list)
{
    return QSet<T>(list.begin(), list.end());
}

} // namespace

class TestMsgRecords : public QObject
{
    Q_OBJECT

private slots:
    void startValues();

    void messageOrder_data();
    void messageOrder();
    void messageOrderCycle();
    void sortKeepsEqualMessagesInInputOrder();

    void sessionOrderIsStrict();
    void attachmentOrder();

    void chatSessions();
    void chatSessionsEmptyIdentifier();
    void isGroup_data();
    void isGroup();
    void messagesOfChats();

    void storeDeletesSharedRecordsOnce();
    void newMsgStoreReleasesOnlyTheLastHolder();

    void rareColumnsBelongToEachCopy();
};

// The start values are what writers put into rows nobody filled in.
void TestMsgRecords::startValues()
{
    const _MsgMessage m;
    QCOMPARE(m.version, 10);
    QCOMPARE(m.other_handle, -1);
    QCOMPARE(m.item_type, 0);
    QVERIFY(!m.isRecovered);
    QVERIFY(!m.handle && !m.chat && !m.rare().otherHandle);

    const _MsgChat c;
    QCOMPARE(c.style, 45);
    QCOMPARE(c.state, 3);
    QCOMPARE(c.service_name, QStringLiteral("SMS"));
    QCOMPARE(c.account_login, QStringLiteral("E:"));

    const _MsgHandle h;
    QCOMPARE(h.service, QStringLiteral("SMS"));

    const _MsgAttachment a;
    QCOMPARE(a.transfer_state, 5);
    QCOMPARE(a.total_bytes, qint64(0));
}

void TestMsgRecords::messageOrder_data()
{
    QTest::addColumn<qint64>("srcA");
    QTest::addColumn<int>("dateA");
    QTest::addColumn<qint64>("srcB");
    QTest::addColumn<int>("dateB");
    QTest::addColumn<bool>("aBeforeB"); // messageLessThan(a, b)
    QTest::addColumn<bool>("bBeforeA"); // messageLessThan(b, a)

    QTest::newRow("equal items") << qint64(5) << 100 << qint64(5) << 100 << false << false;
    QTest::newRow("close: rowid wins over date") << qint64(3) << 1100 << qint64(5) << 1000 << true << false;
    QTest::newRow("dates 200 s apart: by date") << qint64(3) << 1200 << qint64(5) << 1000 << false << true;
    QTest::newRow("rowids 20 apart: still by rowid") << qint64(0) << 1100 << qint64(20) << 1000 << true << false;
    QTest::newRow("rowids 21 apart: by date") << qint64(0) << 1100 << qint64(21) << 1000 << false << true;
    QTest::newRow("dates 120 s apart: by rowid") << qint64(1) << 1120 << qint64(2) << 1000 << true << false;
    QTest::newRow("dates 121 s apart: by date") << qint64(1) << 1121 << qint64(2) << 1000 << false << true;
    QTest::newRow("21 apart, equal dates: unordered") << qint64(0) << 500 << qint64(21) << 500 << false << false;
    QTest::newRow("same rowid, dates close") << qint64(7) << 10 << qint64(7) << 20 << false << false;
    QTest::newRow("negative rowids") << qint64(-30) << 10 << qint64(-5) << 20 << true << false;
    QTest::newRow("rowids at 64-bit extremes")
        << qint64(LLONG_MAX) << 1 << qint64(LLONG_MIN) << 2 << true << false;
    QTest::newRow("dates at 32-bit extremes")
        << qint64(1) << INT_MAX << qint64(2) << INT_MIN << false << true;
}

void TestMsgRecords::messageOrder()
{
    QFETCH(qint64, srcA);
    QFETCH(int, dateA);
    QFETCH(qint64, srcB);
    QFETCH(int, dateB);
    QFETCH(bool, aBeforeB);
    QFETCH(bool, bBeforeA);

    const _MsgMessage a = msg(srcA, dateA);
    const _MsgMessage b = msg(srcB, dateB);
    QCOMPARE(messageLessThan(&a, &b), aBeforeB);
    QCOMPARE(messageLessThan(&b, &a), bBeforeA);
    // Newest first is the same order reversed; equal items stay unordered.
    QCOMPARE(messageGreaterThan(&a, &b), bBeforeA);
    QCOMPARE(messageGreaterThan(&b, &a), aBeforeB);
    QVERIFY(!messageLessThan(&a, &a));
    QVERIFY(!messageGreaterThan(&a, &a));
}

// a < b and b < c by rowid, c < a by date: the order is not transitive.
void TestMsgRecords::messageOrderCycle()
{
    const _MsgMessage a = msg(0, 100);
    const _MsgMessage b = msg(15, 0);
    const _MsgMessage c = msg(30, 50);
    QVERIFY(messageLessThan(&a, &b));
    QVERIFY(messageLessThan(&b, &c));
    QVERIFY(messageLessThan(&c, &a));
    QVERIFY(messageGreaterThan(&b, &a));
    QVERIFY(messageGreaterThan(&c, &b));
    QVERIFY(messageGreaterThan(&a, &c));
}

// With rowids far apart the order is by date alone, a strict weak order: equal
// dates keep their input order in both directions.
void TestMsgRecords::sortKeepsEqualMessagesInInputOrder()
{
    QRandomGenerator rng(99);
    std::vector<std::unique_ptr<_MsgMessage>> owner;
    QList<_MsgMessage *> input;
    for (int i = 0; i < 2000; ++i) {
        owner.push_back(std::make_unique<_MsgMessage>(msg(qint64(i) * 100, int(rng.bounded(20)))));
        input.append(owner.back().get());
    }
    for (bool newestFirst : {false, true}) {
        QList<_MsgMessage *> list = input;
        std::stable_sort(list.begin(), list.end(),
                         newestFirst ? messageGreaterThan : messageLessThan);
        for (int i = 1; i < list.size(); ++i) {
            const _MsgMessage *p = list.at(i - 1);
            const _MsgMessage *q = list.at(i);
            if (p->date == q->date)
                QVERIFY2(p->srcRowid < q->srcRowid, "equal dates lost their input order");
            else
                QCOMPARE(p->date < q->date, !newestFirst);
        }
    }
}

void TestMsgRecords::sessionOrderIsStrict()
{
    _ChatSession older, newer, alsoNewer;
    older.last = 10;
    newer.last = 20;
    alsoNewer.last = 20;
    QVERIFY(sessionNewerThan(newer, older));
    QVERIFY(!sessionNewerThan(older, newer));
    QVERIFY(!sessionNewerThan(newer, alsoNewer));
    QVERIFY(!sessionNewerThan(newer, newer));

    _MsgChat chats[4];
    QList<_ChatSession> list;
    const int lasts[4] = {5, 20, 5, 20};
    for (int i = 0; i < 4; ++i) {
        _ChatSession s;
        s.last = lasts[i];
        s.chats << &chats[i];
        list << s;
    }
    std::stable_sort(list.begin(), list.end(), sessionNewerThan);
    QCOMPARE(list.at(0).chats.first(), &chats[1]);
    QCOMPARE(list.at(1).chats.first(), &chats[3]);
    QCOMPARE(list.at(2).chats.first(), &chats[0]);
    QCOMPARE(list.at(3).chats.first(), &chats[2]);
}

void TestMsgRecords::attachmentOrder()
{
    _MsgAttachment a[4];
    const qint64 rowids[4] = {300, -2, 7, qint64(1) << 40};
    _MsgMessage m;
    for (int i = 0; i < 4; ++i) {
        a[i].rowid = rowids[i];
        m.attachments.insert(QString::number(rowids[i]), &a[i]);
    }
    const QList<_MsgAttachment *> sorted = sortedAttachments(m);
    QCOMPARE(sorted.size(), 4);
    QCOMPARE(sorted.at(0), &a[1]);
    QCOMPARE(sorted.at(1), &a[2]);
    QCOMPARE(sorted.at(2), &a[0]);
    QCOMPARE(sorted.at(3), &a[3]);
    QVERIFY(!attachmentLessThan(&a[0], &a[0]));
    QVERIFY(sortedAttachments(_MsgMessage()).isEmpty());
}

void TestMsgRecords::chatSessions()
{
    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    auto addChat = [&](qint64 rowid, const QString &identifier, const QString &service, int last) {
        auto *c = new _MsgChat;
        c->rowid = rowid;
        c->chat_identifier = identifier;
        c->service_name = service;
        c->_last = last;
        store->chats.insert(rowid, c);
        return c;
    };
    _MsgChat *sms = addChat(1, "+4915112345678", "SMS", 500);
    _MsgChat *imessage = addChat(2, "+4915112345678", "iMessage", 900);
    _MsgChat *group = addChat(3, "chat144753723611898180", "SMS", 700);
    group->style = 43;
    // Identifiers compare exactly: a different spelling is another conversation.
    _MsgChat *other = addChat(4, "+49151 12345678", "SMS", 100);

    const QList<_ChatSession> sessions = ::chatSessions(store);
    QCOMPARE(sessions.size(), 3);
    QSet<QString> seen;
    for (const _ChatSession &s : sessions) {
        const QString id = s.chats.first()->chat_identifier;
        seen << id;
        if (id == sms->chat_identifier) {
            QCOMPARE(toSet(s.chats), (QSet<_MsgChat *>{sms, imessage}));
            QCOMPARE(s.last, 900);
        } else if (id == group->chat_identifier) {
            QCOMPARE(s.chats, QList<_MsgChat *>{group});
            QCOMPARE(s.last, 700);
        } else {
            QCOMPARE(s.chats, QList<_MsgChat *>{other});
            QCOMPARE(s.last, 100);
        }
    }
    QCOMPARE(seen.size(), 3);
    QCOMPARE(toSet(allChats(store)), (QSet<_MsgChat *>{sms, imessage, group, other}));
    QVERIFY(::chatSessions(QSharedPointer<_MsgStore>()).isEmpty());
}

void TestMsgRecords::chatSessionsEmptyIdentifier()
{
    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    for (qint64 i = 1; i <= 3; ++i) {
        auto *c = new _MsgChat;
        c->rowid = i;
        c->_last = int(i) * -10; // all negative: the first chat's value must survive
        store->chats.insert(i, c);
    }
    const QList<_ChatSession> sessions = ::chatSessions(store);
    QCOMPARE(sessions.size(), 1);
    QCOMPARE(sessions.first().chats.size(), 3);
    QCOMPARE(sessions.first().last, -10);
}

void TestMsgRecords::isGroup_data()
{
    QTest::addColumn<int>("members");
    QTest::addColumn<bool>("group");
    QTest::newRow("no members") << 0 << false;
    QTest::newRow("one member") << 1 << false;
    QTest::newRow("two members") << 2 << true;
}

void TestMsgRecords::isGroup()
{
    QFETCH(int, members);
    QFETCH(bool, group);
    _MsgHandle handles[2];
    _MsgChat chat;
    for (int i = 0; i < members; ++i)
        chat.members.insert(QString::number(i + 1), &handles[i]);
    QCOMPARE(chat.isGroup(), group);
}

void TestMsgRecords::messagesOfChats()
{
    _MsgMessage m[5];
    _MsgChat first, second, empty;
    first.messages.insert(1, &m[0]);
    first.messages.insert(2, &m[1]);
    second.messages.insert(3, &m[2]);
    second.messages.insert(4, &m[3]);
    second.messages.insert(5, &m[4]);

    const QList<_MsgMessage *> list = ::messagesOfChats({&second, &empty, &first});
    QCOMPARE(list.size(), 5);
    // Chat by chat, in the order of the list given.
    QCOMPARE(toSet(list.mid(0, 3)), (QSet<_MsgMessage *>{&m[2], &m[3], &m[4]}));
    QCOMPARE(toSet(list.mid(3)), (QSet<_MsgMessage *>{&m[0], &m[1]}));
}

// One handle is a member of several chats and the sender of many messages.
// Everything is deleted exactly once (ASan reports a second delete or a use
// after free).
void TestMsgRecords::storeDeletesSharedRecordsOnce()
{
    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    auto *me = new _MsgHandle;
    me->rowid = 1;
    store->handles.insert(1, me);
    auto *friendHandle = new _MsgHandle;
    friendHandle->rowid = 2;
    store->handles.insert(2, friendHandle);
    qint64 nextMessage = 1;
    for (qint64 c = 1; c <= 3; ++c) {
        auto *chat = new _MsgChat;
        chat->rowid = c;
        chat->members.insert("1", me);
        chat->members.insert("2", friendHandle);
        store->chats.insert(c, chat);
        for (int i = 0; i < 50; ++i) {
            auto *m = new _MsgMessage;
            m->rowid = nextMessage++;
            m->handle = me;
            m->editRare().otherHandle = friendHandle;
            m->chat = chat;
            auto *a = new _MsgAttachment;
            a->rowid = m->rowid;
            m->attachments.insert(QString::number(a->rowid), a);
            store->attachments.insert(a->rowid, a);
            chat->messages.insert(m->rowid, m);
            store->messages.insert(m->rowid, m);
        }
    }
    QCOMPARE(allMessages(store).size(), 150);
    QCOMPARE(storeOf(store), store.data());
    store.reset();
    QVERIFY(store.isNull());
}

void TestMsgRecords::newMsgStoreReleasesOnlyTheLastHolder()
{
    QSharedPointer<_MsgStore> node;
    newMsgStore(node);
    QVERIFY(node && node->chats.isEmpty() && node->messages.isEmpty());
    node->handles.insert(1, new _MsgHandle);

    // A worker holds a copy: renewing the node's store must not free it.
    QSharedPointer<_MsgStore> worker = node;
    const QWeakPointer<_MsgStore> watch = node;
    newMsgStore(node);
    QVERIFY(node != worker);
    QVERIFY(!watch.isNull());
    QCOMPARE(worker->handles.size(), 1);

    worker.reset();
    QVERIFY(watch.isNull());
}

// A copy of a message (a renamed duplicate, a carved row) shares the block of
// rare columns until one side writes; the other keeps its own values.
void TestMsgRecords::rareColumnsBelongToEachCopy()
{
    _MsgMessage a;
    QVERIFY(a.rare().isDefault());
    QVERIFY(a.rare().subject.isNull());
    a.editRare().group_title = QStringLiteral("Trip");
    a.editRare().share_status = 1;
    _MsgMessage b = a;
    b.editRare().attributedBody = QByteArray("streamtyped", 11);
    b.editRare().share_status = 0;
    QCOMPARE(a.rare().share_status, 1);
    QVERIFY(a.rare().attributedBody.isNull());
    QCOMPARE(b.rare().group_title.str(), QStringLiteral("Trip"));
    QCOMPARE(b.rare().share_status, 0);

    // A reader's gathered values: defaults leave no block, anything else is kept
    // as given (an empty subject is not a missing one).
    _MsgMessageRare gathered;
    b.setRare(gathered);
    QVERIFY(b.rare().isDefault());
    gathered.subject = QStringLiteral("");
    b.setRare(gathered);
    QVERIFY(!b.rare().subject.isNull());
    QVERIFY(b.rare().subject.isEmpty());
    QCOMPARE(a.rare().group_title.str(), QStringLiteral("Trip"));
}

QP_TEST_MAIN(TestMsgRecords)

} // namespace tst_msgrecords

#include "tst_msgrecords.moc"
