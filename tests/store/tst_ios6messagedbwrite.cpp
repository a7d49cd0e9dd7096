// Row-level writing, lookups and deletion of the iOS 6 message database, on
// the local layout and on phone layouts that lack the program's own columns.
#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/ios6messagedb.h"
#include "store/msgtext.h"
#include "tests/support/countryfixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>

namespace tst_ios6messagedbwrite {

using namespace testsupport;

namespace {

// The local schema script with some declarations written differently, as a
// foreign tool might write them.
QString writeVariantDb(const QString &cacheDir, const QList<QPair<QString, QString>> &replacements)
{
    QFile script(QStringLiteral(":/res/localmsgdb_ddl.sql"));
    if (!script.open(QIODevice::ReadOnly))
        throw std::runtime_error("no schema script");
    QString sql = QString::fromUtf8(script.readAll());
    for (const auto &r : replacements) {
        if (!sql.contains(r.first))
            throw std::runtime_error(("not in the script: " + r.first).toStdString());
        sql.replace(r.first, r.second);
    }
    const QString path = messageDbPath(cacheDir);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    SqliteFixture(path).exec(sql);
    return path;
}

} // namespace

class TestIOS6MessageDbWrite : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QDir cacheDir() const { return QDir(m_dir->path()); }
    QString dbPath() const { return messageDbPath(m_dir->path()); }

    // An open database of the layout; the local one comes from the schema script.
    std::unique_ptr<IOS6MessageDb> openDb(MsgDbLayout layout)
    {
        if (layout != MsgDbLayout::Local)
            writeMsgDb(m_dir->path(), layout, {});
        // Phones are written as they are; an upgrade would add the columns.
        auto db = std::make_unique<IOS6MessageDb>(cacheDir(), QString(), layout == MsgDbLayout::Local);
        db->open();
        return db;
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    void layouts_data()
    {
        QTest::addColumn<MsgDbLayout>("layout");
        QTest::newRow("local") << MsgDbLayout::Local;
        QTest::newRow("iOS 6 phone") << MsgDbLayout::Ios6Phone;
        QTest::newRow("later phone") << MsgDbLayout::LaterPhone;
    }

    void lookupsOnAnEmptyDatabaseAnswerZero_data() { layouts_data(); }
    void lookupsOnAnEmptyDatabaseAnswerZero()
    {
        QFETCH(MsgDbLayout, layout);
        auto db = openDb(layout);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({h}), h, "hi", 100);
        _MsgAttachment *a = b.attachment(m, "~/Library/SMS/Attachments/a.jpg");
        QCOMPARE(db->chatRowid(m->chat->guid), 0);
        QCOMPARE(db->handleRowid(h), 0);
        QCOMPARE(db->messageRowid(m->guid), 0);
        QCOMPARE(db->attachmentRowid(a), 0);
        QCOMPARE(db->messageRowidByLogicHash(m), 0);
        QCOMPARE(db->hasChatHandle(1, 1), false);
        QCOMPARE(db->messageCount(), 0);
    }

    void aRepeatedJoinLeavesOneRow_data()
    {
        QTest::addColumn<QString>("table");
        QTest::newRow("chat and handle") << "chat_handle_join";
        QTest::newRow("chat and message") << "chat_message_join";
        QTest::newRow("message and attachment") << "message_attachment_join";
    }
    void aRepeatedJoinLeavesOneRow()
    {
        QFETCH(QString, table);
        auto db = openDb(MsgDbLayout::Local);
        for (int i = 0; i < 2; ++i) {
            if (table == "chat_handle_join")
                db->joinChatHandle(1, 2);
            else if (table == "chat_message_join")
                db->joinChatMessage(1, 2);
            else
                db->joinMessageAttachment(1, 2);
        }
        QCOMPARE(queryValue(dbPath(), "select count(*) from " + table).toInt(), 1);
        if (table == "chat_handle_join") {
            QVERIFY(db->hasChatHandle(1, 2));
            QVERIFY(!db->hasChatHandle(2, 1));
        }
    }

    void lastOnlyRises_data()
    {
        QTest::addColumn<int>("date");
        QTest::addColumn<int>("expected");
        QTest::newRow("older") << 100 << 200;
        QTest::newRow("same") << 200 << 200;
        QTest::newRow("newer") << 300 << 300;
    }
    void lastOnlyRises()
    {
        QFETCH(int, date);
        QFETCH(int, expected);
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        const qint64 chat = db->insertChat(b.chat({b.handle("a@b.c", "iMessage")}, "iMessage"));
        db->updateChatLast(chat, 200);
        db->updateChatLast(chat, date);
        QCOMPARE(queryValue(dbPath(), "select _last from chat").toInt(), expected);
    }

    void lastOnAPhoneWithoutTheColumnDoesNothing()
    {
        auto db = openDb(MsgDbLayout::Ios6Phone);
        MsgStoreBuilder b;
        const qint64 chat = db->insertChat(b.chat({b.handle("+4917012345")}));
        // The statement would fail on the missing column if it ran.
        db->updateChatLast(chat, 300);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), 1);
    }

    void insertMessageColumns_data() { layouts_data(); }
    void insertMessageColumns()
    {
        QFETCH(MsgDbLayout, layout);
        auto db = openDb(layout);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({h}), h, "text \"quoted\"; drop table message; --", 12345);
        m->editRare().subject = QStringLiteral("");         // empty, not null: still NULL in the file
        m->cache_roomnames = QStringLiteral(""); // written whatever its value
        m->item_type = 0;
        m->editRare().is_audio_message = 1;
        const qint64 rowid = db->insertMessage(m, 7, 0, QString());
        QVERIFY(rowid > 0);
        QCOMPARE(db->messageRowid(m->guid), rowid);
        const QString where = QStringLiteral(" from message where rowid=%1").arg(rowid);
        QCOMPARE(queryValue(dbPath(), "select text" + where).toString(), m->text);
        QCOMPARE(queryValue(dbPath(), "select handle_id" + where).toLongLong(), 7);
        // An empty later phone is told by its schema to count in nanoseconds.
        QCOMPARE(queryValue(dbPath(), "select date" + where).toLongLong(),
                 layout == MsgDbLayout::LaterPhone ? 12345000000000LL : 12345LL);
        QVERIFY(!queryValue(dbPath(), "select subject" + where).isValid());
        QCOMPARE(queryValue(dbPath(), "select cache_roomnames" + where), QVariant(QString("")));

        const bool later = layout != MsgDbLayout::Ios6Phone;
        if (later) {
            QCOMPARE(queryValue(dbPath(), "select is_audio_message" + where).toInt(), 1);
            // No other handle: the column keeps its default.
            QCOMPARE(queryValue(dbPath(), "select other_handle" + where).toInt(), -1);
        }
        if (layout == MsgDbLayout::Local) {
            QCOMPARE(queryValue(dbPath(), "select logic_hash" + where).toString(), calcLogicHash(*m));
            QCOMPARE(db->messageRowidByLogicHash(m), rowid);
        } else {
            // A phone keeps no logic hash: the lookup runs no query at all.
            QCOMPARE(db->messageRowidByLogicHash(m), 0);
        }
    }

    // A written message takes the unit of the dates the file already holds,
    // so a later phone does not show it as sent in 2001.
    void insertMessageWritesDatesInTheFilesUnit_data()
    {
        QTest::addColumn<MsgDbLayout>("layout");
        QTest::addColumn<bool>("holdsAMessage");
        QTest::addColumn<qint64>("scale");
        QTest::newRow("later phone with messages") << MsgDbLayout::LaterPhone << true << qint64(1000000000);
        // Nothing to go by but the schema: a later phone counts in nanoseconds.
        QTest::newRow("empty later phone") << MsgDbLayout::LaterPhone << false << qint64(1000000000);
        QTest::newRow("empty 51-column phone") << MsgDbLayout::Ios6Phone51 << false << qint64(1);
        QTest::newRow("iOS 6 phone") << MsgDbLayout::Ios6Phone << true << qint64(1);
        QTest::newRow("51-column phone") << MsgDbLayout::Ios6Phone51 << true << qint64(1);
    }
    void insertMessageWritesDatesInTheFilesUnit()
    {
        QFETCH(MsgDbLayout, layout);
        QFETCH(bool, holdsAMessage);
        QFETCH(qint64, scale);
        MsgFixtureContent content = generateMsgContent(1, holdsAMessage ? 3 : 0, 1, 0);
        writeMsgDb(m_dir->path(), layout, content);
        IOS6MessageDb db(cacheDir(), QString(), false);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({h}), h, "new", 700000000);
        m->date_read = 700000060;
        m->date_delivered = 0; // never delivered: stays 0 in any unit
        m->editRare().date_played = 700000120;
        const qint64 rowid = db.insertMessage(m, 1, 0, QString());
        db.close();
        const QString where = QStringLiteral(" from message where rowid=%1").arg(rowid);
        QCOMPARE(queryValue(dbPath(), "select date" + where).toLongLong(), 700000000 * scale);
        QCOMPARE(queryValue(dbPath(), "select date_read" + where).toLongLong(), 700000060 * scale);
        QCOMPARE(queryValue(dbPath(), "select date_delivered" + where).toLongLong(), 0);
        if (layout != MsgDbLayout::Ios6Phone)
            QCOMPARE(queryValue(dbPath(), "select date_played" + where).toLongLong(), 700000120 * scale);
        // Read back, the new message sorts among the old ones by its real date.
        QCOMPARE(IOS6MessageDb::recordDate(queryValue(dbPath(), "select date" + where).toLongLong()), 700000000);
    }

    void insertMessageKeepsAGivenLogicHashAndOtherHandle()
    {
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({h}), h, "x", 1);
        const qint64 rowid = db->insertMessage(m, 0, 5, "0123456789abcdef0123456789abcdef");
        QCOMPARE(queryValue(dbPath(), "select logic_hash from message").toString(), "0123456789abcdef0123456789abcdef");
        QCOMPARE(queryValue(dbPath(), "select other_handle from message").toInt(), 5);
        QCOMPARE(db->messageRowidByLogicHash("0123456789abcdef0123456789abcdef"), rowid);
    }

    void insertChatWritesTheServiceAsThePhoneHadIt_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("stored");
        QTest::newRow("RCS") << "RCS" << "RCS";
        QTest::newRow("lower case sms") << "sms" << "sms";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("NULL") << QString() << "SMS";
    }
    void insertChatWritesTheServiceAsThePhoneHadIt()
    {
        QFETCH(QString, service);
        QFETCH(QString, stored);
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        _MsgChat *chat = b.chat({b.handle("+4917012345")});
        chat->service_name = service;
        const qint64 rowid = db->insertChat(chat);
        QCOMPARE(queryValue(dbPath(), QString("select service_name from chat where rowid=%1").arg(rowid)).toString(),
                 stored);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 1);
    }

    void insertChatWritesMembersAndGroupId_data()
    {
        QTest::addColumn<MsgDbLayout>("layout");
        QTest::addColumn<QString>("groupId");
        QTest::addColumn<QString>("expected"); // "<none>": the table has no column
        QTest::newRow("local, derived") << MsgDbLayout::Local << "" << "derived";
        QTest::newRow("local, given") << MsgDbLayout::Local << "G-7" << "G-7";
        QTest::newRow("iOS 6 phone") << MsgDbLayout::Ios6Phone << "G-7" << "<none>";
        QTest::newRow("later phone") << MsgDbLayout::LaterPhone << "" << "derived";
    }
    void insertChatWritesMembersAndGroupId()
    {
        QFETCH(MsgDbLayout, layout);
        QFETCH(QString, groupId);
        QFETCH(QString, expected);
        auto db = openDb(layout);
        MsgStoreBuilder b;
        _MsgHandle *known = b.handle("+4917012345");
        _MsgHandle *fresh = b.handle("a@b.c", "iMessage");
        const qint64 knownRowid = db->insertHandle(known);
        _MsgChat *chat = b.chat({known, fresh}, "iMessage");
        chat->group_id = groupId;
        chat->display_name = "Team";
        const qint64 rowid = db->insertChat(chat);
        QCOMPARE(db->chatRowid(chat->guid), rowid);
        // The known handle is reused, the other inserted; both are joined.
        QCOMPARE(queryValue(dbPath(), "select count(*) from handle").toInt(), 2);
        QCOMPARE(db->handleRowid(known), knownRowid);
        QVERIFY(db->hasChatHandle(rowid, knownRowid));
        QVERIFY(db->hasChatHandle(rowid, db->handleRowid(fresh)));
        if (expected == "<none>") {
            QVERIFY(!db->tableSqlContains("chat", "group_id", Qt::CaseSensitive));
        } else {
            const QString want = expected == "derived" ? guidFromMd5(chat->guid.toUtf8()) : expected;
            QCOMPARE(queryValue(dbPath(), "select group_id from chat").toString(), want);
        }
    }

    void insertHandleAndAttachmentColumns_data() { layouts_data(); }
    void insertHandleAndAttachmentColumns()
    {
        QFETCH(MsgDbLayout, layout);
        auto db = openDb(layout);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        h->country.clear();
        h->_ct_name = "Anna";
        h->_photo = QByteArray("\x00\x01", 2);
        const qint64 handle = db->insertHandle(h);
        QCOMPARE(db->handleRowid(h), handle);
        QVERIFY(!queryValue(dbPath(), "select country from handle").isValid());
        if (layout == MsgDbLayout::Local) {
            QCOMPARE(queryValue(dbPath(), "select _ct_name from handle").toString(), "Anna");
            QCOMPARE(queryValue(dbPath(), "select _photo from handle").toByteArray(), h->_photo);
        }
        _MsgAttachment *a = b.attachment(b.message(b.chat({h}), h, "", 1), "~/Library/SMS/Attachments/x.jpg");
        a->total_bytes = 5000000000LL;
        const qint64 attachment = db->insertAttachment(a);
        QCOMPARE(db->attachmentRowid(a), attachment);
        QCOMPARE(queryValue(dbPath(), "select filename from attachment").toString(), a->filename);
        if (layout == MsgDbLayout::Local)
            QCOMPARE(queryValue(dbPath(), "select total_bytes from attachment").toLongLong(), 5000000000LL);
    }

    // Only the probes for _last, _ct_name and _photo ignore case; the others
    // look for the column name as written.
    void probesFollowTheirCaseRules()
    {
        writeVariantDb(m_dir->path(), {{"_ct_name TEXT", "_ct_name text"},
                                       {"_photo BLOB", "_photo blob"},
                                       {"_last INTEGER", "_last integer"},
                                       {"display_name TEXT", "DISPLAY_NAME TEXT"},
                                       {"logic_hash TEXT", "LOGIC_HASH TEXT"}});
        IOS6MessageDb db(cacheDir(), QString(), false);
        db.open();
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        h->_ct_name = "Anna";
        h->_photo = QByteArray("\x89PNG", 4);
        _MsgChat *chat = b.chat({h});
        chat->display_name = "Shown";
        const qint64 chatRowid = db.insertChat(chat);
        QCOMPARE(queryValue(dbPath(), "select _ct_name from handle").toString(), "Anna");
        QCOMPARE(queryValue(dbPath(), "select _photo from handle").toByteArray(), h->_photo);
        QVERIFY(!queryValue(dbPath(), "select display_name from chat").isValid());
        db.updateChatLast(chatRowid, 55);
        QCOMPARE(queryValue(dbPath(), "select _last from chat").toInt(), 55);
        _MsgMessage *m = b.message(chat, h, "x", 1);
        db.insertMessage(m, 1, 0, QString());
        QVERIFY(!queryValue(dbPath(), "select logic_hash from message").isValid());
        QCOMPARE(db.messageRowidByLogicHash(m), 0);
    }

    void probesSeeTheTablesOfTheLastOpen()
    {
        // The same object on another file after a close: its answers must not
        // come from the file it had open before.
        // Not upgrading, so that the phone file is opened as it is.
        auto db = std::make_unique<IOS6MessageDb>(cacheDir(), QString(), false);
        db->open();
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({h}), h, "x", 1);
        db->insertMessage(m, 1, 0, QString());
        QVERIFY(db->hasLogicHash());
        db->close();
        QTemporaryDir phone;
        db->setPath(writeMsgDb(phone.path(), MsgDbLayout::Ios6Phone, {}));
        db->open();
        QVERIFY(!db->hasLogicHash());
        QVERIFY(!db->hasItemType());
        db->insertMessage(m, 1, 0, QString()); // would fail on a missing column
        QCOMPARE(queryValue(messageDbPath(phone.path()), "select count(*) from message").toInt(), 1);
    }

    void deleteMessage_data()
    {
        QTest::addColumn<int>("messagesInChat");
        QTest::addColumn<bool>("alsoInAGroup");
        QTest::addColumn<bool>("chatStays");
        QTest::newRow("the only message") << 1 << false << false;
        QTest::newRow("one of two") << 2 << false << true;
        // The group had only this message: it goes too, not only the chat
        // the record names.
        QTest::newRow("the only message, also in a group") << 1 << true << false;
        QTest::newRow("one of two, also in a group") << 2 << true << true;
    }
    void deleteMessage()
    {
        QFETCH(int, messagesInChat);
        QFETCH(bool, alsoInAGroup);
        QFETCH(bool, chatStays);
        auto db = openDb(MsgDbLayout::Local);
        {
            MsgStoreBuilder b;
            _MsgHandle *h = b.handle("+4917012345");
            _MsgChat *chat = b.chat({h});
            for (int i = 0; i < messagesInChat; ++i) {
                _MsgMessage *m = b.message(chat, i == 0 ? h : nullptr, QString("m%1").arg(i), 10 + i);
                const qint64 rowid = db->insertMessage(m, i == 0 ? 1 : 0, 0, QString());
                const qint64 chatRowid = db->chatRowid(chat->guid) ? db->chatRowid(chat->guid) : db->insertChat(chat);
                db->joinChatMessage(chatRowid, rowid);
                if (i == 0)
                    db->joinMessageAttachment(rowid, db->insertAttachment(b.attachment(m, "~/a.jpg")));
                if (i == 0 && alsoInAGroup)
                    db->joinChatMessage(db->insertChat(b.chat({h, b.handle("kim@example.org")})), rowid);
            }
        }
        // Records as the main window has them: read back from this database.
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db->messages(store, 0);
        QCOMPARE(store->messages.size(), messagesInChat);
        _MsgMessage *first = nullptr;
        for (_MsgMessage *m : store->messages) {
            if (m->text == "m0")
                first = m;
        }
        QVERIFY(first && first->chat);
        db->deleteMessage(first);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), messagesInChat - 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_message_join").toInt(), messagesInChat - 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message_attachment_join").toInt(), 0);
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 0);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), chatStays ? 1 : 0);
        QCOMPARE(db->messageCount(), messagesInChat - 1);
    }

    void deleteMessageWithoutChat()
    {
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgChat *chat = b.chat({h});
        const qint64 chatRowid = db->insertChat(chat);
        _MsgMessage *m = b.message(nullptr, h, "loose", 1);
        m->rowid = db->insertMessage(m, 1, 0, QString());
        db->deleteMessage(m);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 0);
        // The chat is left alone even though it has no message.
        QCOMPARE(db->chatRowid(chat->guid), chatRowid);
    }

    void messageCountLeavesOutItemTypeFour()
    {
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917012345");
        _MsgChat *chat = b.chat({h});
        const qint64 chatRowid = db->insertChat(chat);
        for (int type : {0, 1, 4, 0}) {
            _MsgMessage *m = b.message(chat, h, "x", 1);
            m->item_type = type;
            db->joinChatMessage(chatRowid, db->insertMessage(m, 1, 0, QString()));
        }
        b.message(chat, h, "not joined", 2);
        db->insertMessage(b.messages().last(), 1, 0, QString());
        QCOMPARE(db->messageCount(), 3);
    }

    void setLastAddressedHandleBindsTheText()
    {
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        const qint64 chat = db->insertChat(b.chat({b.handle("+491"), b.handle("+492")}));
        db->setLastAddressedHandle(chat, "o'brien@example.com");
        QCOMPARE(queryValue(dbPath(), "select last_addressed_handle from chat").toString(), "o'brien@example.com");
    }

    void statementsArePreparedOncePerText()
    {
        // Writing many rows must reuse its statements: numbers are bound, not
        // written into the SQL.
        auto db = openDb(MsgDbLayout::Local);
        MsgStoreBuilder b;
        QList<_MsgHandle *> handles;
        for (int i = 0; i < 10; ++i)
            handles << b.handle(QString("+4917000%1").arg(i));
        db->beginTransaction();
        const int before = db->preparedCount();
        for (int i = 0; i < 300; ++i) {
            _MsgHandle *h = handles[i % 10];
            _MsgChat *chat = b.chat({h});
            chat->guid += QString::number(i);
            const qint64 chatRowid = db->insertChat(chat);
            _MsgMessage *m = b.message(chat, h, QString("message %1").arg(i), i);
            const qint64 rowid = db->insertMessage(m, db->handleRowid(h), 0, QString());
            db->joinChatMessage(chatRowid, rowid);
            db->updateChatLast(chatRowid, i);
            db->hasChatHandle(chatRowid, 1);
            db->messageRowidByLogicHash(m);
        }
        db->endTransaction(true);
        QVERIFY2(db->preparedCount() - before < 20, qPrintable(QString::number(db->preparedCount() - before)));
        QCOMPARE(db->messageCount(), 300);
    }
};

QP_TEST_MAIN(TestIOS6MessageDbWrite)

} // namespace tst_ios6messagedbwrite

#include "tst_ios6messagedbwrite.moc"
