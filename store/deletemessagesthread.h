#pragma once
// Worker that deletes chosen messages from a local message database under a
// progress dialog, in one transaction: all of them go, or none.
#include "store/msgrecords.h"

#include <QList>
#include <QSharedPointer>
#include <QThread>
#include <atomic>

class IOS6MessageDb;
class ProgressForm;

class DeleteMessagesThread : public QThread
{
public:
    // db: the local database the messages were read from (not owned);
    // messages: records of store, which the thread keeps alive for its whole
    // run (the node that showed them may drop its store while the dialog is
    // open). The thread keeps its own copy of the list.
    DeleteMessagesThread(IOS6MessageDb *db, const QList<_MsgMessage *> &messages,
                         const QSharedPointer<_MsgStore> &store, ProgressForm *form, QObject *parent);
    ~DeleteMessagesThread() override;

    // True once the deletion is committed: from then on it has happened,
    // whether or not the dialog still reports it (a cancel can come between).
    bool committed() const { return done; }

protected:
    void run() override;

private:
    IOS6MessageDb *db;
    QList<_MsgMessage *> messages;
    QSharedPointer<_MsgStore> store;
    ProgressForm *form;
    std::atomic<bool> done{false};
};
