#include "ui/operations/messagedeletion.h"

#include "app/messagebox.h"
#include "app/progressform.h"
#include "store/deletemessagesthread.h"
#include "store/ios6messagedb.h"
#include "store/msgrecords.h"
#include "ui/itemmodelmain.h"

#include <QPersistentModelIndex>
#include <QSet>

void MessageDeletion::deleteSelected()
{
    ItemModelMain *tree = context.tree;
    Node *current = context.currentNode();
    Node *target = current;
    if (target && target->type == ITEM_CHAT_SESSION)
        target = target->parent;
    if (!target || target->type != ITEM_LOCAL_DB)
        return;
    const QSharedPointer<_MsgStore> store = ItemModelMain::sourceNode(target)->store;
    // After a failed load the list still shows another node's records: only
    // the target's own records are its to delete.
    if (ownedBy(context.selectedMessages(), store).isEmpty())
        return;
    const QPersistentModelIndex shown(tree->indexOf(current));
    if (!showQuestion(OperationContext::text("IDS_CONFIRM_DEL_SEL_MESSAGES")))
        return;
    // The box ran an event loop: the node and the selection may have changed.
    if (!shown.isValid() || context.currentNode() != current)
        return;
    const QList<_MsgMessage *> messages = ownedBy(context.selectedMessages(), store);
    if (messages.isEmpty() || !deleteFromDatabase(target, messages))
        return;
    // The list and the conversation view point at the records about to go.
    context.clearMessages();
    const QList<_MsgChat *> emptied = freeDeletedMessages(store, messages);
    // Selecting the node again shows what is left of it.
    context.clearSelection();
    dropEmptiedChats(target, store, emptied);
    if (shown.isValid())
        context.setCurrentIndex(shown);
    else if (tree->rootLocalDB->children.contains(target))
        context.setCurrentIndex(tree->indexOf(target));
}

void MessageDeletion::deleteConversation()
{
    Node *node = context.currentNode();
    if (!node || node->type != ITEM_CHAT_SESSION || !node->parent || node->parent->type != ITEM_LOCAL_DB)
        return;
    Node *target = node->parent;
    const QSharedPointer<_MsgStore> store = ItemModelMain::sourceNode(target)->store;
    const QPersistentModelIndex row(context.tree->indexOf(node));
    if (!showQuestion(OperationContext::text("IDS_CONFIRM_DEL_THIS_CHAT")))
        return;
    if (!row.isValid() || context.currentNode() != node)
        return;
    // The conversation's own records, whatever the list happens to show.
    const QList<_MsgChat *> chats = static_cast<_ChatSessionItemNode *>(node)->session.chats;
    const QList<_MsgMessage *> messages = ownedBy(messagesOfChats(chats), store);
    if (!deleteFromDatabase(target, messages))
        return;
    context.clearMessages();
    context.clearSelection();
    // The row reads its chats while it is painted: it goes before they do.
    if (row.isValid())
        context.removeNode(static_cast<Node *>(row.internalPointer()));
    QList<_MsgChat *> emptied = freeDeletedMessages(store, messages);
    for (_MsgChat *chat : chats) {
        if (!emptied.contains(chat))
            emptied.append(chat);
    }
    dropEmptiedChats(target, store, emptied);
}

QList<_MsgMessage *> MessageDeletion::ownedBy(const QList<_MsgMessage *> &list, const QSharedPointer<_MsgStore> &store)
{
    QList<_MsgMessage *> owned;
    if (!store)
        return owned;
    QSet<_MsgMessage *> seen;
    for (_MsgMessage *message : list) {
        if (message && store->messages.value(message->rowid) == message && !seen.contains(message)) {
            seen.insert(message);
            owned.append(message);
        }
    }
    return owned;
}

bool MessageDeletion::deleteFromDatabase(Node *target, const QList<_MsgMessage *> &messages)
{
    _AbsDBItemNode *source = ItemModelMain::sourceNode(target);
    // Held for the run: the node may leave the tree in the form's event loop.
    const QSharedPointer<AbsMessageDb> db = source->db;
    const QSharedPointer<_MsgStore> store = source->store;
    auto *local = dynamic_cast<IOS6MessageDb *>(db.data());
    if (!local)
        return false;
    auto *form = new ProgressForm(QString(), context.window);
    auto *worker = new DeleteMessagesThread(local, messages, store, form, context.window);
    // A cancel that comes after the commit stops nothing: the messages are
    // gone from the database and must go from memory too.
    const bool ok = OperationContext::runWorker(form, worker) || worker->committed();
    delete worker;
    delete form;
    return ok;
}

void MessageDeletion::dropEmptiedChats(Node *target, const QSharedPointer<_MsgStore> &store,
                                       const QList<_MsgChat *> &emptied)
{
    if (emptied.isEmpty())
        return;
    // The database dropped these chats with their last message; kept here,
    // a later reload of the node into this store would show them as empty
    // conversations. The rows read their chats while painted: they let go
    // first.
    if (context.tree->rootLocalDB->children.contains(target)) {
        const QList<Node *> rows = target->children;
        for (Node *row : rows) {
            if (row->type != ITEM_CHAT_SESSION)
                continue;
            QList<_MsgChat *> &chats = static_cast<_ChatSessionItemNode *>(row)->session.chats;
            for (_MsgChat *chat : emptied)
                chats.removeAll(chat);
            if (chats.isEmpty())
                context.removeNode(row);
        }
    }
    for (_MsgChat *chat : emptied) {
        if (store->chats.value(chat->rowid) != chat)
            continue;
        store->chats.remove(chat->rowid);
        delete chat;
    }
}

QList<_MsgChat *> MessageDeletion::freeDeletedMessages(const QSharedPointer<_MsgStore> &store,
                                                       const QList<_MsgMessage *> &messages)
{
    QList<_MsgChat *> emptied;
    // A message joined to two chats sits in both chats' hashes, and the
    // database dropped every join of it. Each chat is searched from its
    // smaller side: a whole conversation against many small chats, or a few
    // messages against a huge one.
    QHash<qint64, _MsgMessage *> deleted;
    deleted.reserve(messages.size());
    for (_MsgMessage *message : messages)
        deleted.insert(message->rowid, message);
    for (_MsgChat *chat : std::as_const(store->chats)) {
        const qsizetype before = chat->messages.size();
        if (chat->messages.size() < deleted.size()) {
            for (auto it = chat->messages.begin(); it != chat->messages.end();) {
                if (deleted.value(it.key()) == it.value())
                    it = chat->messages.erase(it);
                else
                    ++it;
            }
        } else {
            for (auto it = deleted.cbegin(); it != deleted.cend(); ++it) {
                if (chat->messages.value(it.key()) == it.value())
                    chat->messages.remove(it.key());
            }
        }
        if (chat->messages.isEmpty() && chat->messages.size() != before)
            emptied.append(chat);
    }
    for (_MsgMessage *message : messages) {
        store->messages.remove(message->rowid);
        delete message;
    }
    return emptied;
}
