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

private:
    QDir fileRelayDir;
    IOSContactsMemDb contactsDb;
    MessageRecycleDb recycle;
    CountryLibDb countryDb;
    QHash<QString, QString> tableSql; // table name -> CREATE statement
    QString dbPath;
};
