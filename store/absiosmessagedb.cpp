#include "store/absiosmessagedb.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"

AbsIOSMessageDb::~AbsIOSMessageDb() = default;

int AbsIOSMessageDb::detectVersion(const QString &path)
{
    QHash<QString, QString> tables;
    {
        Sqlite3DB db;
        db.openThrow(path, 2);
        tables = tableStatements(db);
        db.close();
    }
    static const char *const ios6Tables[] = {"chat", "handle", "chat_handle_join", "message",
                                             "chat_message_join"};
    for (const char *name : ios6Tables) {
        if (!tables.contains(QLatin1String(name)))
            return 5;
    }
    return 6;
}

_MsgStore *AbsIOSMessageDb::storeFor(QSharedPointer<_MsgStore> &store)
{
    if (!store)
        newMsgStore(store);
    return storeOf(store);
}

QHash<QString, QString> AbsIOSMessageDb::tableStatements(Sqlite3DB &db)
{
    QHash<QString, QString> tables;
    Sqlite3Cursor cursor = db.queryThrow(Sqlite3Sql("select * from sqlite_master where type='table'"));
    while (cursor.moveNext())
        tables.insert(cursor.getText(QStringLiteral("name")), cursor.getText(QStringLiteral("sql")));
    return tables;
}
