#include "ui/operations/localdatabaseoperations.h"

#include "app/datafolder.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "store/backupsmsthread.h"
#include "store/ios6messagedb.h"
#include "store/localdbselform.h"
#include "store/msgrecords.h"
#include "ui/itemmodelmain.h"
#include "ui/operations/operationcontext.h"

#include <exception>

void LocalDatabaseOperations::backup(QList<_MsgMessage *> *messages)
{
    OperationContext::Node *node = context.currentNode();
    if (node && node->type == ITEM_CHAT_SESSION)
        node = node->parent;
    if (!ItemModelMain::isSourceNode(node))
        return;
    backupInto(node->text + QStringLiteral("_Backup"), messages, context.storeOwning(*messages));
}

void LocalDatabaseOperations::backupInto(const QString &proposed, QList<_MsgMessage *> *messages,
                                         const QSharedPointer<_MsgStore> &owner)
{
    ItemModelMain *tree = context.tree;
    QStringList names;
    for (const OperationContext::Node *child : std::as_const(tree->rootLocalDB->children))
        names.append(child->text);
    QString name;
    {
        LocalDbSelForm chooser(names, proposed, context.window);
        name = chooser.selectedName();
    }
    if (name.isEmpty())
        return;

    _AbsDBItemNode *target = tree->localDbNamed(name);
    if (!target) {
        QSharedPointer<AbsMessageDb> db(
            new IOS6MessageDb(QDir(localDatabasesDir().absoluteFilePath(name)), QString(), true));
        target = tree->addLocalDatabase(db, name);
    }
    // The worker writes through a connection of its own; this one stays
    // closed until the reload opens it again.
    target->db->close();

    auto *form = new ProgressForm(QString(), context.window);
    auto *worker = new BackupSMSThread(*messages, owner, QDir(localDatabasesDir().absoluteFilePath(target->text)),
                                       QString(), form, context.window);
    const bool ok = OperationContext::runWorker(form, worker);
    delete worker;
    delete form;
    // Local databases leave the tree only by the user's hand, which the modal
    // form kept away; the check costs nothing should that ever change.
    if (!ok || !tree->rootLocalDB->children.contains(target))
        return;

    try {
        // Rows of the node vanish below: a current row among them would make
        // the view move the selection while they are half gone.
        OperationContext::Node *current = context.currentNode();
        if (current && current->parent == target)
            context.setCurrentIndex(tree->indexOf(target));
        tree->removeChildren(target);
        target->db->messages(target->store, 0);
        tree->loadChatSessions(target);
        context.selectNode(target);
        // Selecting the node that is current already shows nothing new.
        if (context.currentNode() == target) {
            QList<_MsgMessage *> list = allMessages(target->store);
            context.showMessages(target->store, list);
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

void LocalDatabaseOperations::deleteCurrent()
{
    OperationContext::Node *node = context.currentNode();
    if (!node || node->type != ITEM_LOCAL_DB)
        return;
    if (!showQuestion(OperationContext::text("IDS_CONFIRM_DEL_THIS_LOCALDB")))
        return;
    // The box ran an event loop: the node may have gone meanwhile.
    if (context.currentNode() != node)
        return;
    const QString name = node->text;
    ItemModelMain::sourceNode(node)->db->close();
    QString left;
    const bool removed = removeDirRecursively(localDatabasesDir().absoluteFilePath(name), &left);
    context.removeNode(node);
    if (removed)
        showInformation(OperationContext::text("IDS_DEL_LOCALDB_SUC").arg(name.toHtmlEscaped()));
    else
        showError(OperationContext::text("IDS_DEL_LOCALDB_FAILED_%1_%2").arg(name.toHtmlEscaped(), left.toHtmlEscaped()));
}
