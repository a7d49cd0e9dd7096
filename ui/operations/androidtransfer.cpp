#include "ui/operations/androidtransfer.h"

#include "android/androidrestoresmsthread.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ui/datasourceselform.h"
#include "ui/devicebusy.h"
#include "ui/itemmodelmain.h"
#include "ui/operations/operationcontext.h"

#include <exception>

void AndroidTransfer::run(QList<_MsgMessage *> *messages)
{
    using Node = OperationContext::Node;
    Node *current = context.currentNode();
    if (!current)
        return;
    ItemModelMain *tree = context.tree;
    // The candidates' stores stay alive while the chooser runs: a node that
    // leaves meanwhile is freed, and its address may come back as a new node.
    QList<_DataSourceItem *> items;
    QList<QSharedPointer<_MsgStore>> candidateStores;
    for (Node *child : tree->androidTargetsOf(current)) {
        auto *phone = static_cast<_AndroidDeviceItemNode *>(child);
        items.append(new _DataSourceItem(QStringLiteral(":res/android.png"), phone->device.displayName(), child));
        candidateStores.append(phone->store);
    }
    DataSourceSelForm chooser(context.window);
    void *chosen = chooser.select(OperationContext::text("IDS_SEL_ONE_ANDROID_DEVICE"), items);
    int chosenIndex = -1;
    for (int i = 0; i < items.size(); ++i) {
        if (chosen && items.at(i)->pointer == chosen)
            chosenIndex = i;
    }
    qDeleteAll(items);
    if (chosenIndex < 0)
        return;
    const QSharedPointer<_MsgStore> targetStore = candidateStores.at(chosenIndex);
    candidateStores.clear();
    _AndroidDeviceItemNode *target = tree->androidNodeWithStore(targetStore);
    if (!target)
        return;

    // The operation's own record, database and stores: the modal loop below
    // may remove the target's node (its phone unplugged, or loaded again).
    AndroidDevice device = target->device;
    const QSharedPointer<AbsMessageDb> targetDb = target->db;
    target = nullptr;
    const QSharedPointer<_MsgStore> sourceStore = context.storeOwning(*messages);
    const DeviceBusy::Hold busy(*context.busy, QStringLiteral("cache:") + device.cacheFolderName());

    targetDb->close();
    auto *form = new ProgressForm(QString(), context.window);
    auto *worker = new AndroidRestoreSMSThread(&device, *messages, sourceStore, form, context.window);
    const bool ok = OperationContext::runWorker(form, worker);
    delete worker;
    delete form;
    if (!ok)
        return;

    _AndroidDeviceItemNode *still = tree->androidNodeWithStore(targetStore);
    if (!still)
        return;
    tree->removeChildren(still);
    try {
        still->db->chats(still->store);
        tree->loadChatSessions(still);
        context.selectNode(still);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}
