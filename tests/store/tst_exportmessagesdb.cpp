// The local-database writer: its duplicate rules across runs and sources,
// the attachment copies, and what a failed run leaves behind.
#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "platform/sqlite_qt/sqlite3exception.h"
#include "store/exportmessagesdb.h"
#include "store/messagerecycledb.h"
#include "store/msgtext.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/filefixture.h"
#include "tests/support/countryfixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>

#include <sqlite3.h>

namespace tst_exportmessagesdb {

using namespace testsupport;

namespace {

// One begin .. end run of the messages.
void runWriter(ExportMessagesDb &writer, const QList<_MsgMessage *> &messages)
{
    writer.begin();
    for (const _MsgMessage *m : messages)
        writer.write(*m);
    writer.end();
}

// A copy of m under a new guid, as another source would deliver it.
_MsgMessage *sameContentNewGuid(MsgStoreBuilder &b, const _MsgMessage *m)
{
    _MsgMessage *copy = b.message(m->chat, m->handle, m->text, m->date);
    copy->is_from_me = m->is_from_me;
    return copy;
}

} // namespace

class TestExportMessagesDb : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QDir dbDir() const { return QDir(m_dir->path() + "/a/b/c/db"); }
    QString dbPath() const { return messageDbPath(dbDir().absolutePath()); }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    // ---- duplicate rules --------------------------------------------------------

    void duplicateRules_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("phoneTarget"); // an iOS 6 phone file written as it is
        QTest::addColumn<int>("messages");     // message rows afterwards
        QTest::addColumn<int>("chats");
        QTest::newRow("same message twice in one run") << "twice in one run" << false << 1 << 1;
        QTest::newRow("same message in two runs") << "two runs" << false << 1 << 1;
        QTest::newRow("same content, new guid, local") << "new guid" << false << 1 << 1;
        QTest::newRow("same content, new guid, no logic_hash") << "new guid" << true << 2 << 1;
        QTest::newRow("same guid, other content, no logic_hash") << "same guid" << true << 1 << 1;
        QTest::newRow("item type 1 with the column") << "item type 1" << false << 1 << 1;
        QTest::newRow("item type 1 without the column") << "item type 1" << true << 0 << 0;
        QTest::newRow("made-up chat at the base") << "chat -2047483647" << false << 0 << 0;
        QTest::newRow("chat one above the base") << "chat -2047483646" << false << 1 << 1;
        QTest::newRow("no chat") << "no chat" << false << 0 << 0;
        QTest::newRow("two chats, one guid") << "chat guid" << false << 2 << 1;
        // A foreign or damaged file: different messages under one guid, or
        // under none, all land (the later under a fresh guid).
        QTest::newRow("one guid, other content, local") << "same guid" << false << 2 << 1;
        QTest::newRow("one guid, other content, in one run") << "guid twice in one run" << false << 2 << 1;
        QTest::newRow("empty guids") << "empty guids" << false << 2 << 1;
        QTest::newRow("empty guids, written again") << "empty guids twice" << false << 2 << 1;
    }
    void duplicateRules()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, phoneTarget);
        QFETCH(int, messages);
        QFETCH(int, chats);
        if (phoneTarget)
            writeMsgDb(dbDir().absolutePath(), MsgDbLayout::Ios6Phone, {});
        ExportMessagesDb writer(dbDir(), QString(), !phoneTarget);
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        _MsgMessage *m = b.message(chat, anna, "Hello \xf0\x9f\x98\x80", 1000);
        if (scenario == "twice in one run") {
            runWriter(writer, {m, m});
        } else if (scenario == "two runs") {
            runWriter(writer, {m});
            runWriter(writer, {m});
        } else if (scenario == "new guid") {
            runWriter(writer, {m});
            runWriter(writer, {sameContentNewGuid(b, m)});
        } else if (scenario == "same guid") {
            runWriter(writer, {m});
            m->text = "edited";
            runWriter(writer, {m});
        } else if (scenario == "guid twice in one run") {
            _MsgMessage *other = b.message(chat, nullptr, "another one", 1001);
            other->guid = m->guid;
            runWriter(writer, {m, other});
            QCOMPARE(writer.writtenCount(), 2);
        } else if (scenario.startsWith("empty guids")) {
            _MsgMessage *other = b.message(chat, nullptr, "another one", 1001);
            m->guid = QString();
            other->guid = "";
            runWriter(writer, {m, other});
            QCOMPARE(writer.writtenCount(), 2);
            if (scenario.endsWith("twice")) {
                runWriter(writer, {m, other});
                QCOMPARE(writer.writtenCount(), 0);
            }
            QCOMPARE(queryValue(dbPath(), "select count(distinct guid) from message where guid <> ''").toInt(), 2);
        } else if (scenario == "item type 1") {
            m->item_type = 1;
            runWriter(writer, {m});
        } else if (scenario.startsWith("chat -")) {
            chat->rowid = scenario.mid(5).toLongLong();
            runWriter(writer, {m});
        } else if (scenario == "no chat") {
            m->chat = nullptr;
            runWriter(writer, {m});
        } else if (scenario == "chat guid") {
            // The same conversation read from another source under another rowid.
            MsgStoreBuilder other;
            _MsgHandle *anna2 = other.handle("+4917012345");
            _MsgChat *chat2 = other.chat({anna2}, "SMS", 77);
            QCOMPARE(chat2->guid, chat->guid);
            _MsgMessage *m2 = other.message(chat2, anna2, "another", 2000);
            m2->guid = "FROM-THE-OTHER-SOURCE";
            runWriter(writer, {m, m2});
        } else {
            QFAIL("unknown scenario");
        }
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), messages);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), chats);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_message_join").toInt(), messages);
        // Never more than the one handle, joined once.
        QCOMPARE(queryValue(dbPath(), "select count(*) from handle").toInt(), chats ? 1 : 0);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), chats ? 1 : 0);
    }

    void storedMessageKeepsItsLinks()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgHandle *ben = b.handle("ben@example.com", "iMessage");
        _MsgChat *chat = b.chat({anna}, "SMS");
        _MsgMessage *late = b.message(chat, anna, "late", 300);
        _MsgMessage *early = b.message(chat, nullptr, "early, by me", 100);
        late->editRare().otherHandle = ben; // a group event's other party
        runWriter(writer, {late, early});

        QCOMPARE(queryValue(dbPath(), "select _last from chat").toInt(), 300);
        QCOMPARE(queryValue(dbPath(), "select handle_id from message where text='early, by me'").toInt(), 0);
        const qint64 annaRowid = queryValue(dbPath(), "select rowid from handle where id='+4917012345'").toLongLong();
        const qint64 benRowid = queryValue(dbPath(), "select rowid from handle where id='ben@example.com'").toLongLong();
        QCOMPARE(queryValue(dbPath(), "select handle_id from message where text='late'").toLongLong(), annaRowid);
        QCOMPARE(queryValue(dbPath(), "select other_handle from message where text='late'").toLongLong(), benRowid);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 2);
        QCOMPARE(queryValue(dbPath(), "select logic_hash from message where text='late'").toString(), calcLogicHash(*late));
        // A one-to-one chat has no last addressed handle.
        QVERIFY(!queryValue(dbPath(), "select last_addressed_handle from chat").isValid());

        // A later run: an older message leaves the chat's date, a newer one raises it.
        runWriter(writer, {b.message(chat, anna, "older", 200)});
        QCOMPARE(queryValue(dbPath(), "select _last from chat").toInt(), 300);
        runWriter(writer, {b.message(chat, anna, "newer", 400), b.message(chat, anna, "between", 350)});
        QCOMPARE(queryValue(dbPath(), "select _last from chat").toInt(), 400);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 5);
    }

    void aDuplicatesSenderIsJoinedToTheChat()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({anna}), anna, "hi", 1);
        runWriter(writer, {m});
        {
            Sqlite3DB raw;
            raw.openThrow(dbPath(), 2);
            raw.executeThrow(Sqlite3Sql("delete from chat_handle_join"));
        }
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 0);
        runWriter(writer, {m});
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 1);
    }

    void aGroupChatKeepsTheLastSender()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *a = b.handle("+491");
        _MsgHandle *bb = b.handle("+492");
        _MsgHandle *c = b.handle("+493");
        _MsgChat *group = b.chat({a, bb, c});
        _MsgMessage *fromA = b.message(group, a, "from A", 1);
        _MsgMessage *fromB = b.message(group, bb, "from B", 2);
        _MsgMessage *fromMe = b.message(group, nullptr, "from me", 3);
        runWriter(writer, {fromA, fromB, fromMe});
        QCOMPARE(queryValue(dbPath(), "select last_addressed_handle from chat").toString(), "+492");
        // Duplicates count too: the last message written decides.
        runWriter(writer, {fromA});
        QCOMPARE(queryValue(dbPath(), "select last_addressed_handle from chat").toString(), "+491");
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 3);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 3);
    }

    // Flags phones set on few messages live in the block of rare columns; set,
    // they reach the file and come back from it, and a message without them
    // is read back without a block.
    void rareFlagsReachTheFileAndComeBack_data()
    {
        QTest::addColumn<QString>("column");
        QTest::newRow("is_system_message") << "is_system_message";
        QTest::newRow("is_service_message") << "is_service_message";
        QTest::newRow("was_downgraded") << "was_downgraded";
        QTest::newRow("is_forward") << "is_forward";
    }
    void rareFlagsReachTheFileAndComeBack()
    {
        QFETCH(QString, column);
        const QHash<QString, int _MsgMessageRare::*> members{
            {"is_system_message", &_MsgMessageRare::is_system_message},
            {"is_service_message", &_MsgMessageRare::is_service_message},
            {"was_downgraded", &_MsgMessageRare::was_downgraded},
            {"is_forward", &_MsgMessageRare::is_forward},
        };
        int _MsgMessageRare::*member = members.value(column);
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        _MsgMessage *flagged = b.message(chat, anna, "flagged", 1);
        flagged->editRare().*member = 1;
        _MsgMessage *plain = b.message(chat, anna, "plain", 2);
        runWriter(writer, {flagged, plain});
        QCOMPARE(queryValue(dbPath(), "select " + column + " from message where text = 'flagged'").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select " + column + " from message where text = 'plain'").toInt(), 0);

        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        writer.database().messages(store, 0);
        QCOMPARE(store->messages.size(), 2);
        for (const _MsgMessage *m : std::as_const(store->messages)) {
            if (m->text == "flagged")
                QCOMPARE(m->rare().*member, 1);
            else
                QVERIFY(m->rare().isDefault());
        }
    }

    // The writer remembers which row each chat and handle record went to; a
    // record whose key texts change during the run is another row.
    void recordsEditedDuringARunGoToTheirNewRows_data()
    {
        QTest::addColumn<bool>("inPlace"); // the characters edited, not the text replaced
        QTest::newRow("texts replaced") << false;
        QTest::newRow("texts edited in place") << true;
    }
    void recordsEditedDuringARunGoToTheirNewRows()
    {
        QFETCH(bool, inPlace);
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        const QString firstGuid = chat->guid;
        _MsgMessage *first = b.message(chat, anna, "first", 1);
        _MsgMessage *second = b.message(chat, anna, "second", 2);
        writer.begin();
        writer.write(*first);
        if (inPlace) {
            chat->guid[chat->guid.size() - 1] = QLatin1Char('X');
            anna->id[anna->id.size() - 1] = QLatin1Char('9');
        } else {
            chat->guid = firstGuid + "-other";
            anna->id = "+4917099999";
        }
        writer.write(*second);
        writer.end();

        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), 2);
        QCOMPARE(queryValue(dbPath(), "select count(*) from handle").toInt(), 2);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 2);
        QCOMPARE(queryValue(dbPath(), "select c.guid from chat as c inner join chat_message_join as j on "
                                      "j.chat_id = c.rowid inner join message as m on m.rowid = j.message_id "
                                      "where m.text = 'second'")
                     .toString(),
                 chat->guid);
        QCOMPARE(queryValue(dbPath(), "select h.id from handle as h inner join message as m on m.handle_id = h.rowid "
                                      "where m.text = 'second'")
                     .toString(),
                 anna->id);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join as j inner join chat as c on "
                                      "c.rowid = j.chat_id where c.guid = '" + firstGuid + "'")
                     .toInt(),
                 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 2);
    }

    // Far more logic hashes than the run's table was sized for at its begin:
    // every one is still found after the table grew, in the run and after.
    void manyMessagesAreEachWrittenOnce()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        QList<_MsgMessage *> early, late;
        for (int i = 0; i < 300; ++i)
            early << b.message(chat, i % 2 ? anna : nullptr, QStringLiteral("message %1").arg(i), 1000 + i);
        for (int i = 0; i < 700; ++i)
            late << b.message(chat, anna, QStringLiteral("later %1").arg(i), 5000 + i);
        runWriter(writer, early + early);
        QCOMPARE(writer.writtenCount(), 300);
        // Copies under new guids: only the logic hash tells they are stored.
        QList<_MsgMessage *> copies;
        for (const _MsgMessage *m : std::as_const(early))
            copies << sameContentNewGuid(b, m);
        runWriter(writer, late + copies + late);
        QCOMPARE(writer.writtenCount(), 700);
        runWriter(writer, copies + late + early);
        QCOMPARE(writer.writtenCount(), 0);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 1000);
        QCOMPARE(queryValue(dbPath(), "select count(distinct logic_hash) from message").toInt(), 1000);
    }

    void aChatThatCannotBeWrittenIsLeftOutAndCounted()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgHandle *nameless = b.handle(QString()); // a damaged record: no id
        _MsgMessage *before = b.message(b.chat({anna}), anna, "before", 1);
        _MsgChat *broken = b.chat({nameless, anna}, "RCS");
        _MsgMessage *lost1 = b.message(broken, anna, "lost", 2);
        _MsgMessage *lost2 = b.message(broken, nullptr, "lost too", 3);
        _MsgMessage *after = b.message(before->chat, nullptr, "after", 4);
        runWriter(writer, {before, lost1, lost2, after});
        QCOMPARE(writer.writtenCount(), 2);
        QCOMPARE(writer.leftOutCount(), 2);
        QCOMPARE(writer.leftOutChatCount(), 1);
        QCOMPARE(queryValue(dbPath(), "select group_concat(text, '|') from (select text from message order by rowid)")
                     .toString(),
                 "before|after");
        // Nothing of the refused chat stays half-written.
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from chat_handle_join").toInt(), 1);
    }

    // Only a row the schema refuses costs just its chat: a statement the file
    // cannot run at all fails the run instead of dropping every chat quietly.
    void aFailingChatStatementStillEndsTheRun()
    {
        writeMsgDb(dbDir().absolutePath(), MsgDbLayout::Ios6Phone, {});
        {
            Sqlite3DB raw;
            raw.openThrow(dbPath(), 2);
            raw.executeThrow(Sqlite3Sql("ALTER TABLE chat RENAME COLUMN chat_identifier TO chat_ident"));
        }
        ExportMessagesDb writer(dbDir(), QString(), false);
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({anna}), anna, "hi", 1);
        writer.begin();
        QVERIFY_THROWS_EXCEPTION(Sqlite3Exception, writer.write(*m));
        writer.abort();
        QCOMPARE(writer.leftOutCount(), 0);
    }

    void endWithoutBeginCommitsNothing()
    {
        ExportMessagesDb writer(dbDir(), QString());
        writer.end();
        QVERIFY(!writer.database().isOpen());
    }

    void aFailedCommitThrowsAndKeepsTheFileAsItWas()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        runWriter(writer, {b.message(chat, anna, "first run", 1)});

        // A reader in the middle of a read transaction holds the lock the
        // commit needs.
        sqlite3 *reader = nullptr;
        QCOMPARE(sqlite3_open_v2(dbPath().toUtf8().constData(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        QCOMPARE(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM message;", nullptr, nullptr, nullptr), SQLITE_OK);

        writer.begin();
        writer.write(*b.message(chat, anna, "second run", 2));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, writer.end());
        QVERIFY(!writer.database().isOpen());
        sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(reader);

        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select text from message").toString(), "first run");
        // The writer can run again afterwards.
        runWriter(writer, {b.message(chat, anna, "third run", 3)});
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 2);
    }

    // ---- attachments ------------------------------------------------------------

    void attachmentTarget_data()
    {
        QTest::addColumn<QString>("phonePath");
        QTest::addColumn<QString>("expected"); // below the "file-relay" folder; "" = refused
        QTest::addColumn<QString>("link");     // a symbolic link planted there first, if any
        QTest::addColumn<bool>("dangling");    // the link points nowhere, else to a folder outside
        auto row = [](const char *name, const QString &phonePath, const QString &expected,
                      const QString &link = QString(), bool dangling = false) {
            QTest::newRow(name) << phonePath << expected << link << dangling;
        };
        row("home", "~/Library/SMS/Attachments/0a/10/IMG_1.jpg",
            "var/mobile/Library/SMS/Attachments/0a/10/IMG_1.jpg");
        row("var mobile", "/var/mobile/Library/SMS/Attachments/0a/10/IMG_1.jpg",
            "var/mobile/Library/SMS/Attachments/0a/10/IMG_1.jpg");
        row("seven characters removed", "~/Library/a:b*c?d\"e<f>g|h.jpg", "var/mobile/Library/abcdefgh.jpg");
        row("no other characters removed", "~/L/back\\slash #%&'()+,;=@[]^`{}~ é.jpg",
            "var/mobile/L/back\\slash #%&'()+,;=@[]^`{}~ é.jpg");
        row("relative stays relative", "Media/x.jpg", "Media/x.jpg");
        row("tilde only at the start", "/a/~/b.jpg", "a/~/b.jpg");
        row("cleaned inside", "~/a/./b//../c.jpg", "var/mobile/a/c.jpg");
        row("dot dot that stays inside", "/var/mobile/../x.jpg", "var/x.jpg");
        row("climbing out from home", "~/../../../etc/passwd", "");
        row("climbing out from the root", "/../x.jpg", "");
        row("climbing out to the contacts cache", "~/../../../ct-phone.db", "");
        row("only dots", "..", "");
        row("doubled leading slash", "//etc/passwd", "");
        row("empty", "", "");
        row("characters removed to nothing", "::??", "");
        row("a NUL cutting the name short", QString("~/Library/SMS/sms.db") + QChar(0) + ".jpg", "");
        row("a line break", "~/Library/SMS/Attachments/a\nb.jpg", "");

        // The program's own files in the folder.
        row("the database's write-ahead log", "~/Library/SMS/sms.db-wal", "");
        row("the database's journal", "/var/mobile/Library/SMS/sms.db-journal", "");
        row("the database itself", "~/Library/SMS/sms.db", "");
        row("the database through a detour", "~/Library/SMS/Attachments/../sms.db-shm", "");
        row("a side file made by removed characters", "~/Library/SMS/sms.db-w:al", "");
        row("a side file in other case", "~/Library/SMS/SMS.DB-WAL", "");
        row("below a side file's name", "~/Library/SMS/sms.db-journal/x.jpg", "");
        row("the address book", "~/Library/AddressBook/AddressBook.sqlitedb", "");
        row("the address book folder", "~/Library/AddressBook", "");
        row("the address book's images log", "~/Library/AddressBook/AddressBookImages.sqlitedb-wal", "");
        row("a name like the log elsewhere", "~/Library/SMS/Attachments/ab/01/sms.db-wal.jpg",
            "var/mobile/Library/SMS/Attachments/ab/01/sms.db-wal.jpg");
        row("not a side file", "~/Library/SMS/sms.db.jpg", "var/mobile/Library/SMS/sms.db.jpg");
        row("a folder named like the address book's", "~/Library/AddressBookOld/a.jpg",
            "var/mobile/Library/AddressBookOld/a.jpg");

        // Symbolic links inside the folder lead anywhere.
        row("below a planted link", "~/Library/SMS/Attachments/ab/01/IMG_1.jpg", "",
            "var/mobile/Library/SMS/Attachments/ab");
        row("on a planted link", "~/Library/SMS/Attachments/ab", "", "var/mobile/Library/SMS/Attachments/ab");
        row("on a dangling link", "~/Library/SMS/Attachments/ab", "", "var/mobile/Library/SMS/Attachments/ab", true);
        row("beside a planted link", "~/Library/SMS/Attachments/ac/IMG_1.jpg",
            "var/mobile/Library/SMS/Attachments/ac/IMG_1.jpg", "var/mobile/Library/SMS/Attachments/ab");
    }
    void attachmentTarget()
    {
        QFETCH(QString, phonePath);
        QFETCH(QString, expected);
        QFETCH(QString, link);
        QFETCH(bool, dangling);
        const QString root = dbDir().absoluteFilePath("file-relay");
        if (!link.isEmpty()) {
            const QString outside = m_dir->path() + (dangling ? "/nowhere" : "/outside");
            if (!dangling)
                QVERIFY(QDir().mkpath(outside));
            QVERIFY(QDir().mkpath(QFileInfo(root + "/" + link).absolutePath()));
            QVERIFY(QFile::link(outside, root + "/" + link));
        }
        const QString got = ExportMessagesDb::attachmentTarget(dbDir(), phonePath);
        QCOMPARE(got, expected.isEmpty() ? QString() : root + "/" + expected);
    }

    void attachmentsAreCopiedOnceAndRowsAlwaysWritten()
    {
        const QString source1 = m_dir->path() + "/src/one.jpg";
        const QString source2 = m_dir->path() + "/src/two.jpg";
        writeFile(source1, "first");
        writeFile(source2, "second");
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        _MsgMessage *m = b.message(chat, anna, "\xef\xbf\xbc", 1);
        _MsgMessage *n = b.message(chat, anna, "\xef\xbf\xbc again", 2);
        // Two phone paths of one file: the second finds the first's copy.
        b.attachment(m, "~/Library/SMS/Attachments/x:y?.jpg", source1);
        b.attachment(n, "/var/mobile/Library/SMS/Attachments/xy.jpg", source2);
        // No file on this computer: only the row.
        b.attachment(n, "~/Library/SMS/Attachments/gone.jpg", m_dir->path() + "/src/missing.jpg");
        runWriter(writer, {m, n});

        const QString target = writer.fileRelayPath() + "/var/mobile/Library/SMS/Attachments/xy.jpg";
        QCOMPARE(readFile(target), QByteArray("first"));
        QVERIFY(!QFileInfo::exists(writer.fileRelayPath() + "/var/mobile/Library/SMS/Attachments/gone.jpg"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 3);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message_attachment_join").toInt(), 3);
        QCOMPARE(queryValue(dbPath(), "select filename from attachment where guid='AT-1'").toString(),
                 "~/Library/SMS/Attachments/x:y?.jpg");

        // A later run finds the rows and leaves a changed file alone.
        writeFile(target, "changed");
        runWriter(writer, {m, n});
        QCOMPARE(readFile(target), QByteArray("changed"));
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 3);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message_attachment_join").toInt(), 3);
    }

    // A full disk part-way through an attachment: the run ends with the
    // system's reason, none of its rows stay, and no half file is left where
    // a later run would take it for the whole one.
    void aFailedAttachmentCopyEndsTheRun()
    {
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        runWriter(writer, {b.message(chat, anna, "before", 1)});
        QVERIFY(QFileInfo(dbPath()).size() < 512 * 1024);

        const QString source = m_dir->path() + "/src/video.mov";
        writeFile(source, QByteArray(2 * 1024 * 1024, 'v'));
        _MsgMessage *m = b.message(chat, anna, "\xef\xbf\xbc", 2);
        b.attachment(m, "~/Library/SMS/Attachments/ab/video.mov", source);
        QString error;
        {
            FileSizeLimit full(1024 * 1024);
            try {
                runWriter(writer, {m});
            } catch (const std::runtime_error &e) {
                error = QString::fromUtf8(e.what());
                writer.abort();
            }
        }
        QVERIFY2(error.contains("File too large") || error.contains("No space"), qPrintable(error));
        const QString target = writer.fileRelayPath() + "/var/mobile/Library/SMS/Attachments/ab/video.mov";
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 0);

        // With room again the same run stores the message and the whole file.
        runWriter(writer, {m});
        QCOMPARE(readFile(target).size(), 2 * 1024 * 1024);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 2);
    }

    void refusedAttachmentPathsCopyNothing_data()
    {
        QTest::addColumn<QString>("phonePath");
        QTest::addColumn<QString>("link"); // a symbolic link to a folder outside, planted first
        QTest::newRow("climbing from home") << "~/../../../../../../escaped.txt" << "";
        QTest::newRow("climbing from the root") << "/../../../../../escaped.txt" << "";
        QTest::newRow("absolute after the slash") << "/<tmp>/escaped.txt" << "";
        QTest::newRow("the database's journal") << "/var/mobile/Library/SMS/sms.db-journal" << "";
        QTest::newRow("the database itself") << "~/Library/SMS/sms.db" << "";
        QTest::newRow("the address book") << "~/Library/AddressBook/AddressBook.sqlitedb" << "";
        QTest::newRow("below a planted link") << "~/Library/SMS/Attachments/ab/01/IMG_1.jpg"
                                              << "var/mobile/Library/SMS/Attachments/ab";
    }
    void refusedAttachmentPathsCopyNothing()
    {
        QFETCH(QString, phonePath);
        QFETCH(QString, link);
        phonePath.replace("<tmp>", m_dir->path());
        const QString source = m_dir->path() + "/src/payload.txt";
        writeFile(source, "payload");
        ExportMessagesDb writer(dbDir(), QString());
        if (!link.isEmpty()) {
            const QString planted = writer.fileRelayPath() + "/" + link;
            QVERIFY(QDir().mkpath(m_dir->path() + "/outside"));
            QVERIFY(QDir().mkpath(QFileInfo(planted).absolutePath()));
            QVERIFY(QFile::link(m_dir->path() + "/outside", planted));
        }
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgMessage *m = b.message(b.chat({anna}), anna, "x", 1);
        b.attachment(m, phonePath, source);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^ExportMessagesDb: attachment AT-1 not copied, its path \"" +
                                                QRegularExpression::escape(phonePath) + "\""));
        runWriter(writer, {m});

        QStringList copies;
        QDirIterator it(m_dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString f = it.next();
            if (readFile(f) == "payload" && f != source)
                copies << f;
        }
        QVERIFY2(copies.isEmpty(), qPrintable(copies.join(", ")));
        QCOMPARE(queryValue(dbPath(), "select count(*) from message").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select count(*) from attachment").toInt(), 1);
        QCOMPARE(queryValue(dbPath(), "select filename from attachment").toString(), phonePath);
        QCOMPARE(queryValue(dbPath(), "select count(*) from message_attachment_join").toInt(), 1);
    }

    void anAttachmentThatIsADatabaseLogLeavesTheDatabaseAlone()
    {
        // A phone path naming the local database's own write-ahead log, with
        // a real log behind it: one of an empty database of the same layout.
        // Copied there, SQLite would read that empty database at the next
        // open instead of the messages stored so far.
        const QString source = m_dir->path() + "/src/sms.db-wal";
        writeFile(source, writeAheadLogOf(MsgDbLayout::Local, {}));
        ExportMessagesDb writer(dbDir(), QString());
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        _MsgChat *chat = b.chat({anna});
        QList<_MsgMessage *> earlier;
        for (int i = 0; i < 50; ++i)
            earlier << b.message(chat, i % 2 ? nullptr : anna, QString("message %1 \xf0\x9f\x98\x80").arg(i),
                                 100 + i);
        runWriter(writer, earlier);

        _MsgMessage *carrier = b.message(chat, anna, "\xef\xbf\xbc", 1000);
        b.attachment(carrier, "~/Library/SMS/sms.db-wal", source);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^ExportMessagesDb: attachment AT-1 not copied"));
        runWriter(writer, {carrier});

        QVERIFY(!QFileInfo::exists(dbPath() + "-wal"));
        IOS6MessageDb db(dbDir(), QString(), true);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.messages(store, 0);
        QCOMPARE(store->messages.size(), 51);
        for (const _MsgMessage *m : std::as_const(earlier)) {
            const qint64 rowid = db.messageRowid(m->guid);
            QVERIFY2(rowid > 0, qPrintable(m->guid));
            QCOMPARE(store->messages.value(rowid)->text, m->text);
        }
    }
};

QP_TEST_MAIN(TestExportMessagesDb)

} // namespace tst_exportmessagesdb

#include "tst_exportmessagesdb.moc"
