#pragma once
// Messages into an Android phone: the user picks the phone, the companion app
// writes the messages, and the phone's node is loaded again from its cache.
#include <QList>

class OperationContext;
struct _MsgMessage;

class AndroidTransfer
{
public:
    explicit AndroidTransfer(const OperationContext &context) : context(context) {}

    // The records stay owned by their store, which the caller holds.
    void run(QList<_MsgMessage *> *messages);

private:
    const OperationContext &context;
};
