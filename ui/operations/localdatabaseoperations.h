#pragma once
// The local databases of the data folder: messages backed up into one (a new
// one or one the user names), and a whole database deleted from disk.
#include <QList>
#include <QSharedPointer>
#include <QString>

class OperationContext;
struct _MsgMessage;
struct _MsgStore;

class LocalDatabaseOperations
{
public:
    explicit LocalDatabaseOperations(const OperationContext &context) : context(context) {}

    // Backs messages of the current device or database up, proposing a
    // database named after it.
    void backup(QList<_MsgMessage *> *messages);
    // Backs messages up into the database the user picks, proposed first;
    // owner is the store whose records messages lists, held for the run. The
    // database's node is loaded again and shown afterwards.
    void backupInto(const QString &proposed, QList<_MsgMessage *> *messages, const QSharedPointer<_MsgStore> &owner);
    // Deletes the current local database and its folder, after asking.
    void deleteCurrent();

private:
    const OperationContext &context;
};
