#include "app/datafolder.h"
#include "app/progressform.h"
#include "recovery/sqlite3file.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "tests/support/attributedbodyfixture.h"
#include "tests/support/countryfixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/rawdbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <QHashSeed>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>

namespace tst_ios6recovery {

using namespace testsupport;

namespace {

const char kGermany[] = "262";
const QString kRoom = "chat612387612387612387";

// A phone as users have them: an SMS conversation with a German number, an
// iMessage one with an e-mail address, and a group of three whose numbers
// the phone keeps as they were typed (a national German number, an Indian
// one without its code). Sent messages of a one-to-one chat name its
// correspondent in handle_id, as the phone does; those of the group name
// nobody. Every text names its rowid and most carry an emoji.
MsgFixtureContent phoneContent(int messageCount)
{
    MsgFixtureContent c;
    const QList<std::tuple<QString, QString, QString>> handles = {
        {"+4915112345671", "de", "SMS"},
        {"carla@example.com", "", "iMessage"},
        {"01761234567", "de", "SMS"},
        {"9812345678", "in", "SMS"},
        {"+4915299887766", "de", "SMS"}};
    for (int i = 0; i < handles.size(); ++i) {
        MsgFixtureHandle h;
        h.rowid = i + 1;
        std::tie(h.id, h.country, h.service) = handles.at(i);
        h.uncanonicalizedId = h.id;
        c.handles << h;
    }
    MsgFixtureChat one;
    one.rowid = 1;
    one.identifier = "+4915112345671";
    one.guid = "SMS;-;+4915112345671";
    one.handles = {1};
    MsgFixtureChat mail;
    mail.rowid = 2;
    mail.identifier = "carla@example.com";
    mail.guid = "iMessage;-;carla@example.com";
    mail.service = "iMessage";
    mail.accountLogin = "E:me@example.com";
    mail.handles = {2};
    MsgFixtureChat group;
    group.rowid = 3;
    group.style = 43;
    group.identifier = kRoom;
    group.roomName = kRoom;
    group.guid = "SMS;+;" + kRoom;
    group.handles = {3, 4, 5};
    c.chats = {one, mail, group};

    for (int n = 1; n <= messageCount; ++n) {
        MsgFixtureMessage m;
        m.rowid = n;
        m.guid = QString("5EED0001-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0'));
        const MsgFixtureChat &chat = c.chats.at((n - 1) % 3);
        m.chats = {chat.rowid};
        m.service = chat.service;
        m.account = chat.service == "SMS" ? "e:" : "e:me@example.com";
        m.accountGuid = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
        m.isFromMe = (n / 3) % 2;
        if (chat.rowid == 3) {
            m.handleId = m.isFromMe ? 0 : chat.handles.at((n / 6) % 3);
            m.cacheRoomnames = kRoom;
        } else {
            m.handleId = chat.handles.first();
        }
        m.date = 600000000 + n * 60;
        m.dateRead = m.date + 5;
        m.dateDelivered = m.isFromMe ? m.date + 1 : 0;
        m.isSent = m.isFromMe;
        m.text = rowidText(n, n % 4 ? QString::fromUtf8("Bis gleich \xF0\x9F\x98\x8A, sagt %1").arg(n)
                                    : QString::fromUtf8("Grüße aus Köln"));
        c.messages << m;
    }
    return c;
}

// The correspondent's address as the recovery normalises it (Germany the
// default country).
QString normalised(const MsgFixtureHandle &h)
{
    static const QHash<QString, QString> forms = {{"01761234567", "+491761234567"},
                                                  {"9812345678", "+919812345678"}};
    return forms.value(h.id, h.id);
}

// The phone after the user deleted the conversations with handles 5 and 6
// whole (chat, correspondent, messages 31 to 34) and one message (2) of
// another; the conversation with handle 7 stays. Handles are freed 6 first,
// then 5: 6 lies just below 5 on its page and gets a freeblock header over
// its rowid, and 5 joins that freeblock with its own rowid unharmed.
MsgFixtureContent deletedConversations()
{
    MsgFixtureContent c = phoneContent(30);
    c.chats[2].handles = {3, 4};
    for (MsgFixtureMessage &m : c.messages)
        if (m.handleId == 5)
            m.handleId = 3;
    for (qint64 n : {6, 7}) {
        MsgFixtureHandle h;
        h.rowid = n;
        h.id = QString("+49157000000%1").arg(n);
        h.country = "de";
        c.handles << h;
    }
    for (qint64 handle : {5, 6, 7}) {
        MsgFixtureChat chat;
        chat.rowid = handle - 1;
        chat.identifier = c.handles.at(int(handle) - 1).id;
        chat.guid = "SMS;-;" + chat.identifier;
        chat.handles = {handle};
        c.chats << chat;
    }
    for (qint64 n = 31; n <= 36; ++n) {
        MsgFixtureMessage m = c.messages.first();
        m.rowid = n;
        m.guid = QString("5EED0001-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0'));
        m.text = rowidText(n, QString::fromUtf8("aus einem Gespräch, das es nicht mehr gibt"));
        m.handleId = 5 + (n - 31) / 2;
        m.chats = {m.handleId - 1};
        m.isFromMe = int(n % 2);
        m.isSent = m.isFromMe;
        m.date = 600005000 + int(n);
        m.dateRead = m.date + 5;
        m.dateDelivered = m.isFromMe ? m.date + 1 : 0;
        c.messages << m;
    }
    return c;
}

void deleteConversations(const QString &path)
{
    deleteRows(path, "chat", {4, 5}, DeleteMode::OneByOne);
    deleteRows(path, "handle", {6, 5}, DeleteMode::OneByOne);
    deleteRows(path, "message", {31, 32, 33, 34, 2}, DeleteMode::OneByOne);
}

QHash<QString, MsgFixtureMessage> byGuid(const MsgFixtureContent &c)
{
    QHash<QString, MsgFixtureMessage> map;
    for (const MsgFixtureMessage &m : c.messages)
        map.insert(m.guid, m);
    return map;
}

// Every column the recovery stores that the fixture wrote.
void compareExact(const _RecycleMessage &r, const MsgFixtureMessage &m)
{
    QCOMPARE(r.guid, m.guid);
    QCOMPARE(r.text, m.text);
    QCOMPARE(r.date, m.date);
    QCOMPARE(r.date_read, m.dateRead);
    QCOMPARE(r.date_delivered, m.dateDelivered);
    QCOMPARE(r.is_from_me, m.isFromMe);
    QCOMPARE(r.is_sent, m.isSent);
    QCOMPARE(r.handle_id, m.handleId);
    QCOMPARE(r.service, m.service);
    QCOMPARE(r.account, m.account);
    QCOMPARE(r.account_guid, m.accountGuid);
    QCOMPARE(r.cache_roomnames, m.cacheRoomnames);
    QCOMPARE(r.is_finished, m.isFinished);
    QCOMPARE(r.is_read, m.isRead);
}

// The rowid each text names ("msg <rowid>: ..."), -1 for any other text.
qint64 namedRowid(const QString &text)
{
    if (!text.startsWith("msg "))
        return -1;
    bool ok = false;
    const qint64 n = text.mid(4, text.indexOf(':') - 4).toLongLong(&ok);
    return ok ? n : -1;
}

QList<qint64> range(qint64 first, qint64 last, qint64 step = 1)
{
    QList<qint64> list;
    for (qint64 n = first; n <= last; n += step)
        list << n;
    return list;
}

// Percentages posted through a form, from its bar.
class ProgressRecorder
{
public:
    ProgressRecorder() : form("", nullptr), spy(form.widgets()->progressBar, &QProgressBar::valueChanged)
    {
        form.widgets()->progressBar->setValue(0);
        spy.clear();
    }
    QList<int> values() const
    {
        QList<int> list;
        for (const QList<QVariant> &call : spy)
            list << call.at(0).toInt();
        return list;
    }
    ProgressForm form;
    QSignalSpy spy;
};

// A message row of the 51 columns as the carver hands it over: a received
// SMS of a later phone (dates in seconds).
QList<QVariant> messageRow()
{
    QList<QVariant> v(51);
    v[1] = "0C3B7A21-5D4E-4F60-8A9B-000000000417";
    v[2] = QString::fromUtf8("Bis gleich \xF0\x9F\x98\x8A");
    v[3] = 0;
    v[5] = 3;   // handle_id
    v[9] = 10;  // version
    v[10] = 0;  // type
    v[11] = "SMS";
    v[12] = "e:";
    v[13] = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
    v[14] = 0;
    v[15] = 600000000;
    v[16] = 600000030;
    v[17] = 0;
    for (int i = 18; i <= 34; ++i)
        v[i] = 0;
    v[19] = 1; // is_finished
    v[26] = 1; // is_read
    v[35] = QVariant();
    v[36] = 1;
    v[37] = 0;
    for (int i = 38; i <= 50; ++i)
        v[i] = 0;
    v[42] = -1; // other_handle
    return v;
}

using Patch = QList<std::pair<int, QVariant>>;

} // namespace

class TestIos6Recovery : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void handleFilterAndConversion_data();
    void handleFilterAndConversion();
    void messageFilterAndConversion_data();
    void messageFilterAndConversion();

    void deletedOneByOne_data();
    void deletedOneByOne();
    void bulkDelete_data();
    void bulkDelete();
    void liveGuids();
    void rowsOnlyInTheLog();
    void noMessageTable();
    void loopingTrunkChain();
    void laterPhoneFreedPages();
    void handleCountries();
    void itemTypes();
    void deletedHandleKeptItsRowid();
    void secondRunAddsNothing();

    void progress_data();
    void progress();
    void cancelledFromTheStart();
    void failureRollsBack();

    void groupSenderUnderSeeds();
    void endToEnd();

private:
    QDir cache() const { return QDir(m_dir->path()); }
    QString dbPath() const { return messageDbPath(m_dir->path()); }
    QString recyclePath() const { return IOS6MessageDb::recyclePath(cache()); }
    std::unique_ptr<IOS6MessageDb> phone() const
    {
        return std::make_unique<IOS6MessageDb>(cache(), kGermany, false);
    }
    // Handles, then messages with the chats the database holds now.
    void recover(IOS6MessageDb &db, ProgressForm *form = nullptr)
    {
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        db.recoverDeletedHandles(form);
        db.recoverDeletedMessages(allChats(store), form);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestIos6Recovery::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
}

void TestIos6Recovery::handleFilterAndConversion_data()
{
    QTest::addColumn<QList<QVariant>>("values");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("id"); // empty: no conversion
    const auto row = [](const QVariant &id, const QVariant &country, const QVariant &service) {
        return QList<QVariant>({QVariant(), id, country, service, QString("typed")});
    };
    QTest::newRow("SMS") << row("+4915112345671", "de", "SMS") << false << true << "+4915112345671";
    QTest::newRow("sms") << row("0151 12345671", "de", "sms") << false << true << "+4915112345671";
    QTest::newRow("IMESSAGE") << row("Dora@Example.com", QVariant(), "IMESSAGE") << false << true
                              << "dora@example.com";
    QTest::newRow("no country: the default") << row("0170 1234567", QVariant(), "SMS") << false << true
                                             << "+491701234567";
    QTest::newRow("unknown country") << row("0170 1234567", "zz", "SMS") << false << true << "";
    QTest::newRow("MMS") << row("0170 1234567", "de", "MMS") << false << false << "";
    QTest::newRow("cut") << row("+4915112345671", "de", "SMS") << true << false << "+4915112345671";
    QTest::newRow("4 values") << row("+4915112345671", "de", "SMS").mid(0, 4) << false << false << "";
}

void TestIos6Recovery::handleFilterAndConversion()
{
    QFETCH(QList<QVariant>, values);
    QFETCH(bool, cut);
    QFETCH(bool, passes);
    QFETCH(QString, id);
    _SqliteCarvedRow row;
    row.rowid = 12;
    row.values = values;
    row.cut = cut;
    QCOMPARE(IOS6MessageDb::filterCarvedHandle(&row), passes);
    _MsgHandle h;
    auto db = phone();
    QCOMPARE(db->carvedRowToHandle(row, &h), !id.isEmpty());
    if (id.isEmpty())
        return;
    QCOMPARE(h.rowid, qint64(12));
    QCOMPARE(h.id, id);
    QCOMPARE(h.country, values.at(2).toString());
    QCOMPARE(h.service, values.at(3).toString());
    QCOMPARE(h.uncanonicalized_id, QString("typed"));
}

void TestIos6Recovery::messageFilterAndConversion_data()
{
    QTest::addColumn<QList<QVariant>>("values");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<bool>("converts");
    const auto row = [](const Patch &patch, int size = 51) {
        QList<QVariant> v = messageRow();
        for (const auto &[i, value] : patch)
            v[i] = value;
        return v.mid(0, size);
    };
    QTest::newRow("51 values") << row({}) << false << true << true;
    QTest::newRow("38 values") << row({}, 38) << false << true << true;
    QTest::newRow("37 values") << row({}, 37) << false << false << false;
    QTest::newRow("service imessage") << row({{11, "imessage"}}) << false << true << true;
    QTest::newRow("service MMS") << row({{11, "MMS"}}) << false << false << false;
    QTest::newRow("service NULL") << row({{11, QVariant()}}) << false << false << false;
    // Bytes that line the layout up by chance read no guid of this shape.
    QTest::newRow("guid of serial types") << row({{1, QString("\b\b\t\b")}}) << false << false << true;
    QTest::newRow("guid lower case") << row({{1, "0c3b7a21-5d4e-4f60-8a9b-000000000417"}}) << false << true << true;
    QTest::newRow("guid cut short") << row({{1, "0C3B7A21-5D4E-4F60-8A9B-00000000041"}}) << false << false << true;
    QTest::newRow("cut at the range end") << row({}) << true << false << true;
    QTest::newRow("nanosecond dates") << row({{15, qint64(600000000) * 1000000000},
                                              {16, qint64(600000030) * 1000000000}})
                                      << false << true << true;
    QTest::newRow("words only in attributedBody")
        << row({{2, QVariant()}, {8, attributedBodyArchive(QString::fromUtf8("Bis gleich \xF0\x9F\x98\x8A"))}})
        << false << true << true;
}

void TestIos6Recovery::messageFilterAndConversion()
{
    QFETCH(QList<QVariant>, values);
    QFETCH(bool, cut);
    QFETCH(bool, passes);
    QFETCH(bool, converts);
    _SqliteCarvedRow row;
    row.rowid = 417;
    row.values = values;
    row.cut = cut;
    QCOMPARE(IOS6MessageDb::filterCarvedMessage(&row), passes);
    _MsgMessage m;
    m.item_type = 7; // whatever the record held is replaced
    QCOMPARE(IOS6MessageDb::carvedRowToMessage(row, &m), converts);
    if (!converts)
        return;
    QCOMPARE(m.rowid, qint64(417));
    QCOMPARE(m.guid, values.at(1).toString());
    QCOMPARE(m.text, QString::fromUtf8("Bis gleich \xF0\x9F\x98\x8A"));
    QCOMPARE(m.handle_id, qint64(3));
    QCOMPARE(m.service, values.at(11).toString());
    QCOMPARE(m.account_guid, QString("E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC"));
    QCOMPARE(m.date, 600000000);
    QCOMPARE(m.date_read, 600000030);
    QCOMPARE(m.is_finished, 1);
    QCOMPARE(m.is_read, 1);
    QCOMPARE(m.was_data_detected, 1);
    QCOMPARE(m.item_type, 0);
    QCOMPARE(m.other_handle, -1);
}

void TestIos6Recovery::deletedOneByOne_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<MsgDbLayout>("layout");
    for (int pageSize : {1024, 4096}) {
        QTest::newRow(qPrintable(QString("38 columns, %1").arg(pageSize))) << pageSize << MsgDbLayout::Ios6Phone;
        QTest::newRow(qPrintable(QString("51 columns, %1").arg(pageSize))) << pageSize << MsgDbLayout::Ios6Phone51;
    }
}

void TestIos6Recovery::deletedOneByOne()
{
    QFETCH(int, pageSize);
    QFETCH(MsgDbLayout, layout);
    const MsgFixtureContent content = phoneContent(60);
    writeMsgDb(m_dir->path(), layout, content, pageSize);
    const QList<qint64> deleted = {3, 4, 17, 18, 30, 44, 59, 6, 12};
    deleteRows(dbPath(), "message", deleted, DeleteMode::OneByOne);

    auto db = phone();
    recover(*db);
    const QList<_RecycleMessage> back = db->recycleDb()->messages();
    const QHash<QString, MsgFixtureMessage> original = byGuid(content);
    QSet<qint64> found;
    for (const _RecycleMessage &r : back) {
        QVERIFY2(original.contains(r.guid), qPrintable(r.guid));
        const MsgFixtureMessage &m = original.value(r.guid);
        QVERIFY2(deleted.contains(m.rowid), qPrintable(QString("live message %1 stored").arg(m.rowid)));
        compareExact(r, m);
        found << m.rowid;

        // The conversation and the correspondent, from the chats passed.
        QString identifier;
        QString handle;
        if (m.handleId != 0) {
            const MsgFixtureHandle &h = content.handles.at(int(m.handleId) - 1);
            handle = normalised(h);
            identifier = m.chats.first() == 3 ? kRoom : content.chats.at(int(m.chats.first()) - 1).identifier;
        }
        QCOMPARE(r.chat_identifier, identifier);
        QCOMPARE(r.handle, handle);
    }
    QCOMPARE(found, QSet<qint64>(deleted.cbegin(), deleted.cend()));
}

void TestIos6Recovery::bulkDelete_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::newRow("1024") << 1024;
    QTest::newRow("4096") << 4096;
}

void TestIos6Recovery::bulkDelete()
{
    // One statement deleting a range rebalances the pages around it and
    // frees those in between: rows are moved, some old copies are partly
    // overwritten, whole freed pages still hold live rows' old cells.
    QFETCH(int, pageSize);
    MsgFixtureContent content = generateMsgContent(8, 800, 12, 0, 7);
    nameMessagesByRowid(content);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, pageSize);
    const QList<qint64> deleted = range(200, 600);
    deleteRows(dbPath(), "message", deleted, DeleteMode::OneStatement);
    QVERIFY(queryValue(dbPath(), "PRAGMA freelist_count").toInt() > 0);

    auto db = phone();
    recover(*db);
    const QHash<QString, MsgFixtureMessage> original = byGuid(content);
    QSet<QString> texts;
    for (const _RecycleMessage &r : db->recycleDb()->messages()) {
        QVERIFY2(original.contains(r.guid), qPrintable(r.text));
        compareExact(r, original.value(r.guid));
        QVERIFY2(!texts.contains(r.text), qPrintable(r.text));
        texts << r.text;
    }

    // Loading drops the live rows' old copies: what is merged was deleted,
    // each once.
    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    db->messages(store, 0);
    const int live = store->messages.size();
    QCOMPARE(live, 800 - deleted.size());
    db->loadRecycledMessages(store);
    QSet<qint64> merged;
    for (const _MsgMessage *m : std::as_const(store->messages)) {
        if (!m->isRecovered)
            continue;
        const qint64 n = namedRowid(m->text);
        QVERIFY(deleted.contains(n));
        QVERIFY(!merged.contains(n));
        merged << n;
    }
    QCOMPARE(store->messages.size(), live + merged.size());

    // Nearly every deleted message whose text is still in the file is back.
    const QByteArray bytes = fileBytes(dbPath());
    int inFile = 0;
    int back = 0;
    for (qint64 n : deleted) {
        if (bytes.contains(content.messages.at(int(n) - 1).text.toUtf8())) {
            ++inFile;
            back += merged.contains(n) ? 1 : 0;
        }
    }
    QVERIFY2(inFile > 300, qPrintable(QString::number(inFile)));
    QVERIFY2(back >= inFile * 95 / 100, qPrintable(QString("%1 of %2").arg(back).arg(inFile)));
}

void TestIos6Recovery::liveGuids()
{
    // Rows 1 to 10 are copied into a table that is then dropped: its freed
    // pages hold their cells intact. Row 120 is deleted and written again
    // under a new rowid, so its old copy lies in free space; row 121 is
    // deleted for good.
    MsgFixtureContent content = phoneContent(150);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    {
        auto raw = openRawDb(dbPath());
        raw->exec("DELETE FROM message WHERE ROWID IN (120, 121)");
        const MsgFixtureMessage &again = content.messages.at(119);
        raw->run("INSERT INTO message (ROWID, guid, text, handle_id, service, account, date, is_from_me) "
                 "VALUES (1000, ?, ?, ?, ?, ?, ?, ?)",
                 {again.guid, again.text, again.handleId, again.service, again.account, again.date, again.isFromMe});
        // A page freed before keeps the copy's pages off the trunk.
        raw->exec("CREATE TABLE filler (x BLOB); INSERT INTO filler VALUES (zeroblob(600)); DROP TABLE filler;");
        raw->exec("CREATE TABLE message_copy AS SELECT * FROM message WHERE ROWID <= 10; DROP TABLE message_copy;");
    }
    QCOMPARE(fileBytes(dbPath()).count(content.messages.at(119).text.toUtf8()), 2);

    auto db = phone();
    recover(*db);
    QSet<qint64> stored;
    for (const _RecycleMessage &r : db->recycleDb()->messages()) {
        stored << namedRowid(r.text);
    }
    QSet<qint64> expected = {121};
    for (qint64 n = 1; n <= 10; ++n)
        expected << n; // kept: intact cells are not looked up
    QCOMPARE(stored, expected); // 120 was carved, and its guid is live

    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    db->messages(store, 0);
    db->loadRecycledMessages(store);
    QList<qint64> merged;
    for (const _MsgMessage *m : std::as_const(store->messages))
        if (m->isRecovered)
            merged << namedRowid(m->text);
    QCOMPARE(merged, QList<qint64>({121}));
}

void TestIos6Recovery::rowsOnlyInTheLog()
{
    const MsgFixtureContent content = phoneContent(30);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 4096);
    // Another program (the phone's own) has the file open in WAL mode and
    // has written and deleted rows that only its log holds.
    auto writer = openWalWriter(dbPath());
    for (qint64 n = 31; n <= 36; ++n) {
        CarveMessageRow row = carveMessageRow(n, rowidText(n, QString::fromUtf8("nur im Log \xF0\x9F\x93\x9D")));
        row.handleId = 1;
        row.service = "SMS";
        insertMessage(*writer, row);
    }
    writer->exec("DELETE FROM message WHERE ROWID IN (32, 35)");
    QVERIFY(!fileBytes(dbPath()).contains("msg 32:"));
    QVERIFY(fileBytes(dbPath() + "-wal").contains("msg 32:"));

    auto db = phone();
    recover(*db);
    QSet<qint64> stored;
    for (const _RecycleMessage &r : db->recycleDb()->messages()) {
        stored << namedRowid(r.text);
        QCOMPARE(r.chat_identifier, QString("+4915112345671"));
    }
    QCOMPARE(stored, QSet<qint64>({32, 35}));
}

void TestIos6Recovery::noMessageTable()
{
    // The table is dropped whole: its pages go to the freelist with their
    // cells intact, while a row deleted before lies only in free space.
    const MsgFixtureContent content = phoneContent(40);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    deleteRows(dbPath(), "message", {7}, DeleteMode::OneByOne);
    openRawDb(dbPath())->exec("DROP TABLE message");

    auto db = phone();
    ProgressRecorder progress;
    db->recoverDeletedMessages({}, &progress.form);
    QSet<qint64> stored;
    for (const _RecycleMessage &r : db->recycleDb()->messages())
        stored << namedRowid(r.text);
    const QList<qint64> all = range(1, 40);
    QSet<qint64> expected(all.cbegin(), all.cend());
    expected.remove(7); // only carving would find it
    QCOMPARE(stored, expected);
    QVERIFY(progress.values().isEmpty()); // nothing was carved
    QVERIFY(!db->recycleDb()->isInTransaction());
}

void TestIos6Recovery::loopingTrunkChain()
{
    const MsgFixtureContent content = phoneContent(300);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    deleteRows(dbPath(), "message", range(100, 220), DeleteMode::OneStatement);
    int sound = 0;
    {
        auto db = phone();
        recover(*db);
        sound = db->recycleDb()->messages().size();
    }
    QVERIFY(sound > 100);
    QFile::remove(recyclePath());

    // The first trunk names itself as the next.
    quint32 first = 0;
    {
        Sqlite3File file(dbPath());
        file.open();
        first = file.firstFreelistTrunk();
        QCOMPARE(file.freelistTrunk(int(first)).nextTrunk, quint32(0));
    }
    QVERIFY(first > 1);
    patchFile(dbPath(), qint64(first - 1) * 1024, bigEndian32(first));

    auto db = phone();
    ProgressRecorder progress;
    recover(*db, &progress.form);
    QCOMPARE(db->recycleDb()->messages().size(), sound);
    QVERIFY(!progress.values().isEmpty());
    QCOMPARE(progress.values().last(), 100);
}

void TestIos6Recovery::laterPhoneFreedPages()
{
    // A later phone's rows fit no carving layout; freed pages still give
    // them back whole: dates from nanoseconds, the words of the rows that
    // keep them only in attributedBody.
    MsgFixtureContent content = generateMsgContent(6, 400, 9, 0, 3);
    nameMessagesByRowid(content);
    writeMsgDb(m_dir->path(), MsgDbLayout::LaterPhone, content, 1024);
    deleteRows(dbPath(), "message", range(50, 300), DeleteMode::OneStatement);

    auto db = phone();
    recover(*db);
    const QHash<QString, MsgFixtureMessage> original = byGuid(content);
    const QList<_RecycleMessage> back = db->recycleDb()->messages();
    QVERIFY2(back.size() > 150, qPrintable(QString::number(back.size())));
    bool withoutTextColumn = false;
    for (const _RecycleMessage &r : back) {
        QVERIFY(original.contains(r.guid));
        const MsgFixtureMessage &m = original.value(r.guid);
        QCOMPARE(r.text, m.text);
        QCOMPARE(r.date, m.date);
        QCOMPARE(r.date_read, m.dateRead);
        withoutTextColumn = withoutTextColumn || m.rowid % 2 == 0;
    }
    QVERIFY(withoutTextColumn);
}

void TestIos6Recovery::handleCountries()
{
    MsgFixtureContent content;
    const QList<std::tuple<QString, QString, QString>> handles = {
        {"0170 1234567", "", "SMS"},    // the default country: Germany
        {"0151 23456789", "de", "sms"}, // the service in any case
        {"9812345678", "IN", "SMS"},    // the code in any case
        {"+33612345678", "zz", "SMS"},  // no such country: dropped
        {"dora@example.com", "", "iMessage"},
        {"0160 9999999", "de", "MMS"}}; // no such service
    for (int i = 0; i < handles.size(); ++i) {
        MsgFixtureHandle h;
        h.rowid = i + 1;
        std::tie(h.id, h.country, h.service) = handles.at(i);
        h.uncanonicalizedId = "typed " + h.id;
        content.handles << h;
    }
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    deleteRows(dbPath(), "handle", {2, 4, 6, 1, 3, 5}, DeleteMode::OneByOne);

    auto db = phone();
    db->recoverDeletedHandles(nullptr);
    QStringList stored;
    for (const _MsgHandle &h : db->recycleDb()->handles())
        stored << QString("%1 %2 %3").arg(h.id, h.service, h.uncanonicalized_id);
    stored.sort();
    QCOMPARE(stored, QStringList({"+4915123456789 sms typed 0151 23456789", "+491701234567 SMS typed 0170 1234567",
                                  "+919812345678 SMS typed 9812345678",
                                  "dora@example.com iMessage typed dora@example.com"}));
    QCOMPARE(queryValue(recyclePath(), "select country from handle where id='+4915123456789'").toString(), "de");
}

void TestIos6Recovery::itemTypes()
{
    MsgFixtureContent content = phoneContent(30);
    content.messages[9].itemType = 1;  // someone joined the group
    content.messages[12].itemType = 2; // the group was renamed
    content.messages[12].groupTitle = "Familie";
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone51, content, 4096);
    deleteRows(dbPath(), "message", {10, 11, 13, 14}, DeleteMode::OneByOne);

    auto db = phone();
    recover(*db);
    QSet<qint64> stored;
    for (const _RecycleMessage &r : db->recycleDb()->messages())
        stored << namedRowid(r.text);
    QCOMPARE(stored, QSet<qint64>({11, 14}));
}

void TestIos6Recovery::deletedHandleKeptItsRowid()
{
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, deletedConversations(), 4096);
    deleteConversations(dbPath());

    auto db = phone();
    db->recoverDeletedHandles(nullptr);
    QCOMPARE(db->recycleDb()->handleBySrcRowid(5).id, QString("+4915299887766"));
    QCOMPARE(db->recycleDb()->handleBySrcRowid(6).id, QString()); // its rowid is gone
    QCOMPARE(db->recycleDb()->handles().size(), 2);
    // No chat passed: the restored handles alone tell the conversation.
    db->recoverDeletedMessages({}, nullptr);

    QHash<qint64, _RecycleMessage> byRowid;
    for (const _RecycleMessage &r : db->recycleDb()->messages())
        byRowid.insert(namedRowid(r.text), r);
    QCOMPARE(byRowid.keys().size(), 5);
    for (qint64 n : {31, 32}) {
        QCOMPARE(byRowid.value(n).chat_identifier, QString("+4915299887766"));
        QCOMPARE(byRowid.value(n).handle, QString("+4915299887766"));
    }
    for (qint64 n : {33, 34}) {
        QCOMPARE(byRowid.value(n).chat_identifier, QString());
        QCOMPARE(byRowid.value(n).handle, QString());
    }
}

void TestIos6Recovery::secondRunAddsNothing()
{
    MsgFixtureContent content = phoneContent(40);
    content.messages[4].text.clear(); // a picture without words: text NULL
    content.messages[5].text.clear();
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    deleteRows(dbPath(), "message", {5, 6, 20, 21, 22}, DeleteMode::OneByOne);
    deleteRows(dbPath(), "handle", {5, 4}, DeleteMode::OneByOne);

    auto db = phone();
    recover(*db);
    const int messages = db->recycleDb()->messages().size();
    const int handles = db->recycleDb()->handles().size();
    QCOMPARE(messages, 5);
    QCOMPARE(handles, 2);
    recover(*db);
    QCOMPARE(db->recycleDb()->messages().size(), messages);
    QCOMPARE(db->recycleDb()->handles().size(), handles);
    auto again = phone(); // a later session on the same folder
    recover(*again);
    QCOMPARE(again->recycleDb()->messages().size(), messages);
    QCOMPARE(queryValue(recyclePath(), "select count(*) from message where text is null").toInt(), 2);
}

void TestIos6Recovery::progress_data()
{
    QTest::addColumn<int>("leaves");
    QTest::addColumn<QList<int>>("percentages");
    QTest::newRow("4 pages") << 4 << QList<int>({25, 50, 75, 100});
    QTest::newRow("3 pages") << 3 << QList<int>({33, 66, 100});
    QTest::newRow("1 page") << 1 << QList<int>({100});
}

void TestIos6Recovery::progress()
{
    // A handle table of so many leaf pages, and an empty freelist.
    QFETCH(int, leaves);
    QFETCH(QList<int>, percentages);
    QDir().mkpath(QFileInfo(dbPath()).absolutePath());
    int found = 0;
    for (int rows = 1; found < leaves; ++rows) {
        {
            auto raw = createRawDb(dbPath(), 1024);
            raw->exec(ios6PhoneTableSql("handle"));
            raw->exec("BEGIN");
            for (int n = 1; n <= rows; ++n)
                insertHandle(*raw, carveHandleRow(n));
            raw->exec("COMMIT");
        }
        Sqlite3File file(dbPath());
        file.open();
        const int root = queryValue(dbPath(), "select rootpage from sqlite_master where name='handle'").toInt();
        found = int(file.leafPages(file.page(root)).size());
    }
    QCOMPARE(found, leaves);
    QCOMPARE(queryValue(dbPath(), "PRAGMA freelist_count").toInt(), 0);
    auto db = phone();
    ProgressRecorder progress;
    db->recoverDeletedHandles(&progress.form);
    QCOMPARE(progress.values(), percentages);
}

void TestIos6Recovery::cancelledFromTheStart()
{
    const MsgFixtureContent content = phoneContent(60);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    deleteRows(dbPath(), "message", range(10, 40), DeleteMode::OneStatement);
    deleteRows(dbPath(), "handle", {5, 4}, DeleteMode::OneByOne);

    auto db = phone();
    ProgressRecorder progress;
    progress.form.failed = true;
    recover(*db, &progress.form);
    QVERIFY(progress.values().isEmpty());
    QVERIFY(!db->recycleDb()->isInTransaction());
    QVERIFY(QFile::exists(recyclePath())); // begun and committed
    QCOMPARE(queryValue(recyclePath(), "select count(*) from message").toInt(), 0);
    QCOMPARE(queryValue(recyclePath(), "select count(*) from handle").toInt(), 0);

    progress.form.failed = false;
    recover(*db, &progress.form);
    QVERIFY(queryValue(recyclePath(), "select count(*) from message").toInt() > 20);
}

void TestIos6Recovery::failureRollsBack()
{
    const MsgFixtureContent content = phoneContent(60);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 1024);
    deleteRows(dbPath(), "message", {8, 9, 10, 33}, DeleteMode::OneByOne);

    auto db = phone();
    db->recycleDb()->open();
    // The fourth insert fails: three are already written in the transaction.
    SqliteFixture(recyclePath())
        .exec("CREATE TRIGGER fail_fourth BEFORE INSERT ON message WHEN (SELECT count(*) FROM message) = 3 "
              "BEGIN SELECT RAISE(ABORT, 'disk full'); END;");
    QSharedPointer<_MsgStore> store;
    db->chats(store);
    QVERIFY_THROWS_EXCEPTION(std::exception, db->recoverDeletedMessages(allChats(store), nullptr));
    QVERIFY(!db->recycleDb()->isInTransaction());
    QVERIFY(!db->recycleDb()->inTransaction());
    // Rolled back: nothing stays, and no lock keeps others out.
    SqliteFixture other(recyclePath());
    other.exec("DROP TRIGGER fail_fourth");
    QCOMPARE(queryValue(recyclePath(), "select count(*) from message").toInt(), 0);

    db->recoverDeletedMessages(allChats(store), nullptr);
    QCOMPARE(queryValue(recyclePath(), "select count(*) from message").toInt(), 4);
}

void TestIos6Recovery::groupSenderUnderSeeds()
{
    const MsgFixtureContent content = phoneContent(90);
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 4096);
    QList<qint64> fromMembers;
    for (const MsgFixtureMessage &m : content.messages)
        if (m.chats.first() == 3 && m.handleId != 0 && fromMembers.size() < 9)
            fromMembers << m.rowid;
    QCOMPARE(fromMembers.size(), 9);
    deleteRows(dbPath(), "message", fromMembers, DeleteMode::OneByOne);

    for (int round = 0; round < 5; ++round) {
        QHashSeed::resetRandomGlobalSeed();
        QFile::remove(recyclePath());
        auto db = phone();
        recover(*db);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db->messages(store, 0);
        db->loadRecycledMessages(store);
        int seen = 0;
        for (const _MsgMessage *m : std::as_const(store->messages)) {
            if (!m->isRecovered)
                continue;
            const MsgFixtureMessage &o = content.messages.at(int(namedRowid(m->text)) - 1);
            const QString sender = normalised(content.handles.at(int(o.handleId) - 1));
            QCOMPARE(m->chat->chat_identifier, kRoom);
            QVERIFY(m->chat->rowid == 3);
            QVERIFY(m->handle);
            QCOMPARE(m->handle->id, sender);
            ++seen;
        }
        QCOMPARE(seen, 9);
    }
}

void TestIos6Recovery::endToEnd()
{
    const MsgFixtureContent content = deletedConversations();
    writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, content, 4096);
    deleteConversations(dbPath());

    auto db = phone();
    recover(*db);
    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    db->messages(store, 0);
    const int live = store->messages.size();
    QCOMPARE(live, 36 - 5);
    db->loadRecycledMessages(store);
    QCOMPARE(store->messages.size(), live + 5);

    QHash<qint64, const _MsgMessage *> recovered;
    for (const _MsgMessage *m : std::as_const(store->messages)) {
        QCOMPARE(m->isRecovered, m->rowid < 0);
        if (m->isRecovered)
            recovered.insert(namedRowid(m->text), m);
    }
    QCOMPARE(recovered.size(), 5);
    QCOMPARE(recovered.value(2)->chat, store->chats.value(2)); // its chat is still there
    for (qint64 n : {31, 32}) {
        const _MsgMessage *m = recovered.value(n);
        QCOMPARE(m->chat->rowid, RECYCLED_CHAT_ID_BASE - 5);
        QCOMPARE(m->chat->chat_identifier, QString("+4915299887766"));
        QCOMPARE(m->handle->id, QString("+4915299887766"));
    }
    for (qint64 n : {33, 34}) {
        const _MsgMessage *m = recovered.value(n);
        QCOMPARE(m->chat->rowid, UNKNOWN_CHAT_ID_BASE - 6);
        QCOMPARE(m->chat->chat_identifier, QString("unknown6"));
    }

    // Written into a local database: the conversation the recovery could
    // name goes in, the unknown one is left out.
    QTemporaryDir local;
    ExportMessagesDb writer(QDir(local.path()), kGermany);
    writer.begin();
    for (const _MsgMessage *m : allMessages(store))
        writer.write(*m);
    writer.end();
    const QString localDb = messageDbPath(local.path());
    auto count = [&localDb](const QString &sql) { return queryValue(localDb, sql).toInt(); };
    QCOMPARE(count("select count(*) from message"), live + 3);
    for (qint64 n : {2, 31, 32})
        QCOMPARE(count(QString("select count(*) from message where text like 'msg %1:%%'").arg(n)), 1);
    for (qint64 n : {33, 34})
        QCOMPARE(count(QString("select count(*) from message where text like 'msg %1:%%'").arg(n)), 0);
    QCOMPARE(count("select count(*) from chat where chat_identifier='+4915299887766'"), 1);
    QCOMPARE(count("select count(*) from chat where chat_identifier like 'unknown%'"), 0);
}

QP_TEST_MAIN(TestIos6Recovery)

} // namespace tst_ios6recovery

#include "tst_ios6recovery.moc"
