#pragma once
// Worker that writes chosen messages into a local message database under a
// progress dialog: all messages of the run are committed together or none.
#include "store/exportmessagesdb.h"
#include "store/msgrecords.h"

#include <QDir>
#include <QList>
#include <QSharedPointer>
#include <QThread>

class ProgressForm;

class BackupSMSThread : public QThread
{
public:
    // messages: records of store, which the thread keeps alive for its whole
    // run (the source may go away while the dialog is open). The thread sorts
    // its own copy of the list into message order. dbDir: the database folder
    // (created by the run when new); mcc: the country code for numbers.
    BackupSMSThread(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store,
                    const QDir &dbDir, const QString &mcc, ProgressForm *form, QObject *parent);
    ~BackupSMSThread() override;

protected:
    void run() override;

private:
    QList<_MsgMessage *> messages;
    QSharedPointer<_MsgStore> store;
    ProgressForm *form;
    ExportMessagesDb db;
};
