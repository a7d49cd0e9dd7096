#pragma once
// Messages into an iTunes backup on this computer: the user picks the backup,
// its message database is cached, and the messages are merged back into the
// backup's files. Encrypted backups are refused: files written unencrypted
// into them would be lost to a restore.
#include <QList>

class OperationContext;
struct _MsgMessage;

class ITunesBackupExport
{
public:
    explicit ITunesBackupExport(const OperationContext &context) : context(context) {}

    // The records stay owned by their store, which the caller holds.
    void run(QList<_MsgMessage *> *messages);

private:
    const OperationContext &context;
};
