#pragma once
// Messages deleted from a local database: the selected rows of the list, or
// one conversation. The database commits first; only then are the records
// freed from memory, and conversations left without messages leave the tree.
#include "ui/operations/operationcontext.h"

#include <QList>
#include <QSharedPointer>

struct _MsgChat;
struct _MsgMessage;
struct _MsgStore;

class MessageDeletion
{
public:
    explicit MessageDeletion(const OperationContext &context) : context(context) {}

    // The list's selected rows of the current local database, after asking.
    void deleteSelected();
    // The current conversation of a local database, after asking.
    void deleteConversation();

    // The records of list that belong to store (the very records of its
    // message hash), each once, in list order.
    static QList<_MsgMessage *> ownedBy(const QList<_MsgMessage *> &list, const QSharedPointer<_MsgStore> &store);
    // Drops deleted records from every chat of store and from the store, and
    // frees them; answers the chats they left without messages.
    static QList<_MsgChat *> freeDeletedMessages(const QSharedPointer<_MsgStore> &store,
                                                 const QList<_MsgMessage *> &messages);

private:
    using Node = OperationContext::Node;
    // Runs the delete worker on records of the local database node target;
    // true when it committed.
    bool deleteFromDatabase(Node *target, const QList<_MsgMessage *> &messages);
    // Takes chats the deletion emptied out of target's rows (a row left with
    // none goes) and out of store, and frees them.
    void dropEmptiedChats(Node *target, const QSharedPointer<_MsgStore> &store, const QList<_MsgChat *> &emptied);

    const OperationContext &context;
};
