// Writes the seed inputs of every fuzz target into a corpus folder, made by
// the test fixture builders (and, for property lists, by libplist's writer):
//   fuzz_seeds fuzz/corpus
// Databases are rewritten with 512-byte pages so that a seed holding every
// table of a layout stays a few dozen kilobytes. Run by hand when a fixture
// layout changes; the seeds are committed.
#include "tests/support/addressbookfixture.h"
#include "tests/support/attributedbodyfixture.h"
#include "tests/support/backupfixture.h"
#include "tests/support/cpioarchivefixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/oldlocaldbfixture.h"
#include "tests/support/plistfixture.h"
#include "tests/support/rawdbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>

using namespace testsupport;

namespace {

QDir g_corpus;
// The device-link layer's stand-in for an empty parameter.
const char *const kEmptyParameter = "___EmptyParameterString___";
QTemporaryDir *g_work = nullptr;

void save(const QString &target, const QString &name, const QByteArray &bytes)
{
    const QString folder = g_corpus.absoluteFilePath(target);
    QDir().mkpath(folder);
    QFile file(folder + "/seed-" + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error(QString("cannot write %1").arg(file.fileName()).toStdString());
}

// The database after an optional script, vacuumed into small pages, as bytes.
QByteArray compacted(const QString &path, const QString &script = QString())
{
    {
        SqliteFixture db(path);
        if (!script.isEmpty())
            db.exec(script);
        db.exec("PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM;");
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(QString("cannot read %1").arg(path).toStdString());
    return file.readAll();
}

QString freshFolder(const QString &name)
{
    const QString folder = g_work->filePath(name);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    return folder;
}

// ---- property lists ---------------------------------------------------------

QByteArray toBytes(plist_t root, bool binary)
{
    char *out = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(root, &out, &length);
    else
        plist_to_xml(root, &out, &length);
    const QByteArray bytes(out, int(length));
    std::free(out);
    return bytes;
}

// A manifest-like dictionary with every kind of value the readers ask for.
plist_t richPlist()
{
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Name", plist_new_string("Ann's iPhone \xf0\x9f\x98\x80"));
    plist_dict_set_item(root, "IsEncrypted", plist_new_bool(1));
    plist_dict_set_item(root, "Date", plist_new_date(600000000, 250000));
    plist_dict_set_item(root, "Count", plist_new_uint(4000000000ULL));
    plist_dict_set_item(root, "Ratio", plist_new_real(0.5));
    const char data[] = "\x00\x01\x02\xff";
    plist_dict_set_item(root, "Data", plist_new_data(data, 4));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("+4917012345678"));
    plist_array_append_item(list, plist_new_string("friend@example.com"));
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "Version", plist_new_string("5.1.1"));
    plist_dict_set_item(inner, "Empty", plist_new_array());
    plist_array_append_item(list, inner);
    plist_dict_set_item(root, "Applications", list);
    return root;
}

void plistSeeds()
{
    plist_t rich = richPlist();
    save("plist", "rich.bplist", toBytes(rich, true));
    save("plist", "rich.xml", toBytes(rich, false));
    plist_free(rich);
    save("plist", "nested.bplist", nestedPlist(6, true));
    save("plist", "nested.xml", nestedPlist(6, false));
    // One string shared by two arrays: libplist copies it for each.
    save("plist", "shared.bplist",
         binaryPlist({bplistArray({1, 2, 2}), bplistArray({2}), bplistAsciiString("shared")}));

    const QStringList people{"+4917012345678", "friend@example.com", QString::fromUtf8("Zoë 😀")};
    save("participants", "three.bplist", plistStringArray(people, true));
    save("participants", "three.xml", plistStringArray(people, false));
    save("participants", "empty.bplist", plistStringArray({}, true));
    QStringList many;
    for (int i = 0; i < 20; ++i)
        many << QString("+9198765%1").arg(43210 + i);
    save("participants", "twenty.bplist", plistStringArray(many, true));
}

// ---- iOS 5 message databases ---------------------------------------------------

Ios5Member member(qint64 rowid, const QString &address, const QString &country)
{
    Ios5Member m;
    m.rowid = rowid;
    m.address = address;
    m.country = country;
    return m;
}

Ios5Message sms(qint64 rowid, qint64 group, const QString &address, int flags, const QString &text)
{
    Ios5Message m;
    m.rowid = rowid;
    m.groupId = group;
    m.address = address;
    m.country = "in";
    m.flags = flags;
    m.date = 1300000000 + rowid * 60;
    m.text = text;
    return m;
}

Ios5Message imessage(qint64 rowid, const QString &room, const QString &handle, const QString &text)
{
    Ios5Message m;
    m.rowid = rowid;
    m.isMadrid = true;
    m.madridRoomname = room;
    m.madridHandle = handle;
    m.date = 340000000 + int(rowid) * 60;
    m.madridDateRead = int(m.date) + 1;
    m.madridDateDelivered = int(m.date) + 2;
    m.madridGuid = QString("IM-%1").arg(rowid);
    m.madridAccount = "e:me@example.com";
    m.madridAccountGuid = "ACCOUNT-1";
    m.attributedBody = "streamtyped";
    m.text = text;
    return m;
}

// A one-to-one and a group SMS chat, an iMessage chat with an e-mail handle
// and an iMessage group, with emoji and the object placeholder in texts.
Ios5Content ios5Content(bool withIMessage, bool binaryPlists)
{
    Ios5Content c;
    c.withIMessage = withIMessage;
    Ios5Group one;
    one.rowid = 1;
    one.hash = 111;
    one.newestMessage = 2;
    one.members = {member(1, "98765 43210", "in")};
    Ios5Group group;
    group.rowid = 2;
    group.hash = -222;
    group.newestMessage = 4;
    group.members = {member(2, "09876543210", "in"), member(3, "+49 170 1234567", "de"),
                     member(4, "friend@example.com", "")};
    c.groups = {one, group};
    c.messages = {sms(1, 1, "98765 43210", 2, "Hello"),
                  sms(2, 1, "98765 43210", 3, QString::fromUtf8("Hi back 😀")),
                  sms(3, 2, "+49 170 1234567", 2, QString(QChar(0xFFFC)) + "photo"),
                  sms(4, 2, "09876543210", 3, "")};
    if (withIMessage) {
        Ios5MadridChat person;
        person.rowid = 1;
        person.identifier = "Friend@Example.com";
        person.participants = plistStringArray({"Friend@Example.com"}, binaryPlists);
        person.accountId = "ACC";
        person.accountLogin = "E:me@example.com";
        Ios5MadridChat pair;
        pair.rowid = 2;
        pair.style = 43;
        pair.identifier = "chat123456789012345678";
        pair.participants = plistStringArray({"+491701111111", "+49 170 2222222"}, binaryPlists);
        c.madridChats = {person, pair};
        c.messages << imessage(10, "", "friend@example.com", "first")
                   << imessage(11, "", "friend@example.com", QString::fromUtf8("👍🏽 ok"))
                   << imessage(12, "chat123456789012345678", "+491702222222", "group")
                   << imessage(13, "chat123456789012345678", "", "");
    }
    return c;
}

void ios5Seeds()
{
    struct Variant
    {
        const char *name;
        bool withIMessage;
        bool binaryPlists;
        const char *script;
    };
    const Variant variants[] = {
        {"imessage.db", true, true, ""},
        {"imessage-xml.db", true, false, ""},
        {"sms-only.db", false, true, ""},
        // Values of the wrong type, NULLs and numbers beyond any date.
        {"odd-values.db", true, true,
         "UPDATE message SET date=9223372036854775807, text=NULL WHERE ROWID=1;"
         "UPDATE message SET date='soon', group_id='2', address=x'00ff' WHERE ROWID=3;"
         "UPDATE message SET madrid_date_read=-9223372036854775808, madrid_handle=12 WHERE ROWID=11;"
         "UPDATE msg_group SET newest_message=NULL, hash=4294967296 WHERE ROWID=1;"
         "UPDATE group_member SET address=NULL WHERE ROWID=2;"
         "UPDATE madrid_chat SET participants='not a property list', style='x' WHERE ROWID=1;"
         "INSERT INTO madrid_chat(ROWID, chat_identifier, participants) VALUES(9223372036854775807, NULL, NULL);"},
        {"no-members.db", true, true, "DROP TABLE group_member;"},
    };
    for (const Variant &v : variants) {
        const QString folder = freshFolder("ios5");
        const QString path = writeIos5MessageDb(folder, ios5Content(v.withIMessage, v.binaryPlists));
        save("ios5db", v.name, compacted(path, v.script));
    }
}

// ---- iOS 6 and later message databases ---------------------------------------------

void ios6Seeds()
{
    MsgFixtureContent content = generateMsgContent(5, 14, 6, 4, 7);
    content.messages[0].text = QString::fromUtf8("Grüße 😀 from the train");
    content.messages[1].text.clear();
    content.messages[1].attributedBody = "streamtyped text only here";
    content.handles[0].country.clear();
    struct Variant
    {
        const char *name;
        MsgDbLayout layout;
        const char *script;
    };
    const Variant variants[] = {
        {"ios6-phone.db", MsgDbLayout::Ios6Phone, ""},
        // Later phones count dates in nanoseconds.
        {"later-phone.db", MsgDbLayout::LaterPhone,
         "UPDATE message SET date=date*1000000000, date_read=date_read*1000000000, "
         "date_delivered=date_delivered*1000000000 WHERE ROWID % 2 = 1;"},
        {"local.db", MsgDbLayout::Local, ""},
        {"old-local.db", MsgDbLayout::OldLocal, ""},
        {"odd-values.db", MsgDbLayout::LaterPhone,
         "UPDATE message SET date=9223372036854775807, text=x'ff00fe' WHERE ROWID=1;"
         "UPDATE message SET handle_id=-1, other_handle=9223372036854775807, item_type='one' WHERE ROWID=2;"
         "UPDATE message SET guid=x'', service=NULL, date=-9223372036854775808 WHERE ROWID=3;"
         "UPDATE handle SET id=x'00', country=42 WHERE ROWID=1;"
         "UPDATE chat SET guid=x'c0', chat_identifier=NULL, style='+' WHERE ROWID=1;"
         "UPDATE attachment SET total_bytes=9223372036854775807, filename='/../../etc/passwd' WHERE ROWID=1;"
         "INSERT OR IGNORE INTO chat_message_join(chat_id, message_id) VALUES(99, 99), (1, 2), (NULL, NULL);"
         "INSERT OR IGNORE INTO chat_handle_join(chat_id, handle_id) VALUES(1, 99), (2, 1);"},
        {"missing-tables.db", MsgDbLayout::Ios6Phone,
         "DROP TABLE attachment; DROP TABLE message_attachment_join; DROP TABLE chat_handle_join;"},
    };
    for (const Variant &v : variants) {
        const QString folder = freshFolder("ios6");
        const QString path = writeMsgDb(folder, v.layout, content);
        save("ios6db", v.name, compacted(path, v.script));
    }
}

// ---- address books ---------------------------------------------------------------

void contactsSeeds()
{
    QList<AddressBookPerson> people;
    AddressBookPerson ann;
    ann.rowid = 1;
    ann.first = "Ann";
    ann.last = "Smith";
    ann.phones = {"+49 170 1234567", "(030) 123456"};
    ann.emails = {"ann@example.com"};
    AddressBookPerson zoe;
    zoe.rowid = 2;
    zoe.first = QString::fromUtf8("Zoë 😀");
    zoe.middle = " ";
    zoe.phones = {"98765 43210"};
    AddressBookPerson nameless;
    nameless.rowid = 3;
    nameless.phones = {"+1 (555) 010-0001", "+1 555 010 0001"};
    people = {ann, zoe, nameless};
    const QList<AddressBookImage> images{{1, QByteArray("\x89PNG\r\n\x1a\n", 8)}, {2, QByteArray(300, 'j')},
                                         {77, QByteArray()}};

    const QString folder = freshFolder("contacts");
    const QString book = writeAddressBook(folder, people);
    const QString imageFile = writeAddressBookImages(folder, images);
    // The target reads one file as both the book and the images.
    const QString merge = QString("ATTACH '%1' AS images;"
                                  "CREATE TABLE ABThumbnailImage AS SELECT * FROM images.ABThumbnailImage;"
                                  "DETACH images;")
                              .arg(imageFile);
    save("contacts", "book-and-images.db", compacted(book, merge));
    writeAddressBook(folder, people);
    save("contacts", "book-only.db", compacted(book));
    writeAddressBook(folder, people);
    save("contacts", "odd-values.db",
         compacted(book, merge
                             + "UPDATE ABPerson SET First=x'ff', Last=12 WHERE ROWID=1;"
                               "UPDATE ABMultiValue SET value=NULL, record_id=9223372036854775807 WHERE UID=1;"
                               "UPDATE ABMultiValue SET value=3.5 WHERE UID=2;"
                               "UPDATE ABThumbnailImage SET data='text', record_id=NULL WHERE record_id=2;"));
}

// ---- old single-file local databases ---------------------------------------------

void oldLocalSeeds()
{
    const QString path = freshFolder("old") + "/family.db";
    writeOldLocalDb(path, {
        {"(555) 010-0001", "Ann", 1400000000, 0, QString::fromUtf8("Hello 😀")},
        {"555-010-0001", "Ann Again", 1400000100, 1, QString("Hi back")},
        {"bob@example.com", "Bob", 1400000200, 0, std::nullopt},
        {"+49 170 1234567", QString(), 1400000300, 1, QString()},
    });
    save("oldlocaldb", "family.db", compacted(path));
    save("oldlocaldb", "odd-values.db",
         compacted(path, "INSERT INTO view_sms VALUES(NULL, NULL, 9223372036854775807, 'yes', 'plain text');"
                         "INSERT INTO view_sms VALUES(x'00', 3, -9223372036854775808, 9223372036854775807, x'');"));
}

// ---- attributedBody archives ----------------------------------------------------------

void attributedBodySeeds()
{
    const QString emoji = QString::fromUtf8("Bis gleich \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
    save("attributedbody", "mutable.bin", attributedBodyArchive(emoji));
    save("attributedbody", "immutable.bin", attributedBodyArchive("ok", AttributedBodyClasses::Immutable));
    save("attributedbody", "empty.bin", attributedBodyArchive(QString()));
    // Lengths past one byte (0x81 and two bytes).
    save("attributedbody", "long.bin", attributedBodyArchive(QString::fromUtf8("Gr\xC3\xBC\xC3\x9F" "e ").repeated(60)));
    // Cut right after the string object: all a reader of the words needs.
    const QString cut = QString::fromUtf8("\xEF\xBF\xBC photo");
    save("attributedbody", "string-only.bin", attributedBodyArchive(cut).left(attributedBodyStringEnd(cut)));
}

// ---- raw SQLite files with deleted rows -------------------------------------------------

// The file after a script run with secure_delete off, so deleted rows stay
// in the free space and freed pages go to the freelist.
QByteArray withDeletes(const QString &path, const QString &script)
{
    openRawDb(path)->exec(script);
    return fileBytes(path);
}

void rawSqliteSeeds()
{
    // The phone's handle and 38-column message tables on 512-byte pages:
    // deleted rows in freeblocks and in the gap, a deleted text that
    // overflowed, words only in attributedBody, nanosecond dates, and a
    // dropped table whose pages became freelist trunk and leaves.
    const QString tables = freshFolder("raw") + "/tables.db";
    {
        auto db = createRawDb(tables, 512);
        db->exec(ios6PhoneTableSql("handle"));
        db->exec(ios6PhoneTableSql("message"));
        db->exec("CREATE TABLE filler (x BLOB)");
        db->exec("BEGIN");
        for (int i = 1; i <= 12; ++i)
            insertHandle(*db, carveHandleRow(i));
        for (int i = 1; i <= 10; ++i) {
            CarveMessageRow m = carveMessageRow(i, QString::fromUtf8("Nachricht %1 \xF0\x9F\x93\xB1").arg(i));
            if (i % 2 == 0) {
                m.text = QVariant();
                m.attributedBody = attributedBodyArchive(QString("only here %1").arg(i));
            }
            if (i % 3 == 0)
                m.date = 600000000123456789LL + i;
            if (i == 4)
                m.cacheRoomnames = "chat123456789012345678";
            insertMessage(*db, m);
        }
        insertMessage(*db, carveMessageRow(11, QString::fromUtf8("Lange Nachricht \xC3\xA4\xC3\xB6\xC3\xBC ").repeated(40)));
        for (int i = 0; i < 6; ++i)
            db->run("INSERT INTO filler VALUES (?)", {QByteArray(400, 'f')});
        db->exec("COMMIT");
    }
    save("rawsqlite", "deleted-rows.db",
         withDeletes(tables, "DELETE FROM handle WHERE ROWID IN (3, 7, 8, 12);"
                             "DELETE FROM message WHERE ROWID IN (2, 5, 11);"
                             "DROP TABLE filler;"));

    // One handle page whose deleted rows merged into one freeblock.
    const QString handles = freshFolder("raw") + "/handles.db";
    writeHandlePageDb(handles, 12, {8, 7, 6});
    save("rawsqlite", "handle-page.db", fileBytes(handles));

    // A later phone's database on 512-byte pages, a third of its messages
    // deleted (its triggers remove their joins and orphaned handles too).
    MsgFixtureContent content = generateMsgContent(3, 10, 4, 4, 11);
    content.messages[0].text = QString::fromUtf8("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80");
    const QString later = writeMsgDb(freshFolder("raw"), MsgDbLayout::LaterPhone, content);
    compacted(later);
    save("rawsqlite", "later-phone.db",
         withDeletes(later, "DELETE FROM chat_message_join WHERE message_id % 3 = 0;"
                            "DELETE FROM message WHERE ROWID % 3 = 0;"));
}

// ---- device messages ---------------------------------------------------------------------

// A frame as a device sends it: the length, big-endian, then the list.
QByteArray frame(const QByteArray &list)
{
    const quint32 n = qToBigEndian(quint32(list.size()));
    return QByteArray(reinterpret_cast<const char *>(&n), 4) + list;
}

QByteArray binaryOf(plist_t root)
{
    const QByteArray bytes = toBytes(root, true);
    plist_free(root);
    return bytes;
}

void deviceMessageSeeds()
{
    // A device-link version exchange, in binary as devices send it.
    plist_t exchange = plist_new_array();
    plist_array_append_item(exchange, plist_new_string("DLMessageVersionExchange"));
    plist_array_append_item(exchange, plist_new_uint(300));
    plist_array_append_item(exchange, plist_new_uint(100));
    const QByteArray versions = binaryOf(exchange);
    save("devicemsg", "version-exchange", frame(versions));

    // Lockdown-like answers in XML: values of every kind a device gives.
    QVariantMap value;
    value["Request"] = "GetValue";
    value["Key"] = "DeviceName";
    value["Value"] = QString::fromUtf8("Ann\xE2\x80\x99s iPhone \xF0\x9F\x98\x80");
    const QByteArray answer = xmlPlist(QVariant(value));
    save("devicemsg", "get-value.xml", frame(answer));
    QVariantMap usage;
    usage["TotalDiskCapacity"] = qlonglong(63999999999LL);
    usage["AmountDataAvailable"] = 1.5e10;
    usage["WillEncrypt"] = false;
    usage["Data"] = QByteArray("\x00\x01\xfe\xff", 4);
    usage["Applications"] = QVariantList{QString("com.apple.MobileSMS"), QVariantMap{{"Version", "7.1.2"}}};
    save("devicemsg", "disk-usage.xml", frame(xmlPlist(QVariant(usage))));

    // A conversation: two messages back to back, the second one binary.
    save("devicemsg", "two-frames", frame(answer) + frame(versions));
    // Nesting at the guard's edge, and a list of strings.
    save("devicemsg", "nested.bplist", frame(nestedPlist(6, true)));
    save("devicemsg", "strings.bplist", frame(plistStringArray({"+4917012345678", "friend@example.com"}, true)));
    // A frame whose body never comes whole, and a length cut short.
    save("devicemsg", "short-body", frame(answer).left(40));
    save("devicemsg", "short-length", QByteArray("\x00\x00", 2));
}

// ---- iTunes backups ------------------------------------------------------------

// A small backup of each kind: the message database as a folder chain in
// HomeDomain, an attachment in MediaDomain, an app's file, a record with
// properties, absent and empty strings.
BackupFixture smallBackup(bool encrypted)
{
    BackupFixture backup;
    if (encrypted)
        backup.keys.emplace("password", 2);
    backup.addFile("HomeDomain", "Library/SMS/sms.db", "SQLite format 3");
    backup.addAttachment(QString::fromUtf8("ab/11/8E1F/Zo\u00eb \xF0\x9F\x98\x80.jpg"), "jpeg");
    backup.addFolder("AppDomain-com.example.chat", "");
    backup.addFile("AppDomain-com.example.chat", "Documents/a.txt", "a");
    BackupFixtureEntry &linked = backup.addFile("HomeDomain", "Library/Preferences/link", QByteArray());
    linked.record.mode = 0120755;
    linked.record.linkTarget = QByteArray("/var/mobile/Library/Preferences/x.plist");
    linked.record.dataHash = QByteArray("");
    linked.record.properties = {{QByteArray("com.apple.assetsd.UUID"), QByteArray("8E1F7C2A")},
                                {QByteArray(""), std::nullopt}};
    return backup;
}

void backupSeeds()
{
    const QString folder = freshFolder("backup");
    for (bool encrypted : {false, true}) {
        const BackupFixture backup = smallBackup(encrypted);
        backup.write(folder);
        QFile mbdb(QDir(folder).absoluteFilePath("Manifest.mbdb"));
        if (!mbdb.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read the written Manifest.mbdb");
        save("mbdb", encrypted ? "encrypted.mbdb" : "plain.mbdb", mbdb.readAll());
        for (bool binary : {true, false}) {
            BackupFixture plist = backup;
            plist.binaryPlist = binary;
            save("manifestplist", QString("%1.%2").arg(encrypted ? "encrypted" : "plain", binary ? "bplist" : "xml"),
                 plist.manifestPlist());
        }
    }

    // The target unlocks with "password"; the iteration counts stay small.
    EncryptedBackupKeys keys("password", 1);
    save("keybag", "unlocks.keybag", keys.keybag());
    EncryptedBackupKeys wrong("another password", 1);
    save("keybag", "wrong-password.keybag", wrong.keybag());
    for (auto &c : keys.classes)
        c.wrap = c.number % 2 ? EncryptedBackupKeys::kWrapDevice : EncryptedBackupKeys::kWrapPassword;
    // With a file key wrapped under class 2 at the end, where the target takes it.
    save("keybag", "mixed-wraps.keybag",
         keys.keybag() + keybagBytes({{"DATA", keys.wrappedFileKey(2, EncryptedBackupKeys::fileKeyFor("f"))}}));
}

// ---- the companion app's lines --------------------------------------------------

QByteArray smsRecord(const QString &ms, const QString &fromMe, const QString &address, const QString &name,
                     const QString &body, const QString &subject = QString())
{
    auto b64 = [](const QString &text) { return text.toUtf8().toBase64(); };
    return "$sms:" + ms.toUtf8() + ',' + fromMe.toUtf8() + ',' + b64(address) + ',' + b64(name) + ','
           + b64(body) + ',' + b64(subject) + '\n';
}

void companionSeeds()
{
    save("companionlines", "backup2",
         "$ready:\n$count:4\n$batch:\n"
             + smsRecord("1700000000123", "1", "0170 1234567", "Anna", "Bis gleich \xf0\x9f\x91\x8b")
             + smsRecord("1700000100000", "0", "Bob@Example.COM", "Bob", "Ok", "Betreff")
             + "$end:\n$batch:\n" + smsRecord("0", "2", "+4915112345678", "", "Am Anfang")
             + smsRecord("kein Datum", "", "12345", "", "") + "$sms:1,1,YQ==\r\n$end:\n$bye:\n");
    save("companionlines", "device2",
         "$ready:\n$hello:version=31;model=SM-A525F;manufacturer=samsung;imei=356938035643809;"
         "uid=f3a9c2e1b7d04a55;sdk=13;sdk_id=33;root=1;storage1=/storage/emulated/0;mmc=262;\n");
    save("companionlines", "restore2", "$ready:\n$defsmsapp:1\n$batch:\n$batch:\n$error:"
                                           + QByteArray("Speicher voll").toBase64() + "\n");
}

// ---- the file-relay archive ------------------------------------------------------

void fileRelaySeeds()
{
    // The phone's databases as the file-relay service sends them: folders
    // first, parents before children, then the files, as "./<path>".
    QList<CpioEntry> tree = cpioFolders("./var/mobile/Library/SMS/Attachments");
    tree << CpioEntry::folder("./var/mobile/Library/SMS/Attachments")
         << CpioEntry::folder("./var/mobile/Library/AddressBook");
    // The head of a real message database: the unpacker reads no content.
    const QString sms = writeMsgDb(freshFolder("relay"), MsgDbLayout::LaterPhone, generateMsgContent(2, 4, 2, 1, 3));
    tree << CpioEntry::file("./var/mobile/Library/SMS/sms.db", compacted(sms).left(2048), 1700000000)
         << CpioEntry::file("./var/mobile/Library/SMS/sms.db-wal", QByteArray(), 1700000001)
         << CpioEntry::file("./var/mobile/Library/AddressBook/AddressBook.sqlitedb", "SQLite format 3")
         << CpioEntry::file(QByteArray("./var/mobile/Library/SMS/Attachments/Zo\xc3\xab \xf0\x9f\x98\x80.jpg"), "jpeg");
    save("filerelay", "phone.cpio", cpioArchive(tree));
    save("filerelay", "phone.cpio.gz", cpioArchive(tree, CpioFilter::Gzip));

    // Names and kinds a damaged or hostile archive holds: absolute and
    // climbing names, a name through the planted link, the program's own
    // files beside the folder, links, devices, characters some file systems
    // refuse, a file and a folder of one name, and one name twice.
    const QList<CpioEntry> hostile{
        CpioEntry::folder("."),
        CpioEntry::file("/etc/absolute", "a"),
        CpioEntry::file("../escaped", "e"),
        CpioEntry::file("./a/../../escaped", "e"),
        CpioEntry::folder("Library"),
        CpioEntry::file("Library/Link/AddressBook.sqlitedb", "through the link"),
        CpioEntry::file("../manifest.db-wal", "w"),
        CpioEntry::special("Library/ln", CpioEntry::SymLink, "/etc"),
        CpioEntry::special("Library/hard", CpioEntry::HardLink, "Library/Link"),
        CpioEntry::special("dev", CpioEntry::CharDevice),
        CpioEntry::special("fifo", CpioEntry::Fifo),
        CpioEntry::file("na:me*?<>|\".txt", "n"),
        CpioEntry::file("same", "file first"),
        CpioEntry::folder("same"),
        CpioEntry::file("twice", "one"),
        CpioEntry::file("twice", "two"),
        CpioEntry::file("gone/file", "its folder never came"),
    };
    save("filerelay", "hostile.cpio", cpioArchive(hostile));
    // An archive cut inside a file's data.
    const QByteArray whole = cpioArchive(tree);
    save("filerelay", "cut.cpio", whole.left(whole.size() / 2));
}

// ---- the Android companion app and adb ---------------------------------------------

void androidSeeds()
{
    const QByteArray hello = "$hello:version=3;model=Pixel 7;manufacturer=Google;imei=356938035643809;"
                             "uid=8f14e45fceea167a;sdk=14;sdk_id=34;root=0;storage1=/storage/emulated/0;mmc=262;";
    // A device2 conversation, with the line endings a phone may use.
    save("androidline", "device2", "$ready:\n" + hello + "\n$bye:\n");
    save("androidline", "device2-crlf", "$ready:\r\n" + hello + "\r\n$bye:\r\n");
    // A hello whose imei must not name a folder, and a WiFi status line.
    save("androidline", "odd-hello",
         "$hello:imei=../..;uid=;model==;version=99999999999;sdk_id=-1;root=1;;x=y\n1\n$ready:\n");
    // A backup conversation with raw data, and the app's own error.
    save("androidline", "backup2",
         "$ready:\n$count:3\n$batch:\n$data:5\nhello$sms:" + QByteArray("Hallo \xf0\x9f\x98\x80").toBase64()
             + "\n$end:\n$error:" + QByteArray("Speicher voll \xe2\x80\x94 kein Platz").toBase64() + "\n");
    save("androidline", "wrong-token", "$ready:\n$count:1\n$batch:\n$wrong:\n");
    // adb's texts: the device list, packages, an install and a failure.
    save("androidline", "adb-devices",
         "* daemon started successfully\nList of devices attached\nemulator-5554\tdevice\n"
         "0123456789ABCDEF\tunauthorized\n192.168.1.5:5555\toffline\n\n");
    save("androidline", "adb-packages", "package:com.android.phone\npackage:com.quillmarten.smssync\r\npackage:\n");
    save("androidline", "adb-results", "Performing Streamed Install\nSuccess\nerror: device offline\n");
}

// ---- AFC replies ------------------------------------------------------------------------

QByteArray u64le(quint64 value)
{
    QByteArray out;
    for (int i = 0; i < 8; ++i)
        out.append(char(value >> (8 * i)));
    return out;
}

// A reply as a device sends it: the lengths count the payload.
QByteArray afcReply(quint64 operation, const QByteArray &payload)
{
    const quint64 entire = 40 + quint64(payload.size());
    return "CFA6LPAA" + u64le(entire) + u64le(entire) + u64le(0) + u64le(operation) + payload;
}

QByteArray nulJoined(const QList<QByteArray> &texts)
{
    QByteArray out;
    for (const QByteArray &text : texts)
        out += text + '\0';
    return out;
}

QByteArray afcFileInfo(const QByteArray &type, const QByteArray &size, const QByteArray &mtime)
{
    return afcReply(2, nulJoined({"st_size", size, "st_blocks", "8", "st_nlink", "1", "st_ifmt", type, "st_mtime",
                                  mtime, "st_birthtime", mtime}));
}

void afcSeeds()
{
    const QByteArray ok = afcReply(1, u64le(0));
    // The listing, the information of each entry, one file's information,
    // then a file opened, read in two chunks and at its end, locked, closed.
    const QByteArray listing =
        afcReply(2, nulJoined({".", "..", "IMG_0001.JPG", "IMG_0002.MOV", "Thumbs", QByteArray("Zo\xc3\xab.jpg")}));
    const QByteArray entries = afcFileInfo("S_IFREG", "1048576", "1700000000123456789")
                               + afcFileInfo("S_IFREG", "0", "1700000000000000000")
                               + afcFileInfo("S_IFDIR", "102", "1300000000000000000")
                               + afcFileInfo("S_IFLNK", "11", "-1");
    const QByteArray file = afcFileInfo("S_IFREG", "2048", "1700000000123456789");
    const QByteArray read = afcReply(14, u64le(7)) + afcReply(2, QByteArray(4096, 's')) + afcReply(2, "tail")
                            + afcReply(2, QByteArray()) + ok + ok;
    save("afc", "session", listing + entries + file + read);
    // A device that describes nothing, refuses the open, and says so.
    save("afc", "status-answers", ok + afcReply(1, u64le(8)) + afcReply(1, u64le(8)));
    // Lengths a device must not be trusted with: past the payload, beyond
    // the read asked for, below the header, and a status cut short.
    save("afc", "odd-lengths",
         listing + QByteArray("CFA6LPAA") + u64le(0xFFFFFFF0ULL) + u64le(40) + u64le(0) + u64le(2)
             + QByteArray("CFA6LPAA") + u64le(20) + u64le(20) + u64le(0) + u64le(1));
    save("afc", "big-read", afcReply(2, nulJoined({"x"})) + afcFileInfo("S_IFREG", "9223372036854775807", "x")
                                + afcFileInfo("S_IFREG", "1", "1") + afcReply(14, u64le(1))
                                + QByteArray("CFA6LPAA") + u64le(40 + 70000) + u64le(40) + u64le(0) + u64le(2)
                                + QByteArray(600, 'b') + afcReply(1, QByteArray(4, '\0')));
}

// ---- device-link conversations ---------------------------------------------------

// The frame of a value written as XML by the fixture, in the binary form
// devices send.
QByteArray binaryFrame(const QVariant &value)
{
    const QByteArray xml = xmlPlist(value);
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    if (!root)
        throw std::runtime_error("the fixture's XML did not parse");
    return frame(binaryOf(root));
}

void deviceLinkSeeds()
{
    const QByteArray exchange = binaryFrame(QVariantList{"DLMessageVersionExchange", 300, 100});
    const QByteArray ready = binaryFrame(QVariantList{"DLMessageDeviceReady"});
    const QByteArray empty = QByteArray(kEmptyParameter);
    // 0: messages of a backup: files to send, a status, a disconnect.
    const QVariantMap upload{{"MessageName", "Response"}, {"ErrorCode", 0}};
    save("devicelink", "backup-messages",
         QByteArray(1, '\0') + exchange + ready
             + binaryFrame(QVariantList{"DLMessageDownloadFiles",
                                        QVariantList{"Snapshot/Manifest.plist", "Snapshot/Status.plist"},
                                        QVariantMap{{"Progress", 12.5}}})
             + binaryFrame(QVariantList{"DLMessageProcessMessage", upload})
             + binaryFrame(QVariantList{"DLContentsOfDirectory", "Snapshot", "x"})
             + binaryFrame(QVariantList{"DLMessageProcessMessage"})
             + binaryFrame(QVariantList{"DLMessageDisconnect", empty}));
    // 1: the Hello answered with a version, then answers with errors.
    save("devicelink", "backup2-hello",
         QByteArray(1, '\1') + ready
             + binaryFrame(QVariantList{"DLMessageProcessMessage",
                                        QVariantMap{{"MessageName", "Response"}, {"ErrorCode", 0},
                                                    {"ProtocolVersion", 2.1}}})
             + binaryFrame(QVariantList{"DLMessageProcessMessage",
                                        QVariantMap{{"MessageName", "Response"}, {"ErrorCode", 105},
                                                    {"ErrorDescription", QString::fromUtf8("Kein Platz \xf0\x9f\x93\xb1")},
                                                    {"Password", "secret"}}})
             + binaryFrame(QVariantList{"DLMessageProcessMessage", QVariantMap{{"MessageName", "Response"},
                                                                               {"ErrorCode", "1"}}}));
    save("devicelink", "backup2-no-version",
         QByteArray(1, '\1') + ready
             + binaryFrame(QVariantList{"DLMessageProcessMessage",
                                        QVariantMap{{"MessageName", "Response"}, {"ErrorCode", 1}}}));
    // 2: a sync of contacts: two batches of records, the remapping, the
    // clear and the end.
    const QString contacts = "com.apple.Contacts";
    const QVariantMap person{{"com.apple.syncservices.RecordEntityName", "com.apple.contacts.Contact"},
                             {"first name", QString::fromUtf8("Zo\xc3\xab")},
                             {"last name", "Smith"}};
    save("devicelink", "sync-contacts",
         QByteArray(1, '\2') + exchange + ready
             + binaryFrame(QVariantList{"SDMessageProcessChanges", contacts, QVariantMap{{"1", person}}, true})
             + binaryFrame(QVariantList{"SDMessageProcessChanges", contacts, "not a dictionary", false})
             + binaryFrame(QVariantList{"SDMessageDeviceReadyToReceiveChanges", contacts})
             + binaryFrame(QVariantList{"SDMessageRemapRecordIdentifiers", contacts, QVariantMap{{"1", "100"}}})
             + binaryFrame(QVariantList{"SDMessageDeviceWillClearAllRecords", contacts})
             + binaryFrame(QVariantList{"SDMessageFinishSessionOnDevice", contacts}));
    // 3: a container vended, then notifications until the proxy dies.
    save("devicelink", "container-notifications",
         QByteArray(1, '\3') + binaryFrame(QVariantMap{{"Status", "Complete"}})
             + binaryFrame(QVariantMap{{"Command", "RelayNotification"},
                                       {"Name", "com.apple.mobile.application_installed"}})
             + binaryFrame(QVariantMap{{"Command", "RelayNotification"}})
             + binaryFrame(QVariantMap{{"Command", "ProxyDeath"}}));
    save("devicelink", "container-refused",
         QByteArray(1, '\3') + binaryFrame(QVariantMap{{"Error", "InstallationLookupFailed"}}));
}

} // namespace

// Backups of iOS 10 and later: MBFile archives of a file (with a key), a
// folder and a link, and whole Manifest.db files, plain and listing keys.
void modernBackupSeeds()
{
    MbFileFields file;
    file.relativePath = QString::fromUtf8("Library/SMS/Attachments/01/Zo\u00eb \xF0\x9F\x98\x80.jpg");
    file.lastModified = file.birth = file.lastStatusChange = 1687990000;
    file.size = 18;
    file.inode = 123456;
    file.encryptionKey = QByteArray::fromHex("03000000") + QByteArray(40, '\x5A');
    save("keyedarchive", "file.mbfile", mbFileArchive(file));
    MbFileFields folder;
    folder.relativePath = "Library/SMS";
    folder.mode = 040755;
    save("keyedarchive", "folder.mbfile", mbFileArchive(folder));
    MbFileFields link;
    link.relativePath = "Library/Preferences/link";
    link.mode = 0120755;
    link.target = "/var/mobile/Library/Preferences/x.plist";
    save("keyedarchive", "link.mbfile", mbFileArchive(link));

    for (bool encrypted : {false, true}) {
        BackupFixture backup;
        if (encrypted) {
            backup.keys.emplace("password", 1);
            backup.keys->useTwoStageKey(1);
        }
        backup.addFile("HomeDomain", "Library/SMS/sms.db", "not a database here");
        backup.addFile("HomeDomain", "Library/SMS/sms.db-wal", QByteArray());
        backup.addAttachment(QString::fromUtf8("01/Zo\u00eb \xF0\x9F\x98\x80.jpg"), "jpeg");
        backup.addFolder("AppDomain-com.example.chat", "");
        backup.addFile("AppDomain-com.example.chat", "Documents/a.txt", "a");
        const QString path = g_work->filePath(encrypted ? "encrypted-Manifest.db" : "plain-Manifest.db");
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(modernManifestDb(backup)) < 0)
            throw std::runtime_error("cannot write a Manifest.db seed");
        out.close();
        save("manifestdb", encrypted ? "encrypted-files.db" : "plain.db", compacted(path));
    }
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    QTemporaryDir home;
    useHome(home.path());
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    g_work = &work;
    g_corpus = QDir(QString::fromLocal8Bit(argv[1]));
    try {
        plistSeeds();
        ios5Seeds();
        ios6Seeds();
        contactsSeeds();
        oldLocalSeeds();
        attributedBodySeeds();
        rawSqliteSeeds();
        deviceMessageSeeds();
        backupSeeds();
        modernBackupSeeds();
        companionSeeds();
        fileRelaySeeds();
        androidSeeds();
        afcSeeds();
        deviceLinkSeeds();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
