#pragma once
// Common base of the two readers of an iPhone's message database.
#include "store/absmessagedb.h"

#include <QHash>
#include <QString>

class AbsIOSMessageDb : public AbsMessageDb
{
public:
    ~AbsIOSMessageDb() override;

    virtual int iosVersion() const = 0; // 5 or 6

    // Which reader the message database file at path needs: 6 when it has the
    // five tables of the iOS 6 layout, 5 when it has the message, msg_group and
    // group_member tables of iOS 5. Throws when it cannot be read, and with a
    // text naming the file when it holds neither layout.
    static int detectVersion(const QString &path);

protected:
    // The store a reader fills: the caller's, or a new one when it gave none.
    static _MsgStore *storeFor(QSharedPointer<_MsgStore> &store);
    // Every table of the open database with its CREATE statement, as
    // sqlite_master keeps them (name -> sql). Throws when the query fails.
    static QHash<QString, QString> tableStatements(Sqlite3DB &db);
};
