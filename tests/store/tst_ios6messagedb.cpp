#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/attributedbodysource.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/attributedbodyfixture.h"
#include "tests/support/countryfixture.h"
#include "tests/support/endingvfs.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <limits>
#include <memory>
#include <stdexcept>

namespace tst_ios6messagedb {

using namespace testsupport;

namespace {

const char kIndia[] = "404";

// "name type" of every column, in table order.
QStringList columnsOf(Sqlite3DB &db, const QString &table)
{
    QStringList columns;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select name, type from pragma_table_info(?)").addTextParam(table));
    while (c.moveNext())
        columns << c.getText("name") + " " + c.getText("type");
    return columns;
}

// Every column with its declaration as SQLite keeps it (type, NOT NULL,
// default, key), in table order.
QStringList declarationsOf(Sqlite3DB &db, const QString &table)
{
    QStringList columns;
    Sqlite3Cursor c = db.queryThrow(
        Sqlite3Sql("select name, type, \"notnull\", ifnull(dflt_value, '-') as dflt, pk from pragma_table_info(?)")
            .addTextParam(table));
    while (c.moveNext())
        columns << QString("%1 %2 notnull=%3 default=%4 pk=%5")
                       .arg(c.getText("name"), c.getText("type"))
                       .arg(c.getInt("notnull"))
                       .arg(c.getText("dflt"))
                       .arg(c.getInt("pk"));
    return columns;
}

// The table's indexes, the implicit ones of UNIQUE and PRIMARY KEY included,
// as "origin unique (columns)" and, for a created index, its name.
QStringList indexesOf(Sqlite3DB &db, const QString &table)
{
    QList<QStringList> found; // name, origin, unique
    {
        Sqlite3Cursor c = db.queryThrow(
            Sqlite3Sql("select name, origin, \"unique\" from pragma_index_list(?)").addTextParam(table));
        while (c.moveNext())
            found.append({c.getText("name"), c.getText("origin"), QString::number(c.getInt("unique"))});
    }
    QStringList indexes;
    for (const QStringList &index : std::as_const(found)) {
        QStringList columns;
        Sqlite3Cursor c = db.queryThrow(
            Sqlite3Sql("select name from pragma_index_info(?) order by seqno").addTextParam(index.at(0)));
        while (c.moveNext())
            columns << c.getText("name");
        QString entry = QString("%1 unique=%2 (%3)").arg(index.at(1), index.at(2), columns.join(','));
        if (index.at(1) == "c")
            entry += " " + index.at(0);
        indexes << entry;
    }
    indexes.sort();
    return indexes;
}

QStringList schemaObjects(Sqlite3DB &db, const QString &type)
{
    QStringList names;
    Sqlite3Cursor c = db.queryThrow(
        Sqlite3Sql("select name from sqlite_master where type=? and name not like 'sqlite_%' order by name")
            .addTextParam(type));
    while (c.moveNext())
        names << c.getText("name");
    return names;
}

// Every schema object of the file with its SQL, one per line, read on a
// connection of its own.
QString schemaDump(const QString &path)
{
    return queryValue(path, "select group_concat(type || ' ' || name || ': ' || ifnull(sql, ''), char(10)) "
                            "from (select * from sqlite_master order by type, name)")
        .toString();
}

QString orphanTrigger(const QString &path)
{
    return queryValue(path, "select sql from sqlite_master where type='trigger' and name='clean_orphaned_messages'")
        .toString();
}

QString errorOf(IOS6MessageDb &db)
{
    try {
        db.open();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// Two chats, three handles, four messages: enough to see every link.
MsgFixtureContent smallContent()
{
    MsgFixtureContent c;
    MsgFixtureHandle india;
    india.rowid = 1;
    india.id = "09876543210";
    india.country = "in";
    MsgFixtureHandle noCountry;
    noCountry.rowid = 2;
    noCountry.id = "8765432109";
    MsgFixtureHandle german;
    german.rowid = 3;
    german.id = "+49 170 1234567";
    german.country = "de";
    c.handles = {india, noCountry, german};

    MsgFixtureChat one;
    one.rowid = 1;
    one.guid = "SMS;-;+919876543210";
    one.identifier = "+919876543210";
    one.handles = {1};
    MsgFixtureChat group;
    group.rowid = 2;
    group.guid = "SMS;+;chat123456789012345678";
    group.style = 43;
    group.identifier = "chat123456789012345678";
    group.roomName = group.identifier;
    group.displayName = "Team";
    group.groupId = "G-1";
    group.last = 777;
    group.handles = {1, 2, 3};
    c.chats = {one, group};

    MsgFixtureMessage m1;
    m1.rowid = 10;
    m1.guid = "M-10";
    m1.text = "hello";
    m1.handleId = 1;
    m1.date = 1000;
    m1.chats = {1};
    MsgFixtureMessage m2;
    m2.rowid = 11;
    m2.guid = "M-11";
    m2.text = "sent by me";
    m2.isFromMe = 1;
    m2.date = 2000;
    m2.country = "de";
    m2.chats = {1};
    MsgFixtureMessage m3;
    m3.rowid = 12;
    m3.guid = "M-12";
    m3.text = "in both chats";
    m3.handleId = 3;
    m3.date = 1500;
    m3.chats = {1, 2};
    MsgFixtureMessage m4;
    m4.rowid = 13;
    m4.guid = "M-13";
    m4.text = QString();
    m4.handleId = 2;
    m4.itemType = 1;
    m4.otherHandle = 3;
    m4.groupTitle = "Renamed";
    m4.date = 3000;
    m4.chats = {2};
    c.messages = {m1, m2, m3, m4};
    return c;
}

} // namespace

class TestIOS6MessageDb : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QDir cacheDir() const { return QDir(m_dir->path()); }
    QString dbPath() const { return messageDbPath(m_dir->path()); }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    // ---- open -----------------------------------------------------------------

    void open_createsMissingFile_data()
    {
        QTest::addColumn<bool>("upgradeSchema");
        QTest::addColumn<bool>("emptyFile"); // a file of 0 bytes stands there
        QTest::newRow("local database") << true << false;
        QTest::newRow("phone database") << false << false;
        QTest::newRow("local database, empty file") << true << true;
    }
    void open_createsMissingFile()
    {
        QFETCH(bool, upgradeSchema);
        QFETCH(bool, emptyFile);
        if (emptyFile) {
            QDir().mkpath(QFileInfo(dbPath()).absolutePath());
            QFile empty(dbPath());
            QVERIFY(empty.open(QIODevice::WriteOnly));
        }
        IOS6MessageDb db(cacheDir(), QString(), upgradeSchema);
        QVERIFY(!db.hasItemType());
        db.open();
        QVERIFY(QFileInfo::exists(dbPath()));
        QCOMPARE(db.filePath(), dbPath());
        QVERIFY(db.hasItemType());
        QVERIFY(db.tableSqlContains("chat", "_LAST integer", Qt::CaseInsensitive));
        QVERIFY(db.tableSqlContains("handle", "_ct_name TEXT", Qt::CaseSensitive));
        QVERIFY(db.tableSqlContains("handle", "_photo BLOB", Qt::CaseSensitive));

        // The created file has exactly the documented layout, which the fixture
        // writes independently.
        QTemporaryDir other;
        Sqlite3DB expected;
        expected.openThrow(writeMsgDb(other.path(), MsgDbLayout::Local, {}), 2);
        for (const char *table : {"message", "handle", "chat", "attachment", "chat_handle_join",
                                  "chat_message_join", "message_attachment_join"}) {
            QCOMPARE(declarationsOf(db, table), declarationsOf(expected, table));
            QCOMPARE(indexesOf(db, table), indexesOf(expected, table));
        }
        QCOMPARE(columnsOf(db, "message").size(), 51);
        for (const char *type : {"table", "index", "trigger"})
            QCOMPARE(schemaObjects(db, type), schemaObjects(expected, type));
        QCOMPARE(orphanTrigger(dbPath()), orphanTrigger(expected.path()));

        // The next open finds nothing to bring up to date: it writes nothing.
        const qint64 version = queryValue(dbPath(), "pragma schema_version").toLongLong();
        db.close();
        db.open();
        QCOMPARE(queryValue(dbPath(), "pragma schema_version").toLongLong(), version);
    }

    void open_twiceIsNoop()
    {
        IOS6MessageDb db(cacheDir(), QString(), true);
        db.open();
        sqlite3 *first = db.handle();
        db.open();
        QCOMPARE(db.handle(), first);
        // After a close the next open opens again.
        db.close();
        db.open();
        QVERIFY(db.isOpen());
    }

    void open_upgradesOldLocalDb()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::OldLocal, smallContent());
        {
            IOS6MessageDb db(cacheDir(), QString(), true);
            db.open();
            QVERIFY(db.hasItemType());
            const QStringList message = columnsOf(db, "message");
            QCOMPARE(message.size(), 51);
            // Each added column is there once, with its declaration.
            for (const char *column : {"is_audio_message INTEGER", "other_handle INTEGER", "group_title TEXT",
                                       "message_action_type INTEGER", "logic_hash TEXT"})
                QCOMPARE(message.count(column), 1);
            // Added in table order with the current declarations: the message
            // table now reads exactly as in a database made today.
            QTemporaryDir other;
            Sqlite3DB current;
            current.openThrow(writeMsgDb(other.path(), MsgDbLayout::Local, {}), 2);
            QCOMPARE(declarationsOf(db, "message"), declarationsOf(current, "message"));
            QVERIFY(columnsOf(db, "chat").contains("group_id TEXT"));
            QVERIFY(schemaObjects(db, "index").contains("message_idx_logic_hash"));
            QCOMPARE(indexesOf(db, "message"), indexesOf(current, "message"));
            // Rows written before the upgrade read the new columns' defaults.
            QCOMPARE(queryValue(dbPath(), "select count(*) from message where other_handle = -1 and item_type = 0")
                         .toInt(),
                     4);
            QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 4);
        }
        QTemporaryDir other;
        const QString today = writeMsgDb(other.path(), MsgDbLayout::Local, {});
        QCOMPARE(orphanTrigger(dbPath()), orphanTrigger(today));
        // An upgraded file is left as it is by the next open: not even the
        // trigger is written again.
        const qint64 version = queryValue(dbPath(), "pragma schema_version").toLongLong();
        IOS6MessageDb again(cacheDir(), QString(), true);
        again.open();
        QCOMPARE(columnsOf(again, "message").size(), 51);
        QCOMPARE(queryValue(dbPath(), "pragma schema_version").toLongLong(), version);
    }

    void open_keepsFileWithLogicHashWithoutIndex()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::OldLocal, {});
        {
            SqliteFixture raw(dbPath());
            raw.exec("ALTER TABLE message ADD COLUMN logic_hash TEXT;");
        }
        IOS6MessageDb db(cacheDir(), QString(), true);
        db.open();
        QCOMPARE(columnsOf(db, "message").size(), 51);
        QVERIFY(!schemaObjects(db, "index").contains("message_idx_logic_hash"));
    }

    void open_leavesPhoneFileUnchanged()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, smallContent());
        const QString schema = schemaDump(dbPath());
        IOS6MessageDb db(cacheDir(), kIndia, false);
        db.open();
        QCOMPARE(schemaDump(dbPath()), schema);
        QCOMPARE(columnsOf(db, "message").size(), 38);
        QVERIFY(!db.hasItemType());
        QVERIFY(!db.tableSqlContains("chat", "_last INTEGER", Qt::CaseInsensitive));
    }

    void open_failedUpgradeFailsAgain_data()
    {
        QTest::addColumn<QString>("schema");
        QTest::addColumn<QString>("error");
        QTest::newRow("no chat table") << "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, guid TEXT);"
                                       << "line:122, sql:ALTER TABLE chat ADD COLUMN group_id TEXT;, "
                                          "error:no such table: chat";
        QTest::newRow("no message table")
            << "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY, guid TEXT);"
            << "line:127, sql:ALTER TABLE message ADD COLUMN is_audio_message INTEGER DEFAULT 0;, "
               "error:no such table: message";
    }
    void open_failedUpgradeFailsAgain()
    {
        QFETCH(QString, schema);
        QFETCH(QString, error);
        QDir().mkpath(QFileInfo(dbPath()).absolutePath());
        {
            SqliteFixture raw(dbPath());
            raw.exec(schema);
        }
        const QString before = schemaDump(dbPath());
        IOS6MessageDb db(cacheDir(), QString(), true);
        QCOMPARE(errorOf(db), error);
        QVERIFY(!db.isOpen());
        QVERIFY(!db.hasItemType());
        // All steps or none: what ran before the failing one is undone.
        QCOMPARE(schemaDump(dbPath()), before);
        // Not a silent success on the half-upgraded file: the same fault again.
        QCOMPARE(errorOf(db), error);
        QVERIFY(!db.isOpen());
        // The existing file is the user's: it stays.
        QVERIFY(QFileInfo::exists(dbPath()));
    }

    void open_failedCreationRemovesFile()
    {
        // SQLite cannot write its journal where a folder of that name stands,
        // so the schema script fails at its first statement.
        QVERIFY(QDir().mkpath(dbPath() + "-journal"));
        IOS6MessageDb db(cacheDir(), QString(), true);
        const QString error = errorOf(db);
        QVERIFY2(error.startsWith("create IOS6MessageDb error. "), qPrintable(error));
        QVERIFY(!db.isOpen());
        QVERIFY(!QFileInfo::exists(dbPath()));
        QVERIFY(errorOf(db).startsWith("create IOS6MessageDb error. "));

        QVERIFY(QDir(dbPath() + "-journal").removeRecursively());
        QCOMPARE(errorOf(db), QString());
        QVERIFY(db.hasItemType());
    }

    void open_endedHalfWayOpensNextTime_data()
    {
        QTest::addColumn<bool>("oldFile"); // else no file yet
        QTest::newRow("creating") << false;
        QTest::newRow("upgrading an older version's file") << true;
    }
    void open_endedHalfWayOpensNextTime()
    {
        // The process is ended before each change the open makes in turn,
        // and the open after it must give a whole database every time.
        QFETCH(bool, oldFile);
        QTemporaryDir other;
        const QString today = writeMsgDb(other.path(), MsgDbLayout::Local, {});
        int ends = 0;
        for (int nth = 1;; ++nth) {
            QVERIFY2(nth < 1000, "the open never finished");
            QVERIFY(QDir(m_dir->path() + "/file-relay").removeRecursively());
            if (oldFile)
                writeMsgDb(m_dir->path(), MsgDbLayout::OldLocal, smallContent());
            const bool ended = runEndedAtChange(nth, [this] {
                IOS6MessageDb db(cacheDir(), QString(), true);
                db.open();
            });
            const QString at = QString("ended at change %1").arg(nth);
            IOS6MessageDb db(cacheDir(), QString(), true);
            QVERIFY2(errorOf(db).isEmpty(), qPrintable(at + ": " + errorOf(db)));
            QVERIFY2(columnsOf(db, "message").size() == 51, qPrintable(at));
            QVERIFY2(schemaObjects(db, "trigger").size() == 6, qPrintable(at));
            QVERIFY2(queryValue(dbPath(), "select count(*) from message").toInt() == (oldFile ? 4 : 0), qPrintable(at));
            db.close();
            QVERIFY2(orphanTrigger(dbPath()) == orphanTrigger(today), qPrintable(at));
            if (!ended)
                break;
            ++ends;
        }
        QVERIFY(ends > 2);
    }

    // ---- the local schema's triggers ---------------------------------------

    void triggers_removeHandleOnlyWhenUnused()
    {
        IOS6MessageDb db(cacheDir(), QString(), true);
        db.open();
        db.executeThrow(Sqlite3Sql("insert into handle (ROWID, id, service) values (1, '+1', 'SMS')"));
        db.executeThrow(Sqlite3Sql("insert into chat (ROWID, guid) values (1, 'SMS;-;+1')"));
        db.executeThrow(Sqlite3Sql("insert into chat_handle_join values (1, 1)"));
        db.executeThrow(Sqlite3Sql("insert into message (ROWID, guid, handle_id) values (1, 'a', 1)"));
        db.executeThrow(Sqlite3Sql("insert into message (ROWID, guid, handle_id) values (2, 'b', 1)"));

        db.executeThrow(Sqlite3Sql("delete from message where rowid=1"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from handle").toInt(), 1); // joined and used by message 2
        db.executeThrow(Sqlite3Sql("delete from chat_handle_join"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from handle").toInt(), 1); // still used by message 2
        db.executeThrow(Sqlite3Sql("delete from message where rowid=2"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from handle").toInt(), 0);
    }

    void triggers_removeOrphanedMessages_data()
    {
        QTest::addColumn<QString>("made");
        QTest::newRow("made today") << "today";
        QTest::newRow("made by an older version") << "old";
        QTest::newRow("today's columns, the earlier trigger") << "earlier trigger";
    }
    void triggers_removeOrphanedMessages()
    {
        // Files made before the trigger looked only at the message of the
        // deleted join row get today's trigger, with the same effect on that
        // message.
        QFETCH(QString, made);
        if (made == "old") {
            writeMsgDb(m_dir->path(), MsgDbLayout::OldLocal, {});
        } else if (made == "earlier trigger") {
            QTemporaryDir older;
            const QString sweeping = orphanTrigger(writeMsgDb(older.path(), MsgDbLayout::OldLocal, {}));
            QVERIFY(sweeping.contains("message.ROWID LIMIT 1"));
            writeMsgDb(m_dir->path(), MsgDbLayout::Local, {});
            SqliteFixture raw(dbPath());
            raw.exec("DROP TRIGGER clean_orphaned_messages;" + sweeping + ";");
        }
        IOS6MessageDb db(cacheDir(), QString(), true);
        db.open();
        QTemporaryDir other;
        QCOMPARE(orphanTrigger(dbPath()), orphanTrigger(writeMsgDb(other.path(), MsgDbLayout::Local, {})));

        db.executeThrow(Sqlite3Sql("insert into chat (ROWID, guid) values (1, 'c1'), (2, 'c2')"));
        db.executeThrow(Sqlite3Sql("insert into message (ROWID, guid) values (1, 'a'), (2, 'b'), (3, 'c')"));
        db.executeThrow(Sqlite3Sql("insert into chat_message_join values (1, 1), (1, 2), (2, 2)"));
        auto ids = [&db] {
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select group_concat(rowid) as ids from message"));
            return c.moveNext() ? c.getText("ids") : QString("<none>");
        };

        // Message 2 is still in chat 2; message 3 was never in a chat and is
        // not the deleted row's message.
        db.executeThrow(Sqlite3Sql("delete from chat_message_join where chat_id=1 and message_id=2"));
        QCOMPARE(ids(), QString("1,2,3"));
        db.executeThrow(Sqlite3Sql("delete from chat_message_join where message_id=1"));
        QCOMPARE(ids(), QString("2,3"));
        db.executeThrow(Sqlite3Sql("delete from chat_message_join"));
        QCOMPARE(ids(), QString("3"));
    }

    void triggers_attachmentFlagAndOrphans()
    {
        IOS6MessageDb db(cacheDir(), QString(), true);
        db.open();
        db.executeThrow(Sqlite3Sql("insert into message (ROWID, guid) values (1, 'm1'), (2, 'm2')"));
        db.executeThrow(Sqlite3Sql("insert into attachment (ROWID, guid) values (1, 'a1'), (2, 'a2')"));
        db.executeThrow(Sqlite3Sql("insert into message_attachment_join values (1, 1), (1, 2), (2, 2)"));
        QCOMPARE(queryValue(dbPath(), "select sum(cache_has_attachments) from message").toInt(), 2);

        db.executeThrow(Sqlite3Sql("delete from message_attachment_join where message_id=1 and attachment_id=1"));
        // Message 1 still has a2.
        QCOMPARE(queryValue(dbPath(), "select cache_has_attachments from message where rowid=1"), QVariant(qlonglong(1)));
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 1);
        db.executeThrow(Sqlite3Sql("delete from message_attachment_join where message_id=1"));
        QCOMPARE(queryValue(dbPath(), "select cache_has_attachments from message where rowid=1"), QVariant(qlonglong(0)));
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 1); // a2 still belongs to m2
        db.executeThrow(Sqlite3Sql("delete from message_attachment_join"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 0);
    }

    void phoneTriggerFunctions_data()
    {
        QTest::addColumn<MsgDbLayout>("layout");
        QTest::addColumn<bool>("trustedSchema");
        QTest::newRow("iOS 6") << MsgDbLayout::Ios6Phone << true;
        QTest::newRow("later") << MsgDbLayout::LaterPhone << true;
        QTest::newRow("later, schema not trusted") << MsgDbLayout::LaterPhone << false;
    }
    void phoneTriggerFunctions()
    {
        QFETCH(MsgDbLayout, layout);
        QFETCH(bool, trustedSchema);
        writeMsgDb(m_dir->path(), layout, generateMsgContent(2, 20, 2, 5));
        IOS6MessageDb db(cacheDir(), kIndia, false);
        db.open();
        if (!trustedSchema)
            db.executeThrow(Sqlite3Sql("PRAGMA trusted_schema=OFF"));
        QVERIFY(queryValue(dbPath(), "select count(*) from attachment").toInt() > 0);
        db.executeThrow(Sqlite3Sql("delete from attachment"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 0);
    }

    // ---- chats ------------------------------------------------------------------

    void chats_readsFieldsAndMembers()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, smallContent());
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);

        QCOMPARE(store->chats.size(), 2);
        const _MsgChat *group = store->chats.value(2);
        QVERIFY(group);
        QCOMPARE(group->guid, QString("SMS;+;chat123456789012345678"));
        QCOMPARE(group->style, 43);
        QCOMPARE(group->room_name, group->chat_identifier);
        QCOMPARE(group->display_name, QString("Team"));
        QCOMPARE(group->group_id, QString("G-1"));
        QCOMPARE(group->_last, 777);
        QCOMPARE(group->account_login, QString("E:"));
        QStringList keys = group->members.keys();
        keys.sort();
        QCOMPARE(keys, QStringList({"1", "2", "3"}));
        // One record for a handle in two chats.
        QCOMPARE(store->chats.value(1)->members.value("1"), group->members.value("1"));
        QCOMPARE(store->handles.size(), 3);
    }

    void chats_secondCallKeepsRecords()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, smallContent());
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        _MsgChat *chat = store->chats.value(2);
        _MsgHandle *handle = store->handles.value(1);
        chat->display_name = "changed";
        chat->_last = 5;
        handle->id = "changed";
        db.chats(store);
        QCOMPARE(store->chats.size(), 2);
        QCOMPARE(store->handles.size(), 3);
        QCOMPARE(store->chats.value(2), chat);
        QCOMPARE(chat->display_name, QString("changed"));
        QCOMPARE(chat->_last, 5); // the file has _last: nothing recomputed
        QCOMPARE(store->handles.value(1), handle);
        QCOMPARE(handle->id, QString("changed")); // not normalised again
    }

    void chats_lastFromMessagesWithoutColumn()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::Ios6Phone, smallContent());
        IOS6MessageDb db(cacheDir(), kIndia, false);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        QCOMPARE(store->chats.value(1)->_last, 2000);
        QCOMPARE(store->chats.value(2)->_last, 3000);
        // Recomputed on every call, also for chats already in the store.
        store->chats.value(1)->_last = 0;
        db.chats(store);
        QCOMPARE(store->chats.value(1)->_last, 2000);
    }

    void chats_normalisesAndNames_data()
    {
        QTest::addColumn<bool>("withAddressBook");
        QTest::newRow("with address book") << true;
        QTest::newRow("without address book") << false;
    }
    void chats_normalisesAndNames()
    {
        QFETCH(bool, withAddressBook);
        MsgFixtureContent content = smallContent();
        content.handles[0].ctName = "Name in file";
        content.handles[2].ctName = "Stale name";
        content.handles[2].photo = "stale";
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, content);
        if (withAddressBook) {
            AddressBookPerson anna;
            anna.rowid = 1;
            anna.first = "Anna";
            anna.last = "Berg";
            anna.phones = {"98765 43210"};
            writeAddressBook(m_dir->path(), {anna});
            writeAddressBookImages(m_dir->path(), {{1, "photo-bytes"}});
        }
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);

        const _MsgHandle *india = store->handles.value(1);
        const _MsgHandle *noCountry = store->handles.value(2);
        const _MsgHandle *german = store->handles.value(3);
        QCOMPARE(india->id, QString("+919876543210"));
        QCOMPARE(india->country, QString("in"));
        QCOMPARE(noCountry->id, QString("+918765432109"));
        QCOMPARE(noCountry->country, QString("in")); // the default country, lower case
        QCOMPARE(german->id, QString("+491701234567"));
        QCOMPARE(german->country, QString("de"));
        if (withAddressBook) {
            QCOMPARE(india->_ct_name, QString("Anna Berg"));
            QCOMPARE(india->_photo, QByteArray("photo-bytes"));
            // Nobody in the book has this number: the file's name goes.
            QCOMPARE(german->_ct_name, QString());
            QCOMPARE(german->_photo, QByteArray());
        } else {
            QCOMPARE(india->_ct_name, QString("Name in file"));
            QCOMPARE(german->_ct_name, QString("Stale name"));
            QCOMPARE(german->_photo, QByteArray("stale"));
        }
    }

    void chats_unjoinedHandlesAreNotLoaded()
    {
        MsgFixtureContent content = smallContent();
        MsgFixtureHandle lonely;
        lonely.rowid = 9;
        lonely.id = "+4930123456";
        content.handles.append(lonely);
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, content);
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store; // a null store is made on the way
        db.chats(store);
        QVERIFY(store);
        QVERIFY(!store->handles.contains(9));
    }

    // ---- messages -----------------------------------------------------------

    void messages_selectsChats_data()
    {
        QTest::addColumn<qint64>("chatId");
        QTest::addColumn<QList<qint64>>("rowids");
        QTest::newRow("all with 0") << qint64(0) << QList<qint64>{10, 11, 12, 13};
        QTest::newRow("all with a negative id") << qint64(-1) << QList<qint64>{10, 11, 12, 13};
        QTest::newRow("one chat") << qint64(2) << QList<qint64>{12, 13};
        QTest::newRow("no such chat") << qint64(99) << QList<qint64>{};
    }
    void messages_selectsChats()
    {
        QFETCH(qint64, chatId);
        QFETCH(QList<qint64>, rowids);
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, smallContent());
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, chatId);
        QList<qint64> got = store->messages.keys();
        std::stable_sort(got.begin(), got.end());
        QCOMPARE(got, rowids);
        QCOMPARE(store->chats.size(), 2); // chats are always read whole
    }

    void messages_linksRecords()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, smallContent());
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);

        const _MsgMessage *hello = store->messages.value(10);
        QCOMPARE(hello->guid, QString("M-10"));
        QCOMPARE(hello->text, QString("hello"));
        QCOMPARE(hello->srcRowid, qint64(10));
        QCOMPARE(hello->handle, store->handles.value(1));
        QCOMPARE(hello->country, QString("in")); // taken from the handle
        QCOMPARE(hello->chat, store->chats.value(1));
        QCOMPARE(store->chats.value(1)->messages.value(10), hello);

        const _MsgMessage *mine = store->messages.value(11);
        QCOMPARE(mine->is_from_me, 1);
        QVERIFY(!mine->handle); // handle_id 0
        QCOMPARE(mine->country, QString("de")); // its own country stays

        const _MsgMessage *both = store->messages.value(12);
        QCOMPARE(store->chats.value(1)->messages.value(12), both);
        QCOMPARE(store->chats.value(2)->messages.value(12), both);
        QVERIFY(both->chat == store->chats.value(1) || both->chat == store->chats.value(2));

        const _MsgMessage *event = store->messages.value(13);
        QCOMPARE(event->item_type, 1);
        QCOMPARE(event->other_handle, 3);
        QCOMPARE(event->rare().otherHandle, store->handles.value(3));
        QCOMPARE(event->rare().group_title, QString("Renamed"));
        QVERIFY(event->text.isNull()); // NULL text reads as a null string
    }

    // Rows in any order: a message of two chats read twice, rowids falling
    // and rising, a row whose chat the file lacks. Each message is one record,
    // in the store and in each of its chats.
    void messages_rowsInAnyOrder()
    {
        MsgFixtureContent content = smallContent();
        content.messages.clear();
        const QList<QPair<qint64, QList<qint64>>> rows{{30, {2, 1}}, {20, {2}}, {10, {1, 2}}, {40, {99}}, {5, {1}}};
        for (const auto &[rowid, chats] : rows) {
            MsgFixtureMessage m;
            m.rowid = rowid;
            m.guid = QStringLiteral("M-%1").arg(rowid);
            m.text = QStringLiteral("text %1").arg(rowid);
            m.handleId = 1;
            m.date = int(1000 + rowid);
            m.chats = chats;
            content.messages << m;
        }
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, content);
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);

        QList<qint64> got = store->messages.keys();
        std::stable_sort(got.begin(), got.end());
        QCOMPARE(got, (QList<qint64>{5, 10, 20, 30, 40}));
        for (const auto &[rowid, chats] : rows) {
            const _MsgMessage *m = store->messages.value(rowid);
            QCOMPARE(m->srcRowid, rowid);
            QCOMPARE(m->text, QStringLiteral("text %1").arg(rowid));
            for (qint64 chat : chats) {
                if (const _MsgChat *c = store->chats.value(chat))
                    QCOMPARE(c->messages.value(rowid), m);
            }
        }
        QVERIFY(!store->messages.value(40)->chat);
        QCOMPARE(store->chats.value(1)->messages.size(), 3);
        QCOMPARE(store->chats.value(2)->messages.size(), 3);
    }

    void messages_skipsRowsInStore()
    {
        writeMsgDb(m_dir->path(), MsgDbLayout::Local, smallContent());
        IOS6MessageDb db(cacheDir(), kIndia, true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 1);
        _MsgMessage *hello = store->messages.value(10);
        hello->text = "edited in memory";
        db.messages(store, 0);
        QCOMPARE(store->messages.size(), 4);
        QCOMPARE(store->messages.value(10), hello);
        QCOMPARE(hello->text, QString("edited in memory"));
    }

    void messages_itemTypeFour_data()
    {
        QTest::addColumn<MsgDbLayout>("layout");
        QTest::addColumn<QList<qint64>>("rowids");
        // Only a file with the column can say a row is of type 4.
        QTest::newRow("later phone") << MsgDbLayout::LaterPhone << QList<qint64>{1, 2};
        QTest::newRow("local") << MsgDbLayout::Local << QList<qint64>{1, 2};
        QTest::newRow("iOS 6 phone") << MsgDbLayout::Ios6Phone << QList<qint64>{1, 2, 3};
    }
    void messages_itemTypeFour()
    {
        QFETCH(MsgDbLayout, layout);
        QFETCH(QList<qint64>, rowids);
        MsgFixtureContent content = generateMsgContent(1, 3, 1, 0);
        content.messages[0].itemType = 0;
        content.messages[1].itemType = 1;
        content.messages[2].itemType = 4;
        writeMsgDb(m_dir->path(), layout, content);
        IOS6MessageDb db(cacheDir(), kIndia, layout == MsgDbLayout::Local);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        QList<qint64> got = store->messages.keys();
        std::stable_sort(got.begin(), got.end());
        QCOMPARE(got, rowids);
    }

    // Dates as phones up to iOS 10 and local databases store them (seconds
    // since 2001) and as later phones do (nanoseconds), in the messages and in
    // a chat's newest date computed from them.
    void messages_datesInSecondsOrNanoseconds_data()
    {
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("seconds") << qint64(600000000) << 600000000;
        QTest::newRow("nanoseconds") << qint64(600000000123456789) << 600000000;
        QTest::newRow("nanoseconds of the first hours of 2001") << qint64(3600000000000) << 3600;
        QTest::newRow("zero") << qint64(0) << 0;
        QTest::newRow("negative seconds") << qint64(-86400) << -86400;
        QTest::newRow("negative nanoseconds") << qint64(-86400000000000) << -86400;
        QTest::newRow("largest, held at the end") << std::numeric_limits<qint64>::max()
                                                  << std::numeric_limits<int>::max();
        QTest::newRow("smallest, held at the end") << std::numeric_limits<qint64>::min()
                                                   << std::numeric_limits<int>::min();
    }
    void messages_datesInSecondsOrNanoseconds()
    {
        QFETCH(qint64, stored);
        QFETCH(int, expected);
        writeMsgDb(m_dir->path(), MsgDbLayout::LaterPhone, generateMsgContent(1, 1, 1, 0));
        {
            SqliteFixture raw(dbPath());
            raw.run("update message set date=?, date_read=?, date_delivered=?, date_played=?",
                    {stored, stored, stored, stored});
        }
        IOS6MessageDb db(cacheDir(), kIndia, false);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        const _MsgMessage *m = store->messages.value(1);
        QVERIFY(m);
        QCOMPARE(m->date, expected);
        QCOMPARE(m->date_read, expected);
        QCOMPARE(m->date_delivered, expected);
        QCOMPARE(m->rare().date_played, expected);
        // The file has no _last: the chat's newest date comes from max(date).
        QVERIFY(!db.tableSqlContains("chat", "_last INTEGER", Qt::CaseInsensitive));
        QCOMPARE(m->chat->_last, expected);
    }

    void messages_textFromAttributedBody_data()
    {
        QTest::addColumn<QString>("text"); // a null string writes NULL
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QString words = QString::fromUtf8("Gl\xC3\xBC" "ckwunsch \xF0\x9F\x8E\x89\xF0\x9F\x8E\x82!");
        const QString longWords = QStringLiteral("A long message that needs a two-byte length. ").repeated(20);
        QTest::newRow("text NULL, words only in the archive") << QString() << attributedBodyArchive(words) << words;
        QTest::newRow("text empty") << "" << attributedBodyArchive(words) << words;
        QTest::newRow("long words") << QString() << attributedBodyArchive(longWords) << longWords;
        QTest::newRow("the text column wins") << "typed" << attributedBodyArchive("archived") << "typed";
        QTest::newRow("garbage in attributedBody") << QString() << QByteArray("\x04\x0bstreamtyped garbage")
                                                   << QString();
        QTest::newRow("truncated archive") << QString() << attributedBodyArchive(words).left(60) << QString();
        QTest::newRow("neither") << QString() << QByteArray() << QString();
    }
    void messages_textFromAttributedBody()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        MsgFixtureContent content = generateMsgContent(1, 1, 1, 0);
        content.messages[0].text = text;
        content.messages[0].attributedBody = body;
        writeMsgDb(m_dir->path(), MsgDbLayout::LaterPhone, content);
        IOS6MessageDb db(cacheDir(), kIndia, false);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        const _MsgMessage *m = store->messages.value(1);
        QVERIFY(m);
        QCOMPARE(m->text, expected);
        // Bytes whose words are in the text stay in the file, not in memory;
        // what writes the message reads them back as they were.
        if (!m->text.isEmpty())
            QVERIFY(m->rare().attributedBody.isEmpty());
        QCOMPARE(attributedBodyOf(*m), body);

        // Written into a local database (once under its own guid, once under
        // a fresh one because the target holds another message under it),
        // each row keeps the bytes the phone had.
        const QDir local(m_dir->path() + "/local");
        {
            ExportMessagesDb writer(local, QString());
            writer.begin();
            writer.write(*m);
            _MsgMessage other = *m;
            other.text = "another message under the same guid";
            other.editRare().attributedBody = QByteArray();
            other.attributedBodyLeftInSource = false;
            writer.write(other);
            writer.end();
        }
        const QString localFile = IOS6MessageDb::databasePath(local);
        QCOMPARE(queryValue(localFile, "select count(*) from message").toInt(), 2);
        QCOMPARE(queryValue(localFile, QString("select attributedBody from message where guid='%1'").arg(m->guid))
                     .toByteArray(),
                 body);
        // The other message, renamed since the guid was taken, has no bytes.
        QCOMPARE(queryValue(localFile, QString("select count(*) from message where guid<>'%1' and attributedBody "
                                               "is not null").arg(m->guid))
                     .toInt(),
                 0);
        QVERIFY(QDir(local).removeRecursively());

        // A file copied anew since holds another message under the rowid:
        // its bytes are not taken for this message's.
        if (m->attributedBodyLeftInSource) {
            SqliteFixture raw(dbPath());
            raw.run("update message set guid='0THER-GUID'");
        }
        if (m->attributedBodyLeftInSource)
            QVERIFY(attributedBodyOf(*m).isEmpty());
    }

    void messages_laterPhoneWithUnknownTables()
    {
        MsgFixtureContent content = generateMsgContent(12, 300, 7);
        for (int i = 0; i < content.messages.size(); i += 7) {
            content.messages[i].isAudioMessage = 1;
            content.messages[i].datePlayed = content.messages[i].date + 30;
        }
        writeMsgDb(m_dir->path(), MsgDbLayout::LaterPhone, content);
        // As real phones keep them: words only in attributedBody, dates in
        // nanoseconds.
        QCOMPARE(queryValue(dbPath(), "select count(*) from message where text is null and attributedBody is not "
                                      "null")
                     .toLongLong(),
                 150);
        QVERIFY(queryValue(dbPath(), "select min(date) from message").toLongLong() > 100000000000000000LL);
        IOS6MessageDb db(cacheDir(), kIndia, false);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        QCOMPARE(store->chats.size(), 12);
        QCOMPARE(store->handles.size(), 7);
        QCOMPARE(store->messages.size(), 300);
        int linked = 0;
        for (const _MsgChat *chat : std::as_const(store->chats))
            linked += chat->messages.size();
        QCOMPARE(linked, 300);
        QHash<qint64, int> newest; // chat rowid -> date of its newest message
        for (const MsgFixtureMessage &want : std::as_const(content.messages)) {
            const _MsgMessage *m = store->messages.value(want.rowid);
            QVERIFY(m);
            QCOMPARE(m->guid, want.guid);
            QCOMPARE(m->text, want.text);
            QCOMPARE(m->date, want.date);
            QCOMPARE(m->date_read, want.dateRead);
            QCOMPARE(m->date_delivered, want.dateDelivered);
            QCOMPARE(m->rare().date_played, want.datePlayed);
            QCOMPARE(m->account, want.account);
            // Each in its own chat's table, rows of twelve chats coming in turn.
            QVERIFY(m->chat);
            QCOMPARE(m->chat->rowid, want.chats.at(0));
            QCOMPARE(m->chat->messages.value(want.rowid), m);
            newest[want.chats.at(0)] = qMax(newest.value(want.chats.at(0)), want.date);
        }
        for (auto it = newest.constBegin(); it != newest.constEnd(); ++it)
            QCOMPARE(store->chats.value(it.key())->_last, it.value());
        // Opened as a phone's file: nothing was added or taken away.
        for (const QString &table : laterPhoneExtraTables())
            QVERIFY2(db.tableSqlContains(table, "CREATE TABLE", Qt::CaseSensitive), qPrintable(table));
        QVERIFY(!columnsOf(db, "message").contains("logic_hash TEXT"));
    }
};

QP_TEST_MAIN(TestIOS6MessageDb)

} // namespace tst_ios6messagedb

#include "tst_ios6messagedb.moc"
