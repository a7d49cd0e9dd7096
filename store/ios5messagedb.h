#pragma once
// The message database of an iPhone up to iOS 5: SMS conversations in
// msg_group and group_member, iMessage conversations in madrid_chat, and one
// message table for both. It is read into the same records as later phones,
// each conversation given the identity (guid, style, chat identifier) the iOS
// 6 layout would give it, so that everything after loading treats both
// generations alike.
//
// Keys in the store: an SMS chat under its msg_group rowid, an iMessage chat
// under its negated madrid_chat rowid; an SMS handle under its group_member
// rowid, an iMessage participant under a made-up negative key. A chat's
// members are keyed by the handle's id (not by rowid as the iOS 6 reader
// does), its messages by the message rowid in decimal.
#include "store/absiosmessagedb.h"
#include "store/countrylibdb.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"

#include <QDir>
#include <QHash>
#include <QString>

class ProgressForm;
struct _SqliteCarvedRow;

class IOS5MessageDb : public AbsIOSMessageDb
{
public:
    // mcc: the phone's mobile country code, or empty. Opens nothing.
    IOS5MessageDb(const QDir &cacheDir, const QString &mcc);
    ~IOS5MessageDb() override;

    // Opens the phone's file as it is (a missing file is an error).
    void open() override;

    void chats(QSharedPointer<_MsgStore> &store) override;
    // chatId > 0: the SMS chat of that msg_group rowid; < 0: the iMessage
    // chat whose madrid_chat rowid is -chatId; 0: every message.
    void messages(QSharedPointer<_MsgStore> &store, qint64 chatId) override;
    int iosVersion() const override { return 5; }

    QString filePath() const { return dbPath; }

    // Rows of the message table ("select count(*) from message"), 0 when
    // the query answers no row; opens the database first.
    qint64 messageCount();
    // The store of recovered deleted messages beside the database; opens nothing.
    MessageRecycleDb *recycleDb();

    // ---- Recovery of deleted rows ----------------------------------------
    // Defined in recovery/, as for IOS6MessageDb: deleted message rows of
    // the file read raw go into recycle.db, each with the conversation and
    // correspondent it names itself (there is no handle table), in one
    // transaction committed at the end or when cancelled, rolled back when
    // anything throws. progress may be null.
    void recoverDeletedMessages(ProgressForm *progress);
    // The carving filter: a row not cut at the end of its range, with more
    // than 16 values, read 0 or 1, UIFlags 0, 4, 5 or 6, and is_madrid 0 or 1
    // where the row has it.
    static bool filterCarvedMessage(_SqliteCarvedRow *row);
    // A decoded row as a record: an SMS row (fresh guid, date moved from 1970
    // to 2001) or an iMessage row (madrid_service exactly "Madrid"); false for
    // anything else, an unknown country code, an empty SMS address, or a date
    // not after 2001 or later than now.
    bool carvedRowToMessage(const _SqliteCarvedRow &row, _RecycleMessage *out);

    // Merges the messages of recycle.db into store
    // (MessageRecycleDb::mergeIntoStore), except those this database still
    // holds: an iMessage row with the same madrid_guid, an SMS row with the
    // same date, direction and text.
    void loadRecycledMessages(QSharedPointer<_MsgStore> &store);

private:
    QDir fileRelayDir;
    IOSContactsMemDb contactsDb;
    MessageRecycleDb recycle;
    CountryLibDb countryDb;
    QHash<QString, QString> tableSql; // table name -> CREATE statement
    QString dbPath;
};
