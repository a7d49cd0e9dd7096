#pragma once
// The messages of an iTunes backup on this computer into a local database:
// the user picks the backup (and gives its password when it is encrypted),
// its message database is cached and read, and the messages are backed up as
// LocalDatabaseOperations backs up a device's.
#include <QString>

class OperationContext;

class ITunesImport
{
public:
    explicit ITunesImport(const OperationContext &context) : context(context) {}

    // name: the database proposed; empty proposes the backup's device name.
    void run(const QString &name);

private:
    const OperationContext &context;
};
