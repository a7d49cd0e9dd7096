#pragma once
// Messages into an iPhone: the user picks the phone, its backup is made, the
// messages are merged into the backup's message database, and the backup is
// restored to the phone. Only phones of iOS 6 and later take messages.
#include <QList>

class OperationContext;
struct _MsgMessage;

class IPhoneTransfer
{
public:
    explicit IPhoneTransfer(const OperationContext &context) : context(context) {}

    // The records stay owned by their store, which the caller holds.
    void run(QList<_MsgMessage *> *messages);

private:
    const OperationContext &context;
};
