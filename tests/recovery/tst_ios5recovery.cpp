#include "app/datafolder.h"
#include "recovery/sqliterecords.h"
#include "store/ios5messagedb.h"
#include "tests/support/countryfixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/rawdbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QDateTime>
#include <QTemporaryDir>

#include <limits>
#include <memory>

namespace tst_ios5recovery {

using namespace testsupport;

namespace {

const char kGermany[] = "262";
const qint64 kUnixTo2001 = 978307200;
const QString kRoom = "chat358016400931427744";

// A row of the message table as the carver hands it over, in the column
// order the recovery knows: an SMS row of 33 values (every madrid_ column
// NULL) unless changed.
QList<QVariant> smsRow()
{
    QList<QVariant> v(33);
    v[1] = "0170 1234567";    // address
    v[2] = qint64(1600000000); // date, Unix seconds
    v[3] = QString::fromUtf8("Bis später \xF0\x9F\x91\x8B");
    v[4] = 2; // flags: received
    v[5] = 0;
    v[6] = "+491760000000"; // svc_center
    v[7] = 1;               // group_id
    v[10] = 0;              // UIFlags
    v[11] = 5;              // version
    v[13] = "de";
    v[16] = 1; // read
    v[29] = 0; // is_madrid
    return v;
}

QList<QVariant> iMessageRow()
{
    QList<QVariant> v = smsRow();
    v[1] = QVariant();
    v[2] = 600000000; // seconds since 2001
    v[3] = "Treffen um acht?";
    v[4] = 0;
    v[17] = QByteArray("\x04\x0bstreamtyped", 13);
    v[18] = "Dora@Example.com";
    v[19] = 1;
    v[20] = "4C1B7E2A-90F1-4D7C-B5A3-2E6F0A9D8C71";
    v[21] = 0;
    v[22] = kRoom;
    v[23] = "Madrid";
    v[24] = "e:me@example.com";
    v[25] = 12345;
    v[28] = 0;
    v[29] = 1;
    v[30] = 600000100;
    v[31] = 600000005;
    v[32] = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
    return v;
}

using Patch = QList<std::pair<int, QVariant>>;

QList<QVariant> patched(QList<QVariant> v, const Patch &patch, int size)
{
    for (const auto &[i, value] : patch)
        v[i] = value;
    v.resize(size);
    return v;
}

// A phone of the layout with two SMS conversations (a German and an Indian
// number as typed), an iMessage conversation with an e-mail address and an
// iMessage group; every text names its rowid. Where the layout has no
// iMessage columns the iMessage rows are left out.
Ios5Content phone5(Ios5Layout layout, int pageSize, int messageCount)
{
    Ios5Content c;
    c.layout = layout;
    c.pageSize = pageSize;
    const bool withIMessage = layout != Ios5Layout::Phone17;
    c.groups = {{1, 111, 0, {{1, "0170 1234567", "de"}}}, {2, 222, 0, {{2, "9812345678", "in"}}}};
    if (withIMessage) {
        c.madridChats = {{1, "dora@example.com", plistStringArray({"dora@example.com"}, true), 45, 3, "", ""},
                         {2, kRoom, plistStringArray({"+4915112345671", "erik@example.com"}, true), 43, 3, "", ""}};
    }
    for (int n = 1; n <= messageCount; ++n) {
        Ios5Message m;
        m.rowid = n;
        m.text = rowidText(n, n % 3 ? QString::fromUtf8("schönen Abend \xF0\x9F\x8C\x99") : QString("ok"));
        const int kind = withIMessage ? n % 4 : n % 2;
        if (kind < 2) {
            m.groupId = kind + 1;
            m.address = c.groups.at(kind).members.first().address;
            m.country = c.groups.at(kind).members.first().country;
            m.date = 1600000000 + n * 60;
            // Sent (3), failed to send (33, also the user's) and received (2).
            m.flags = n % 3 == 0 ? (n % 2 ? 33 : 3) : 2;
        } else {
            m.isMadrid = true;
            m.date = 600000000 + n * 60;
            m.madridGuid = QString("4C1B7E2A-90F1-4D7C-B5A3-%1").arg(n, 12, 10, QLatin1Char('0'));
            m.madridAccount = "e:me@example.com";
            m.madridAccountGuid = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
            m.madridHandle = kind == 2 ? "dora@example.com" : (n % 3 ? "+4915112345671" : "erik@example.com");
            m.madridRoomname = kind == 3 ? kRoom : QString();
            m.madridDateRead = int(m.date) + 30;
            m.madridDateDelivered = n % 3 == 0 ? int(m.date) + 2 : 0;
        }
        c.messages << m;
    }
    // The phone drops a group whose newest message is gone.
    for (Ios5Group &g : c.groups)
        for (const Ios5Message &m : std::as_const(c.messages))
            if (m.groupId == g.rowid)
                g.newestMessage = m.rowid;
    return c;
}

// What a recovered row of the phone must read back as.
void compareRecord(const _RecycleMessage &r, const Ios5Message &m)
{
    QCOMPARE(r.text, m.text);
    if (m.isMadrid) {
        QCOMPARE(r.service, QString("iMessage"));
        QCOMPARE(r.guid, m.madridGuid);
        QCOMPARE(r.date, int(m.date));
        QCOMPARE(r.date_read, m.madridDateRead);
        QCOMPARE(r.date_delivered, m.madridDateDelivered);
        QCOMPARE(r.is_from_me, m.madridDateDelivered > 0 ? 1 : 0);
        QCOMPARE(r.account, m.madridAccount);
        QCOMPARE(r.account_guid, m.madridAccountGuid);
        QCOMPARE(r.handle, m.madridHandle);
        QCOMPARE(r.chat_identifier, m.madridRoomname.isEmpty() ? m.madridHandle : m.madridRoomname);
    } else {
        QCOMPARE(r.service, QString("SMS"));
        QCOMPARE(r.account, QString("e:"));
        QCOMPARE(r.date, int(m.date - kUnixTo2001));
        QCOMPARE(r.date_read, r.date);
        QCOMPARE(r.date_delivered, r.date);
        QCOMPARE(r.is_from_me, m.flags == 2 ? 0 : 1);
        const QString expected = m.address == "0170 1234567" ? "+491701234567" : "+919812345678";
        QCOMPARE(r.chat_identifier, expected);
        QCOMPARE(r.handle, expected);
    }
    QCOMPARE(r.handle_id, qint64(0));
    QCOMPARE(r.is_finished, 1);
    QCOMPARE(r.is_sent, 1);
    QCOMPARE(r.was_data_detected, 1);
}

qint64 namedRowid(const QString &text)
{
    return text.startsWith("msg ") ? text.mid(4, text.indexOf(':') - 4).toLongLong() : -1;
}

} // namespace

class TestIos5Recovery : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void conversion_data();
    void conversion();

    void deletedRows_data();
    void deletedRows();
    void rowsBeforeAnUpgrade();
    void secondRunStoresSmsOnce();
    void damagedDateNotStored();
    void liveCopiesNotMergedTwice();
    void loadIntoStore();
    void smallMembers();

private:
    QDir cache() const { return QDir(m_dir->path()); }
    QString dbPath() const { return messageDbPath(m_dir->path()); }
    std::unique_ptr<IOS5MessageDb> phone() const { return std::make_unique<IOS5MessageDb>(cache(), kGermany); }
    // The rows of recycle.db by the rowid their text names.
    static QHash<qint64, _RecycleMessage> stored(IOS5MessageDb &db)
    {
        QHash<qint64, _RecycleMessage> map;
        for (const _RecycleMessage &r : db.recycleDb()->messages())
            map.insert(namedRowid(r.text), r);
        return map;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestIos5Recovery::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
}

void TestIos5Recovery::conversion_data()
{
    QTest::addColumn<QList<QVariant>>("values");
    QTest::addColumn<bool>("passes");   // the filter
    QTest::addColumn<bool>("converts"); // the conversion
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<int>("date");
    QTest::addColumn<int>("fromMe");

    const int smsDate = 1600000000 - 978307200;
    const QString de = "+491701234567";
    auto sms = [](const Patch &p, int size = 33) { return patched(smsRow(), p, size); };
    auto im = [](const Patch &p, int size = 33) { return patched(iMessageRow(), p, size); };
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    QTest::newRow("SMS received") << sms({}) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("SMS sent") << sms({{4, 3}}) << true << true << "SMS" << de << smsDate << 1;
    QTest::newRow("SMS that failed to send") << sms({{4, 33}}) << true << true << "SMS" << de << smsDate << 1;
    QTest::newRow("SMS flags 0") << sms({{4, 0}}) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("SMS without address") << sms({{1, QVariant()}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS empty address") << sms({{1, ""}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS at 2001-01-01") << sms({{2, kUnixTo2001}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS of 1999") << sms({{2, 930000000}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS of tomorrow") << sms({{2, now + 86400}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS of a minute ago") << sms({{2, now - 60}}) << true << true << "SMS" << de
                                         << int(now - 60 - kUnixTo2001) << 0;
    // In 32 bits these would wrap round to dates after 2001.
    QTest::newRow("SMS dated near INT_MIN")
        << sms({{2, int(std::numeric_limits<int>::min() + 100)}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS dated far below") << sms({{2, qint64(-5000000000LL)}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS dated at INT_MAX")
        << sms({{2, std::numeric_limits<int>::max()}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("read 2") << sms({{16, 2}}) << false << false << "" << "" << 0 << 0;
    QTest::newRow("read -1") << sms({{16, -1}}) << false << false << "" << "" << 0 << 0;
    QTest::newRow("read 0") << sms({{16, 0}}) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("UIFlags 3") << sms({{10, 3}}) << false << false << "" << "" << 0 << 0;
    QTest::newRow("UIFlags 6") << sms({{10, 6}}) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("country zz") << sms({{13, "zz"}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("country IN") << sms({{1, "9812345678"}, {13, "IN"}}) << true << true << "SMS" << "+919812345678"
                                << smsDate << 0;
    QTest::newRow("no country: the default one") << sms({{13, QVariant()}}) << true << true << "SMS" << de << smsDate
                                                 << 0;
    QTest::newRow("SMS with a madrid_ value") << sms({{20, "4C1B7E2A-90F1-4D7C-B5A3-2E6F0A9D8C71"}}) << true << false
                                              << "" << "" << 0 << 0;
    QTest::newRow("SMS with madrid_error 0") << sms({{28, 0}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("SMS with an account guid") << sms({{32, "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC"}}) << true << true
                                              << "SMS" << de << smsDate << 0;
    QTest::newRow("is_madrid 2") << sms({{29, 2}}) << false << false << "" << "" << 0 << 0;
    QTest::newRow("is_madrid NULL") << sms({{29, QVariant()}}) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("32 values, is_madrid 1") << sms({{29, 1}}, 32) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("32 values, madrid_ values") << im({{1, "0170 1234567"}, {2, 1600000000}}, 32) << true << true
                                               << "SMS" << de << smsDate << 0;
    QTest::newRow("17 values") << sms({}, 17) << true << true << "SMS" << de << smsDate << 0;
    QTest::newRow("16 values") << sms({}, 16) << false << false << "" << "" << 0 << 0;

    QTest::newRow("iMessage in a room") << im({}) << true << true << "iMessage" << kRoom << 600000000 << 1;
    QTest::newRow("iMessage, one to one") << im({{22, ""}, {31, 0}}) << true << true << "iMessage"
                                          << "dora@example.com" << 600000000 << 0;
    QTest::newRow("iMessage, room NULL") << im({{22, QVariant()}}) << true << true << "iMessage"
                                         << "dora@example.com" << 600000000 << 1;
    QTest::newRow("iMessage, service madrid") << im({{23, "madrid"}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("iMessage, service iMessage") << im({{23, "iMessage"}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("iMessage dated 0") << im({{2, 0}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("iMessage dated near INT_MIN")
        << im({{2, std::numeric_limits<int>::min() + 1}}) << true << false << "" << "" << 0 << 0;
    QTest::newRow("iMessage of tomorrow") << im({{2, now - kUnixTo2001 + 86400}}) << true << false << "" << "" << 0 << 0;
}

void TestIos5Recovery::conversion()
{
    QFETCH(QList<QVariant>, values);
    QFETCH(bool, passes);
    QFETCH(bool, converts);
    QFETCH(QString, service);
    QFETCH(QString, identifier);
    QFETCH(int, date);
    QFETCH(int, fromMe);
    _SqliteCarvedRow row;
    row.rowid = 417;
    row.values = values;
    QCOMPARE(IOS5MessageDb::filterCarvedMessage(&row), passes);

    IOS5MessageDb db(cache(), kGermany);
    _RecycleMessage r;
    QCOMPARE(db.carvedRowToMessage(row, &r), converts);
    if (!converts)
        return;
    QCOMPARE(r.rowid, qint64(417));
    QCOMPARE(r.service, service);
    QCOMPARE(r.chat_identifier, identifier);
    QCOMPARE(r.date, date);
    QCOMPARE(r.is_from_me, fromMe);
    QCOMPARE(r.text, values.at(3).toString());
    QCOMPARE(r.version, values.at(11).toInt());
    QCOMPARE(r.handle_id, qint64(0));
    QCOMPARE(r.is_prepared, 1);
    QCOMPARE(r.is_read, 1);
    QCOMPARE(r.was_data_detected, 1);
    QCOMPARE(r.type, 0);
    if (service == "SMS") {
        QCOMPARE(r.handle, identifier);
        QCOMPARE(r.date_read, date);
        QCOMPARE(r.date_delivered, date);
        QCOMPARE(r.account, QString("e:"));
        QCOMPARE(r.service_center, QString("+491760000000"));
        QCOMPARE(r.country, values.at(13).toString());
        QVERIFY(r.guid.size() == 36 && r.guid != values.value(20).toString()); // a fresh one
    } else {
        QCOMPARE(r.handle, QString("dora@example.com"));
        QCOMPARE(r.guid, values.at(20).toString());
        QCOMPARE(r.account, QString("e:me@example.com"));
        QCOMPARE(r.account_guid, values.at(32).toString());
        QCOMPARE(r.date_read, values.at(30).toInt());
        QCOMPARE(r.date_delivered, values.at(31).toInt());
    }
}

void TestIos5Recovery::deletedRows_data()
{
    QTest::addColumn<Ios5Layout>("layout");
    QTest::addColumn<int>("pageSize");
    for (int pageSize : {1024, 4096}) {
        QTest::newRow(qPrintable(QString("33 columns, %1").arg(pageSize))) << Ios5Layout::Phone33 << pageSize;
        QTest::newRow(qPrintable(QString("32 columns, %1").arg(pageSize))) << Ios5Layout::Phone32 << pageSize;
        QTest::newRow(qPrintable(QString("17 columns, %1").arg(pageSize))) << Ios5Layout::Phone17 << pageSize;
    }
}

void TestIos5Recovery::deletedRows()
{
    QFETCH(Ios5Layout, layout);
    QFETCH(int, pageSize);
    const Ios5Content content = phone5(layout, pageSize, 60);
    writeIos5MessageDb(m_dir->path(), content);
    // Few enough per page that no page is rebuilt or freed.
    QList<qint64> deleted = {2, 7, 13, 18, 31, 44, 57};
    deleteRows(dbPath(), "message", deleted, DeleteMode::OneByOne);
    QCOMPARE(queryValue(dbPath(), "PRAGMA freelist_count").toInt(), 0);

    auto db = phone();
    QCOMPARE(db->messageCount(), 60 - deleted.size());
    db->recoverDeletedMessages(nullptr);
    const QHash<qint64, _RecycleMessage> back = stored(*db);
    // On a phone without madrid_account_guid an iMessage row reads as an SMS
    // row without address and with a date before 1970 + 31 years: not stored.
    QList<qint64> expected;
    for (qint64 n : deleted)
        if (layout != Ios5Layout::Phone32 || !content.messages.at(int(n) - 1).isMadrid)
            expected << n;
    QList<qint64> keys = back.keys();
    std::stable_sort(keys.begin(), keys.end());
    QCOMPARE(keys, expected);
    for (qint64 n : expected)
        compareRecord(back.value(n), content.messages.at(int(n) - 1));
}

void TestIos5Recovery::rowsBeforeAnUpgrade()
{
    // A phone updated mid-life: the rows written before the update hold 32
    // values, those after it 33. Where the longer layout finds nothing that
    // converts, the shorter one is tried on the page.
    Ios5Content content = phone5(Ios5Layout::Phone32, 1024, 40);
    writeIos5MessageDb(m_dir->path(), content);
    {
        auto raw = openRawDb(dbPath());
        raw->exec("ALTER TABLE message ADD COLUMN madrid_account_guid TEXT");
        for (int n = 41; n <= 80; ++n) {
            raw->run("INSERT INTO message (ROWID, address, date, text, flags, replace, svc_center, group_id, "
                     "UIFlags, version, country, read, is_madrid) VALUES (?, ?, ?, ?, 2, 0, NULL, 1, 0, 0, 'de', 1, 0)",
                     {n, "0170 1234567", qint64(1600000000 + n * 60), rowidText(n, "nach dem Update")});
        }
    }
    deleteRows(dbPath(), "message", {4, 5, 75, 77}, DeleteMode::OneByOne);
    QCOMPARE(queryValue(dbPath(), "select count(*) from pragma_table_info('message')").toInt(), 33);

    auto db = phone();
    db->recoverDeletedMessages(nullptr);
    const QHash<qint64, _RecycleMessage> back = stored(*db);
    QList<qint64> keys = back.keys();
    std::stable_sort(keys.begin(), keys.end());
    QCOMPARE(keys, QList<qint64>({4, 5, 75, 77}));
    QCOMPARE(back.value(5).service, QString("SMS"));
    QCOMPARE(back.value(75).date, int(1600000000 + 75 * 60 - kUnixTo2001));
}

void TestIos5Recovery::secondRunStoresSmsOnce()
{
    const Ios5Content content = phone5(Ios5Layout::Phone33, 4096, 30);
    writeIos5MessageDb(m_dir->path(), content);
    deleteRows(dbPath(), "message", {1, 4, 6, 11}, DeleteMode::OneByOne);

    auto db = phone();
    db->recoverDeletedMessages(nullptr);
    const int first = db->recycleDb()->messages().size();
    QCOMPARE(first, 4);
    db->recoverDeletedMessages(nullptr); // new guids for the SMS rows, found by date and text
    auto again = phone();
    again->recoverDeletedMessages(nullptr);
    QCOMPARE(again->recycleDb()->messages().size(), first);
}

void TestIos5Recovery::damagedDateNotStored()
{
    Ios5Content content = phone5(Ios5Layout::Phone33, 4096, 12);
    content.messages[4].date = qint64(std::numeric_limits<int>::min()) + 100; // an SMS row, rowid 5
    content.messages[8].date = qint64(std::numeric_limits<int>::min()) + 100; // an SMS row, rowid 9
    writeIos5MessageDb(m_dir->path(), content);
    deleteRows(dbPath(), "message", {5, 8, 9}, DeleteMode::OneByOne);

    auto db = phone();
    db->recoverDeletedMessages(nullptr);
    QCOMPARE(stored(*db).keys(), QList<qint64>({8}));
}

void TestIos5Recovery::liveCopiesNotMergedTwice()
{
    // A run of deletes empties a page: its neighbours' rows move and a page
    // is freed with their old cells intact, which the recovery stores as
    // they are. Loading shows each live message once, from the phone.
    const Ios5Content content = phone5(Ios5Layout::Phone33, 1024, 80);
    writeIos5MessageDb(m_dir->path(), content);
    deleteRows(dbPath(), "message", {2, 3, 5, 6, 7, 8, 9, 10, 11, 47}, DeleteMode::OneByOne);
    QVERIFY(queryValue(dbPath(), "PRAGMA freelist_count").toInt() > 0);

    auto db = phone();
    db->recoverDeletedMessages(nullptr);
    const QSet<qint64> deleted = {2, 3, 5, 6, 7, 8, 9, 10, 11, 47};
    int liveCopies = 0;
    for (const _RecycleMessage &r : db->recycleDb()->messages()) {
        const qint64 n = namedRowid(r.text);
        compareRecord(r, content.messages.at(int(n) - 1));
        liveCopies += deleted.contains(n) ? 0 : 1;
    }
    QVERIFY(liveCopies > 0);

    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    db->messages(store, 0);
    const int live = store->messages.size();
    QCOMPARE(live, 80 - deleted.size());
    db->loadRecycledMessages(store);
    QHash<qint64, int> shown;
    for (const _MsgMessage *m : std::as_const(store->messages)) {
        const qint64 n = namedRowid(m->text);
        ++shown[n];
        QCOMPARE(m->isRecovered, deleted.contains(n));
    }
    for (auto it = shown.cbegin(); it != shown.cend(); ++it)
        QCOMPARE(it.value(), 1);
    QVERIFY(store->messages.size() > live); // what came back of the deleted ones
}

void TestIos5Recovery::loadIntoStore()
{
    // Deleted: SMS and iMessage rows of conversations the phone still has,
    // and SMS rows of two numbers it has no conversation with any more. All
    // recovered rows carry handle_id 0; each conversation keeps its own chat.
    Ios5Content content = phone5(Ios5Layout::Phone33, 4096, 24);
    for (qint64 n : {21, 22}) {
        Ios5Message &m = content.messages[int(n) - 1];
        m = Ios5Message();
        m.rowid = n;
        m.text = rowidText(n, "von früher");
        m.address = n == 21 ? "0151 23456789" : "0160 98765432";
        m.country = "de";
        m.date = 1600000000 + n * 60;
    }
    content.groups[1].newestMessage = 17;
    writeIos5MessageDb(m_dir->path(), content);
    deleteRows(dbPath(), "message", {1, 2, 3, 4, 21, 22}, DeleteMode::OneByOne);

    auto db = phone();
    db->recoverDeletedMessages(nullptr);
    QSharedPointer<_MsgStore> store;
    newMsgStore(store);
    db->messages(store, 0);
    const int chats = store->chats.size();
    db->loadRecycledMessages(store);
    QHash<qint64, _MsgMessage *> back;
    for (_MsgMessage *m : std::as_const(store->messages))
        if (m->isRecovered)
            back.insert(namedRowid(m->text), m);
    QCOMPARE(back.size(), 6);
    QCOMPARE(back.value(1)->chat, store->chats.value(2)); // the Indian number's SMS chat
    QCOMPARE(back.value(4)->chat, store->chats.value(1));
    QCOMPARE(back.value(2)->chat->chat_identifier, QString("dora@example.com"));
    QCOMPARE(back.value(2)->chat->rowid, qint64(-1));
    QCOMPARE(back.value(3)->chat->chat_identifier, kRoom);
    QCOMPARE(store->chats.size(), chats + 2);
    // Both would take RECYCLED_CHAT_ID_BASE - 0; the second counts down.
    QCOMPARE(QSet<qint64>({back.value(21)->chat->rowid, back.value(22)->chat->rowid}),
             QSet<qint64>({RECYCLED_CHAT_ID_BASE, RECYCLED_CHAT_ID_BASE - 1}));
    QCOMPARE(back.value(21)->chat->chat_identifier, QString("+4915123456789"));
    QCOMPARE(back.value(22)->chat->chat_identifier, QString("+4916098765432"));
    QCOMPARE(back.value(22)->handle->id, QString("+4916098765432"));
}

void TestIos5Recovery::smallMembers()
{
    writeIos5MessageDb(m_dir->path(), phone5(Ios5Layout::Phone17, 4096, 7));
    IOS5MessageDb db(cache(), kGermany);
    QVERIFY(!db.isOpen());
    QCOMPARE(db.recycleDb()->recyclePath(), cache().absoluteFilePath("recycle.db"));
    QVERIFY(!db.recycleDb()->isOpen());
    QCOMPARE(db.messageCount(), qint64(7));
    QVERIFY(db.isOpen());
}

QP_TEST_MAIN(TestIos5Recovery)

} // namespace tst_ios5recovery

#include "tst_ios5recovery.moc"
