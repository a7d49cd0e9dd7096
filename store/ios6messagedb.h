#pragma once
// A message database in the layout iPhones use from iOS 6 on (tables chat,
// handle, message, attachment and their join tables). One class serves two
// kinds of file: a phone's own sms.db copied into a cache folder, opened as it
// is, and the program's own local message databases, which have a few extra
// columns, are created from the compiled-in schema script and are brought up
// to date on every open.
//
// The file lies at "file-relay/var/mobile/Library/SMS/sms.db" inside the
// cache folder, so a local database folder mirrors a phone's file tree.
#include "store/absiosmessagedb.h"
#include "store/countrylibdb.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"

#include <QDir>
#include <QHash>
#include <QString>

class IOS6MessageDb : public AbsIOSMessageDb
{
public:
    // mcc: the phone's mobile country code, empty for local databases.
    // upgradeSchema: true for the program's own databases, false for a
    // phone's. Opens nothing.
    IOS6MessageDb(const QDir &cacheDir, const QString &mcc, bool upgradeSchema);
    ~IOS6MessageDb() override;

    // Opens the file, creating it (with its folders) from the schema script
    // when missing, else upgrading it when upgradeSchema is set. On failure
    // the connection is closed again and a file this call created is removed,
    // so the next open starts afresh and reports the fault again.
    void open() override;

    void chats(QSharedPointer<_MsgStore> &store) override;
    // chatId > 0 reads that chat, 0 or less every chat.
    void messages(QSharedPointer<_MsgStore> &store, qint64 chatId) override;
    int iosVersion() const override { return 6; }

    // Whether the message table has item_type. Answers from the table map of
    // the last open (false before the first).
    bool hasItemType() const;

    // Optional columns are told by searching the table's CREATE statement as
    // stored in sqlite_master (from the last open), never by asking the
    // database; a table missing from the map reads as empty text.
    bool tableSqlContains(const QString &table, const QString &text, Qt::CaseSensitivity cs) const;

    QString filePath() const { return dbPath; }
    QDir cacheFolder() const { return cacheDir; }

    // Where the database file of a cache or database folder lies.
    static QString databasePath(const QDir &cacheDir);

protected:
    QDir cacheDir;
    QDir fileRelayDir;
    IOSContactsMemDb contactsDb;
    MessageRecycleDb recycle;
    CountryLibDb countryDb;
    QHash<QString, QString> tableSql; // table name -> CREATE statement
    QString dbPath; // the database file
    bool upgradeSchema;

private:
    void createFromScript();
    void upgrade();
    void readTableSql();
};
