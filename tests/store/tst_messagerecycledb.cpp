#include "tests/support/endingvfs.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include "store/messagerecycledb.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <stdexcept>

namespace tst_messagerecycledb {

using namespace testsupport;

namespace {

// A recovered iMessage as a later phone holds it: nanosecond-free seconds
// since 2001, an e-mail correspondent, a group room name.
_MsgMessage message(const QString &guid, const QString &text, int date = 600000123)
{
    _MsgMessage m;
    m.guid = guid;
    m.text = text;
    m.handle_id = 7;
    m.service = "iMessage";
    m.account = "e:me@example.com";
    m.account_guid = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
    m.date = date;
    m.date_read = date + 5;
    m.date_delivered = date + 1;
    m.is_from_me = 1;
    m.is_finished = 1;
    m.is_sent = 1;
    m.cache_roomnames = "chat612387612387612387";
    return m;
}

_MsgHandle handle(const QString &id, const QString &service)
{
    _MsgHandle h;
    h.id = id;
    h.country = "de";
    h.service = service;
    h.uncanonicalized_id = id;
    return h;
}

} // namespace

class TestMessageRecycleDb : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void constants();
    void createsSchemaOnFirstUse();
    void failedCreationLeavesNoFile();
    void existingFileOpenedUnchanged();
    void fileWithoutSchemaIsBuiltAsNew_data();
    void fileWithoutSchemaIsBuiltAsNew();
    void killedCreationLeavesAWholeSchemaOrNone();

    void guidShapes_data();
    void guidShapes();
    void emptyOptionalColumnsAreNull();
    void srcRowid_data();
    void srcRowid();
    void hostileTextRoundTrip();
    void duplicateGuidThrows();

    void findMessage_data();
    void findMessage();
    void nullTextFoundAgain();
    void updateMessageChat();

    void messagesLoading();
    void handles();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestMessageRecycleDb::init()
{
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath("recycle.db");
    QFile::remove(m_path);
}

void TestMessageRecycleDb::constants()
{
    QCOMPARE(RECYCLED_CHAT_ID_BASE, qint64(-1947483647));
    QCOMPARE(UNKNOWN_CHAT_ID_BASE, qint64(-2047483647));
    QCOMPARE(RECYCLED_MESSAGE_ID_BASE, qint64(-2047483648LL));
    // The unknown range lies inside the recycled one, below every synthetic chat.
    QVERIFY(UNKNOWN_CHAT_ID_BASE < RECYCLED_CHAT_ID_BASE);
}

void TestMessageRecycleDb::createsSchemaOnFirstUse()
{
    MessageRecycleDb db(m_path);
    QCOMPARE(db.recyclePath(), m_path);
    QVERIFY(!db.isOpen());
    QVERIFY(!QFile::exists(m_path)); // building opens nothing

    QVERIFY(db.messages().isEmpty());
    QVERIFY(db.isOpen());
    db.open(); // a second open does nothing
    QVERIFY(db.isOpen());

    const QList<QVariantList> objects =
        queryRows(m_path, "select type || ' ' || name from sqlite_master where name not like 'sqlite_%' order by rowid");
    QStringList names;
    for (const QVariantList &r : objects)
        names << r.value(0).toString();
    QCOMPARE(names, QStringList({"table message", "index message_idx_chat_identifier", "index message_idx_chat_date",
                                 "index message_idx_handle_id", "index message_idx_src_rowid", "table chat",
                                 "index chat_idx_identifier", "index chat_idx_src_rowid", "table handle",
                                 "index handle_idx_src_rowid"}));
    QCOMPARE(queryValue(m_path, "select count(*) from pragma_table_info('message')").toInt(), 42);
    QCOMPARE(queryValue(m_path, "select name from pragma_table_info('message') where cid = 41").toString(),
             QString("is_skip"));
}

void TestMessageRecycleDb::failedCreationLeavesNoFile()
{
    // SQLite cannot write its journal where a folder of that name stands, so
    // the creation script fails after the file itself has been created.
    QVERIFY(QDir(m_dir.path()).mkdir("recycle.db-journal"));
    {
        MessageRecycleDb db(m_path);
        try {
            db.beginTransaction();
            QFAIL("creation did not fail");
        } catch (const std::exception &e) {
            QVERIFY2(QString::fromUtf8(e.what()).startsWith("create MessageRecycleDb error. "), e.what());
        }
        QVERIFY(!db.isOpen());
        QVERIFY(!db.isInTransaction());
        QVERIFY(!QFile::exists(m_path));
        QVERIFY(QFileInfo(m_path + "-journal").isDir()); // not ours: left alone

        // The next use starts afresh once the obstacle is gone, on the same object.
        QVERIFY(QDir(m_dir.path()).rmdir("recycle.db-journal"));
        QCOMPARE(db.insertHandle(handle("+4915112345678", "SMS"), 3), qint64(1));
    }
    QCOMPARE(queryValue(m_path, "select count(*) from handle").toInt(), 1);
}

void TestMessageRecycleDb::existingFileOpenedUnchanged()
{
    {
        SqliteFixture other(m_path);
        other.exec("create table something(x)");
    }
    MessageRecycleDb db(m_path);
    QVERIFY_THROWS_EXCEPTION(std::exception, db.messages());
    QCOMPARE(queryValue(m_path, "select count(*) from sqlite_master").toInt(), 1);
}

void TestMessageRecycleDb::guidShapes_data()
{
    QTest::addColumn<QString>("guid");
    QTest::addColumn<bool>("kept");
    QTest::newRow("phone guid") << "0C3B7A21-5D4E-4F60-8A9B-00000000002A" << true;
    QTest::newRow("lower case letters and digits") << "abcdefgh-ijkl-mnop-qrst-uvwxyz012345" << true;
    QTest::newRow("three letters") << "abc" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("underscore for a letter") << "0C3B7A21-5D4E-4F60-8A9B-00000000_02A" << false;
    QTest::newRow("group too long") << "0C3B7A210-5D4E-4F60-8A9B-00000000002A" << false;
    QTest::newRow("trailing newline") << "0C3B7A21-5D4E-4F60-8A9B-00000000002A\n" << false;
}

void TestMessageRecycleDb::guidShapes()
{
    QFETCH(QString, guid);
    QFETCH(bool, kept);
    MessageRecycleDb db(m_path);
    _MsgMessage m = message(guid, "hello");
    const qint64 rowid = db.insertMessage(m, "chat1", "+4915112345678", 0);
    QCOMPARE(m.guid, guid); // the record itself is not changed
    const QString stored =
        queryValue(m_path, QString("select guid from message where rowid = %1").arg(rowid)).toString();
    if (kept) {
        QCOMPARE(stored, guid);
    } else {
        QVERIFY(stored != guid);
        static const QRegularExpression fresh("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
        QVERIFY2(fresh.match(stored).hasMatch(), qPrintable(stored));
    }
}

void TestMessageRecycleDb::emptyOptionalColumnsAreNull()
{
    MessageRecycleDb db(m_path);
    _MsgMessage empty = message("0C3B7A21-5D4E-4F60-8A9B-000000000001", "a");
    const qint64 first = db.insertMessage(empty, "", "", 0);
    _MsgMessage full = message("0C3B7A21-5D4E-4F60-8A9B-000000000002", "b");
    full.service_center = "+491722270333";
    full.editRare().subject = "Betreff";
    full.country = "de";
    full.editRare().attributedBody = QByteArray("streamtyped\x81\xe8\x03", 14);
    full.cache_has_attachments = 1; // ignored: the attachment records decide
    const qint64 second = db.insertMessage(full, "", "", 0);

    const QString sql = "select typeof(service_center) || typeof(subject) || typeof(country) || "
                        "typeof(attributedBody) || cache_has_attachments from message where rowid = %1";
    QCOMPARE(queryValue(m_path, sql.arg(first)).toString(), QString("nullnullnullnull0"));
    QCOMPARE(queryValue(m_path, sql.arg(second)).toString(), QString("texttexttextblob0"));

    _MsgAttachment attachment;
    _MsgMessage withAttachment = message("0C3B7A21-5D4E-4F60-8A9B-000000000003", "c");
    withAttachment.attachments.insert("1", &attachment);
    const qint64 third = db.insertMessage(withAttachment, "", "", 0);
    QCOMPARE(queryValue(m_path, QString("select cache_has_attachments from message where rowid = %1").arg(third))
                 .toInt(),
             1);
}

void TestMessageRecycleDb::srcRowid_data()
{
    QTest::addColumn<qint64>("srcRowid");
    QTest::addColumn<QVariant>("stored");
    QTest::newRow("positive") << qint64(4711) << QVariant(qlonglong(4711));
    QTest::newRow("zero") << qint64(0) << QVariant();
    QTest::newRow("negative") << qint64(-5) << QVariant();
}

void TestMessageRecycleDb::srcRowid()
{
    QFETCH(qint64, srcRowid);
    QFETCH(QVariant, stored);
    MessageRecycleDb db(m_path);
    const qint64 m = db.insertMessage(message("0C3B7A21-5D4E-4F60-8A9B-000000000001", "x"), "", "", srcRowid);
    const qint64 h = db.insertHandle(handle("someone@example.com", "iMessage"), srcRowid);
    QCOMPARE(queryValue(m_path, QString("select src_rowid from message where rowid = %1").arg(m)), stored);
    QCOMPARE(queryValue(m_path, QString("select src_rowid from handle where rowid = %1").arg(h)), stored);
}

void TestMessageRecycleDb::hostileTextRoundTrip()
{
    const QString hostile = QString::fromUtf8("'); DROP TABLE message; -- \"quoted\" %1 ?\n"
                                              "\xF0\x9F\x98\x80 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xE2\x80\xAE") +
                            QChar(0xFFFC) + QString(QChar(0)) + "after NUL";
    MessageRecycleDb db(m_path);
    db.beginTransaction();
    _MsgMessage m = message("0C3B7A21-5D4E-4F60-8A9B-000000000001", hostile);
    m.editRare().subject = hostile;
    db.insertMessage(m, hostile, hostile, 1);
    db.insertHandle(handle(hostile, "SMS"), 1);
    db.endTransaction(true);

    const QList<_RecycleMessage> loaded = db.messages();
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(loaded.at(0).text, hostile);
    QCOMPARE(loaded.at(0).rare().subject, hostile);
    QCOMPARE(loaded.at(0).chat_identifier, hostile);
    QCOMPARE(loaded.at(0).handle, hostile);
    QCOMPARE(db.findMessage(message("other", hostile)), qint64(1));
    QCOMPARE(db.findHandle(handle(hostile, "SMS")), qint64(1));
    QCOMPARE(db.handleBySrcRowid(1).id, hostile);
    QCOMPARE(queryValue(m_path, "select count(*) from sqlite_master where type = 'table'").toInt(), 4);
}

void TestMessageRecycleDb::duplicateGuidThrows()
{
    MessageRecycleDb db(m_path);
    const _MsgMessage m = message("0C3B7A21-5D4E-4F60-8A9B-000000000001", "x");
    db.insertMessage(m, "", "", 0);
    QVERIFY_THROWS_EXCEPTION(std::exception, db.insertMessage(m, "", "", 0));
    db.insertHandle(handle("+4915112345678", "SMS"), 0);
    QVERIFY_THROWS_EXCEPTION(std::exception, db.insertHandle(handle("+4915112345678", "SMS"), 0));
    QCOMPARE(db.insertHandle(handle("+4915112345678", "iMessage"), 0), qint64(2));
}

void TestMessageRecycleDb::findMessage_data()
{
    QTest::addColumn<QString>("guid");
    QTest::addColumn<int>("date");
    QTest::addColumn<int>("fromMe");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("found");
    const QString g = "0C3B7A21-5D4E-4F60-8A9B-000000000001";
    QTest::newRow("same guid, all else differs") << g << 1 << 0 << "other" << true;
    QTest::newRow("other guid, same date, sender and text") << "new" << 600000123 << 1 << "hello" << true;
    QTest::newRow("other date") << "new" << 600000124 << 1 << "hello" << false;
    QTest::newRow("other sender") << "new" << 600000123 << 0 << "hello" << false;
    QTest::newRow("other text") << "new" << 600000123 << 1 << "Hello" << false;
    QTest::newRow("empty text against a stored text") << "new" << 600000123 << 1 << "" << false;
}

void TestMessageRecycleDb::findMessage()
{
    QFETCH(QString, guid);
    QFETCH(int, date);
    QFETCH(int, fromMe);
    QFETCH(QString, text);
    QFETCH(bool, found);
    MessageRecycleDb db(m_path);
    const qint64 rowid = db.insertMessage(message("0C3B7A21-5D4E-4F60-8A9B-000000000001", "hello"), "", "", 0);
    _MsgMessage probe = message(guid, text, date);
    probe.is_from_me = fromMe;
    QCOMPARE(db.findMessage(probe), found ? rowid : qint64(0));
}

void TestMessageRecycleDb::nullTextFoundAgain()
{
    // An old phone's SMS has no guid of its own: each recovery gives it a
    // fresh one, so only date, sender and text find it again. Its text may be
    // NULL (the words live in attributedBody).
    MessageRecycleDb db(m_path);
    _MsgMessage sms = message("", QString());
    sms.service = "SMS";
    sms.editRare().attributedBody = QByteArray("streamtyped body", 16);
    const qint64 rowid = db.insertMessage(sms, "+4915112345678", "+4915112345678", 0);
    QVERIFY(queryValue(m_path, "select text from message").isNull());

    QCOMPARE(db.findMessage(sms), rowid); // a second run does not store it again

    _MsgMessage emptyText = sms;
    emptyText.text = QStringLiteral(""); // empty is not NULL
    QCOMPARE(db.findMessage(emptyText), qint64(0));
    const qint64 second = db.insertMessage(emptyText, "", "", 0);
    QCOMPARE(db.findMessage(emptyText), second);
    QCOMPARE(db.findMessage(sms), rowid);
}

void TestMessageRecycleDb::updateMessageChat()
{
    MessageRecycleDb db(m_path);
    const _MsgMessage m = message("0C3B7A21-5D4E-4F60-8A9B-000000000001", "hello");
    db.insertMessage(m, "old chat", "old handle", 0);

    db.updateMessageChat(message("unknown", "not stored", 1), "new chat", "new handle");
    QCOMPARE(queryValue(m_path, "select chat_identifier || '|' || handle from message").toString(),
             QString("old chat|old handle"));

    db.updateMessageChat(m, "new chat", "new handle");
    QCOMPARE(queryValue(m_path, "select chat_identifier || '|' || handle from message").toString(),
             QString("new chat|new handle"));
}

void TestMessageRecycleDb::messagesLoading()
{
    MessageRecycleDb db(m_path);
    QVERIFY(db.messages().isEmpty());
    _MsgMessage m = message("0C3B7A21-5D4E-4F60-8A9B-000000000001", "first");
    m.service_center = "+491722270333";
    m.editRare().attributedBody = QByteArray("body\0with NUL", 13);
    m.editRare().replace = 2;
    m.version = 10;
    m.error = 4;
    m.is_read = 1;
    m.was_data_detected = 1;
    m.was_deduplicated = 1;
    m.editRare().is_system_message = 1;
    m.editRare().is_service_message = 2;
    m.editRare().was_downgraded = 3;
    m.srcRowid = 99; // not stored
    m.item_type = 3; // not stored
    db.insertMessage(m, "chat612387612387612387", "friend@example.com", 42);
    db.insertMessage(message("0C3B7A21-5D4E-4F60-8A9B-000000000002", "skipped"), "", "", 0);
    db.insertMessage(message("0C3B7A21-5D4E-4F60-8A9B-000000000003", "third"), "", "", 0);
    db.executeThrow(Sqlite3Sql("update message set is_skip = 1 where rowid = 2"));

    const QList<_RecycleMessage> loaded = db.messages();
    // In the order the statement yields them (here the index's), not by rowid.
    QCOMPARE(loaded.size(), 2);
    const bool firstIsFirst = loaded.at(0).guid == m.guid;
    const _RecycleMessage &r = loaded.at(firstIsFirst ? 0 : 1);
    const _RecycleMessage &third = loaded.at(firstIsFirst ? 1 : 0);
    QCOMPARE(r.rowid, RECYCLED_MESSAGE_ID_BASE - 1);
    QCOMPARE(third.rowid, RECYCLED_MESSAGE_ID_BASE - 3);
    QCOMPARE(third.text, QString("third"));
    QVERIFY(r.isRecovered);
    QCOMPARE(r.guid, m.guid);
    QCOMPARE(r.text, m.text);
    QCOMPARE(r.service_center, m.service_center);
    QCOMPARE(r.rare().attributedBody, m.rare().attributedBody);
    QCOMPARE(r.handle_id, qint64(7));
    QCOMPARE(r.service, m.service);
    QCOMPARE(r.account, m.account);
    QCOMPARE(r.account_guid, m.account_guid);
    QCOMPARE(r.rare().replace, 2);
    QCOMPARE(r.error, 4);
    QCOMPARE(r.date, m.date);
    QCOMPARE(r.date_read, m.date_read);
    QCOMPARE(r.date_delivered, m.date_delivered);
    QCOMPARE(r.is_from_me, 1);
    QCOMPARE(r.is_read, 1);
    QCOMPARE(r.is_sent, 1);
    QCOMPARE(r.was_data_detected, 1);
    QCOMPARE(r.was_deduplicated, 1);
    QCOMPARE(r.rare().is_system_message, 1);
    QCOMPARE(r.rare().is_service_message, 2);
    QCOMPARE(r.rare().was_downgraded, 3);
    QCOMPARE(third.rare().was_downgraded, 0);
    QCOMPARE(r.cache_roomnames, m.cache_roomnames);
    QCOMPARE(r.chat_identifier, QString("chat612387612387612387"));
    QCOMPARE(r.handle, QString("friend@example.com"));
    QCOMPARE(r.srcRowid, qint64(0));
    QCOMPARE(r.item_type, 0);
    QVERIFY(r.rare().subject.isNull());
    QVERIFY(r.chat == nullptr);
}

void TestMessageRecycleDb::handles()
{
    MessageRecycleDb db(m_path);
    QCOMPARE(db.handleBySrcRowid(5).rowid, qint64(0));
    QCOMPARE(db.handleBySrcRowid(5).service, QString("SMS"));
    QVERIFY(db.handleBySrcRowid(5).id.isEmpty());

    db.insertHandle(handle("+4915112345678", "SMS"), 5);
    db.insertHandle(handle("friend@example.com", "iMessage"), 5);
    db.insertHandle(handle("+919876543210", "SMS"), 0);
    QCOMPARE(db.findHandle(handle("friend@example.com", "iMessage")), qint64(2));
    QCOMPARE(db.findHandle(handle("friend@example.com", "SMS")), qint64(0));

    const _MsgHandle first = db.handleBySrcRowid(5);
    QCOMPARE(first.rowid, qint64(5)); // the src_rowid, not the ROWID here
    QCOMPARE(first.id, QString("+4915112345678"));
    QCOMPARE(first.uncanonicalized_id, QString("+4915112345678"));
    QVERIFY(first.country.isEmpty()); // not read back

    const QList<_MsgHandle> all = db.handles();
    QCOMPARE(all.size(), 3);
    QCOMPARE(all.at(2).rowid, qint64(3));
    QCOMPARE(all.at(2).id, QString("+919876543210"));
    QCOMPARE(all.at(1).service, QString("iMessage"));
}

QP_TEST_MAIN(TestMessageRecycleDb)

void TestMessageRecycleDb::fileWithoutSchemaIsBuiltAsNew_data()
{
    QTest::addColumn<bool>("empty"); // a 0-byte file, else an SQLite file with no object
    QTest::newRow("empty file") << true;
    QTest::newRow("database without tables") << false;
}

void TestMessageRecycleDb::fileWithoutSchemaIsBuiltAsNew()
{
    QFETCH(bool, empty);
    if (empty) {
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else {
        SqliteFixture(m_path).exec("create table t(x); drop table t;");
    }
    MessageRecycleDb db(m_path);
    QCOMPARE(db.insertHandle(handle("+4915112345678", "SMS"), 3), qint64(1));
    QVERIFY(db.messages().isEmpty());
    db.close();
    QCOMPARE(queryValue(m_path, "select count(*) from sqlite_master where type = 'table' and name in "
                                "('message', 'chat', 'handle')").toInt(), 3);
    QCOMPARE(queryValue(m_path, "select count(*) from sqlite_master where type = 'index' and name like '%idx%'").toInt(),
             7);
}

// Killed at any point of its creation, the file holds either every table and
// index or none, and the next open gives a database that works.
void TestMessageRecycleDb::killedCreationLeavesAWholeSchemaOrNone()
{
    // Three tables and seven indexes, without SQLite's own objects.
    const QString kOwnObjects = "select count(*) from sqlite_master where name not like 'sqlite\\_%' escape '\\'";
    int ends = 0;
    for (int nth = 1;; ++nth) {
        QVERIFY2(nth < 200, "the creation never finished");
        QFile::remove(m_path);
        QFile::remove(m_path + "-journal");
        const QString path = m_path;
        const bool ended = runEndedAtChange(nth, [path] {
            MessageRecycleDb db(path);
            db.open();
        });
        const QString at = QString("ended at change %1").arg(nth);
        {
            MessageRecycleDb db(m_path);
            try {
                QCOMPARE(db.insertHandle(handle("+4915112345678", "SMS"), 3), qint64(1));
                QVERIFY(db.messages().isEmpty());
            } catch (const std::exception &e) {
                QFAIL(qPrintable(at + ": " + QString::fromUtf8(e.what())));
            }
        }
        QCOMPARE(queryValue(m_path, kOwnObjects).toInt(), 10);
        if (!ended)
            break;
        ++ends;
    }
    QVERIFY(ends > 2);
}

} // namespace tst_messagerecycledb

#include "tst_messagerecycledb.moc"
