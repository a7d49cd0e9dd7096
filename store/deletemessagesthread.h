#pragma once
// Worker that deletes chosen messages from a local message database under a
// progress dialog, in one transaction: all of them go, or none.
#include "store/msgrecords.h"

#include <QList>
#include <QThread>

class IOS6MessageDb;
class ProgressForm;

class DeleteMessagesThread : public QThread
{
public:
    // db: the local database the messages were read from (not owned);
    // messages: the caller's list, read once at the start of the run.
    DeleteMessagesThread(IOS6MessageDb *db, QList<_MsgMessage *> *messages, ProgressForm *form,
                         QObject *parent);
    ~DeleteMessagesThread() override;

protected:
    void run() override;

private:
    IOS6MessageDb *db;
    QList<_MsgMessage *> *messages;
    ProgressForm *form;
};
