#pragma once
// Message databases in the layouts the program reads, written straight with
// SQLite (never through the code under test):
//  - the iOS 6 family: a phone on iOS 6, a later phone, an old local database
//    and a current local database, all from one content description;
//  - an iOS 5 phone database, with or without its iMessage tables.
// Every builder writes the file at the place a cache or database folder keeps
// it ("file-relay/var/mobile/Library/SMS/sms.db"), replacing any file there,
// and throws std::runtime_error on failure.
#include <QByteArray>
#include <QMetaType>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

// The path of the message database inside a cache or database folder.
QString messageDbPath(const QString &cacheDir);

// ---- iOS 6 family -----------------------------------------------------------

enum class MsgDbLayout {
    // A phone on iOS 6: the 38 message columns; chat without group_id and
    // _last; handle without _ct_name and _photo. Its triggers call
    // delete_attachment_path and before_delete_attachment_path.
    Ios6Phone,
    // The same phone after the updates that grew its message table to exactly
    // 51 columns: the 38, the twelve later ones, and message_source. Dates in
    // seconds, texts in the text column.
    Ios6Phone51,
    // A later phone: the 38 + 12 message columns and group_id, plus tables,
    // columns and triggers the program does not know, as real phones have.
    // As on real phones, the message dates are stored in nanoseconds (0 stays
    // 0), and every message with text but no attributedBody of its own gets
    // its text archived there (attributedBodyArchive); messages with an even
    // rowid keep their words only there, with text NULL.
    LaterPhone,
    // A local database of an older program version: the iOS 6 columns with the
    // program's _last, _ct_name and _photo, but none of the fourteen columns
    // (group_id, the twelve later message columns, logic_hash) an upgrade adds.
    OldLocal,
    // The current local database: every column, index and trigger.
    Local,
};

struct MsgFixtureHandle
{
    qint64 rowid = 0;
    QString id;
    QString country; // two-letter code, lower case on phones; may be empty
    QString service = QStringLiteral("SMS");
    QString uncanonicalizedId;
    QString ctName;   // local layouts only
    QByteArray photo; // local layouts only
};

struct MsgFixtureChat
{
    qint64 rowid = 0;
    QString guid;
    int style = 45;
    int state = 3;
    QString accountId;
    QByteArray properties;
    QString identifier;
    QString service = QStringLiteral("SMS"); // later phones also keep "RCS"; a null one writes NULL
    QString roomName;
    QString accountLogin = QStringLiteral("E:");
    int isArchived = 0;
    QString lastAddressedHandle;
    QString displayName;
    QString groupId; // layouts with group_id only
    int last = 0;    // _last, local layouts only
    QList<qint64> handles; // chat_handle_join rows
};

struct MsgFixtureAttachment
{
    qint64 rowid = 0;
    QString guid;
    int createdDate = 0;
    QString filename;
    QString uti;
    QString mimeType;
    int transferState = 5;
    int isOutgoing = 0;
    QString transferName;
    qint64 totalBytes = 0;
};

struct MsgFixtureMessage
{
    qint64 rowid = 0;
    QString guid;
    QString text;
    qint64 handleId = 0;
    QString service = QStringLiteral("SMS");
    QString account;
    QString accountGuid;
    QString country;
    QString subject;
    QByteArray attributedBody;
    int version = 10;
    int date = 0; // seconds since 2001-01-01 (written in nanoseconds on a later phone)
    int dateRead = 0;
    int dateDelivered = 0;
    int datePlayed = 0; // layouts with the later columns only
    int isFromMe = 0;
    int isRead = 1;
    int isSent = 0;
    int isDelivered = 1;
    int isFinished = 1;
    QString cacheRoomnames;
    // The later columns: written only where the layout has them.
    int isAudioMessage = 0;
    int itemType = 0;
    int otherHandle = -1;
    QString groupTitle;
    int groupActionType = 0;
    QString logicHash; // current local layout only; empty writes NULL
    QList<qint64> chats;       // chat_message_join rows
    QList<qint64> attachments; // message_attachment_join rows
    // chat_recoverable_message_join rows (later phone only): the chats whose
    // "recently deleted" list holds the message. Such a message is in no
    // chat_message_join row, as on real phones.
    QList<qint64> recoverableIn;
};

struct MsgFixtureContent
{
    QList<MsgFixtureHandle> handles;
    QList<MsgFixtureChat> chats;
    QList<MsgFixtureMessage> messages;
    QList<MsgFixtureAttachment> attachments;
};

// A deterministic content of any size: handles alternate between a German
// mobile number with "+", an Indian national number with country "in" and an
// e-mail address (iMessage); every fifth chat is a group of three handles,
// the others one-to-one; messages are spread over the chats in turn, every
// other one from me (handle 0), texts of 20 to 200 characters, and every
// attachmentEvery-th message (0: none) has one attachment.
MsgFixtureContent generateMsgContent(int chatCount, int messageCount, int handleCount,
                                     int attachmentEvery = 10, quint32 seed = 1);

// Writes content into a new database of the layout (replacing any file) and
// answers the file's path. Fields the layout has no column for are dropped.
// pageSize 0 keeps SQLite's default; any other sets it (auto_vacuum stays
// off in every case, so freed pages go to the freelist).
QString writeMsgDb(const QString &cacheDir, MsgDbLayout layout, const MsgFixtureContent &content,
                   int pageSize = 0);
QString writeMsgDbFile(const QString &path, MsgDbLayout layout, const MsgFixtureContent &content,
                       int pageSize = 0);

// The write-ahead log SQLite keeps beside a database of the layout with the
// content, holding every page of it. Laid beside any database file of the
// same page size under the name "<file>-wal", it is what SQLite reads
// instead of that file's own pages at the next open.
QByteArray writeAheadLogOf(MsgDbLayout layout, const MsgFixtureContent &content);

// The CREATE TABLE statement of an iOS 6 phone's "message" (38 columns) or
// "handle" table, for builders that write those tables by themselves.
QString ios6PhoneTableSql(const QString &table);
// The message table of the 51-column phone.
QString ios6Phone51MessageTableSql();

// The later phone's tables the program does not know, so tests can check
// they are left alone.
QStringList laterPhoneExtraTables();

// ---- iOS 5 ------------------------------------------------------------------

struct Ios5Member
{
    qint64 rowid = 0;
    QString address;
    QString country; // two-letter code as the phone stores it
};

struct Ios5Group
{
    qint64 rowid = 0;
    int hash = 0;
    qint64 newestMessage = 0; // a message rowid; 0 points nowhere
    QList<Ios5Member> members;
};

struct Ios5MadridChat
{
    qint64 rowid = 0;
    QString identifier;
    QByteArray participants; // a property list; see plistStringArray
    int style = 45;
    int state = 3;
    QString accountId;
    QString accountLogin;
};

// The message table's columns. Phones differ in which madrid_ columns they
// have and in their order.
enum class Ios5Layout {
    // The 17 base columns, then (withIMessage) madrid_attributedBody,
    // madrid_handle, madrid_version, madrid_guid, madrid_type, madrid_roomname,
    // madrid_service, madrid_account, madrid_account_guid,
    // madrid_protocol_version, madrid_flags, madrid_error, is_madrid,
    // madrid_date_read, madrid_date_delivered: 32 columns.
    Classic,
    // The 17 base columns, then madrid_attributedBody, madrid_handle,
    // madrid_version, madrid_guid, madrid_type, madrid_roomname,
    // madrid_service, madrid_account, madrid_flags, madrid_attachmentInfo,
    // madrid_url, madrid_error, is_madrid, madrid_date_read,
    // madrid_date_delivered, madrid_account_guid: 33 columns.
    Phone33,
    // Phone33 without its last column, madrid_account_guid.
    Phone32,
    // The 17 base columns alone, without madrid_chat (withIMessage is ignored).
    Phone17,
};

struct Ios5Message
{
    qint64 rowid = 0;
    QString address;
    qint64 date = 0; // Unix seconds on SMS rows, seconds since 2001 on iMessage rows
    QString text;
    int flags = 2;   // 3: sent by me
    int read = 1;    // written as is: the phone keeps 0 or 1
    int uiFlags = 0; // the phone keeps 0, 4, 5 or 6
    qint64 groupId = 0;
    QString svcCenter;
    QString subject;
    QString country;
    bool isMadrid = false;
    QByteArray attributedBody;
    QString madridGuid;
    QString madridAccount;
    QString madridAccountGuid;
    int madridError = 0;
    int madridDateRead = 0;
    int madridDateDelivered = 0;
    QString madridRoomname;
    QString madridHandle;
    // Phone layouts: the service an iMessage row names; empty writes "Madrid",
    // as the phone does. The classic layout always writes "iMessage".
    QString madridService;
    // Phone layouts: is_madrid as stored; -1 writes 1 or 0 by isMadrid.
    int isMadridStored = -1;
};

struct Ios5Content
{
    // Without it: no madrid_chat table and no madrid columns in message (an
    // iOS 5 phone that never used iMessage looks like this).
    bool withIMessage = true;
    Ios5Layout layout = Ios5Layout::Classic;
    int pageSize = 0; // 0: SQLite's default
    QList<Ios5Group> groups;
    QList<Ios5MadridChat> madridChats;
    QList<Ios5Message> messages;
};

// In the phone layouts an SMS row writes NULL into every madrid_ column it
// leaves empty (madrid_error and the two madrid dates included), as phones do;
// the classic layout writes 0 there.
QString writeIos5MessageDb(const QString &cacheDir, const Ios5Content &content);

// A property list whose root is an array of strings, binary ("bplist00") or XML.
QByteArray plistStringArray(const QStringList &values, bool binary);

} // namespace testsupport

// Tests take the layouts as data columns.
Q_DECLARE_METATYPE(testsupport::MsgDbLayout)
Q_DECLARE_METATYPE(testsupport::Ios5Layout)
