#include "store/absiosmessagedb.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <initializer_list>
#include <stdexcept>

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
    // Each reader by the tables it reads: a file with neither set (another
    // program's database, a phone's of a layout not known here) is refused
    // before a reader meets it with a raw SQL error.
    const auto holds = [&tables](std::initializer_list<const char *> names) {
        return std::all_of(names.begin(), names.end(),
                           [&tables](const char *name) { return tables.contains(QLatin1String(name)); });
    };
    if (holds({"chat", "handle", "chat_handle_join", "message", "chat_message_join"}))
        return 6;
    if (holds({"message", "msg_group", "group_member"}))
        return 5;
    throw std::runtime_error(QCoreApplication::translate("QObject", "IDS_UNKNOWN_MESSAGE_DB_%1")
                                 .arg(QDir::toNativeSeparators(path))
                                 .toUtf8()
                                 .toStdString());
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
