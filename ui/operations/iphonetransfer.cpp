#include "ui/operations/iphonetransfer.h"

#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/ios6restoremessagesthread.h"
#include "ios/iosmobilebackupthread.h"
#include "ios/iosmobilerestorethread.h"
#include "ios/itunescachesmsthread.h"
#include "store/absiosmessagedb.h"
#include "store/ios6messagedb.h"
#include "ui/datasourceselform.h"
#include "ui/devicebusy.h"
#include "ui/itemmodelmain.h"
#include "ui/operations/operationcontext.h"

#include <exception>
#include <memory>
#include <vector>

void IPhoneTransfer::run(QList<_MsgMessage *> *messages)
{
    using Node = OperationContext::Node;
    Node *current = context.currentNode();
    if (!current)
        return;

    // What identifies each candidate once the chooser has returned: its node
    // may have been removed meanwhile and the address reused.
    struct Candidate
    {
        std::unique_ptr<_DataSourceItem> item;
        QString id;
        void *handle;
    };
    std::vector<Candidate> candidates;
    QList<_DataSourceItem *> items;
    for (Node *child : context.tree->iosTargetsOf(current)) {
        const IOSDevice &device = static_cast<_IOSDeviceItemNode *>(child)->device;
        candidates.push_back({std::make_unique<_DataSourceItem>(QStringLiteral(":res/iphone.png"), device.deviceName,
                                                                child),
                              device.uniqueDeviceId, device.amDevice});
        items.append(candidates.back().item.get());
    }

    void *chosen = nullptr;
    {
        DataSourceSelForm chooser(context.window);
        chosen = chooser.select(OperationContext::text("IDS_SEL_ONE_IOS_DEVICE"), items);
    }
    if (!chosen)
        return;
    _IOSDeviceItemNode *targetNode = nullptr;
    for (const Candidate &c : candidates) {
        if (c.item->pointer == chosen)
            targetNode = context.tree->findIOSNode(c.id, c.handle, chosen);
    }
    items.clear();
    candidates.clear();
    // The phone left while the chooser was open: nothing is left to act on.
    if (!targetNode)
        return;

    // The threads get this copy and the run keeps the database: a detach in
    // one of the modal loops below frees the node and its records.
    IOSDevice device = targetNode->device;
    const QSharedPointer<AbsMessageDb> targetDb = targetNode->db;
    targetNode = nullptr;
    // Never reached through the menus while an arrival or transfer of the
    // phone runs (their dialogs are modal), but two runs on one backup
    // folder must not happen.
    if (context.busy->isBusy(device.uniqueDeviceId))
        return;
    const DeviceBusy::Hold busy(*context.busy, device.uniqueDeviceId);
    QWidget *window = context.window;

    try {
        auto *layout = dynamic_cast<AbsIOSMessageDb *>(targetDb.data());
        if (!layout || layout->iosVersion() != 6) {
            showWarning(QStringLiteral("Failed to recover. Only iOS 6 or above is supported."));
            return;
        }
        if (!device.checkBackupSettings(true, true))
            return;
        if (!device.productType.startsWith(QLatin1String("iPhone"), Qt::CaseInsensitive)
            && !showQuestion(QStringLiteral("You can transfer iMessage only to an iPad/iPod. Want to continue?")))
            return;
        if (!showQuestion(OperationContext::text("IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF").arg(makerServerBase())))
            return;

        // Declared in the order of creation, so they go in reverse.
        std::unique_ptr<ProgressForm> backupForm(new ProgressForm(QString(), window));
        std::unique_ptr<IOSMobileBackupThread> backup(new IOSMobileBackupThread(&device, backupForm.get(), window));
        if (!OperationContext::runWorker(backupForm.get(), backup.get()))
            return;
        const QDir backupRoot = backup->backupDir();

        std::unique_ptr<ProgressForm> cacheForm(new ProgressForm(QString(), window));
        BackupManifest manifest(backupRoot.absoluteFilePath(device.uniqueDeviceId));
        try {
            manifest.loadManifestPlist();
            manifest.loadMbdb();
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
            return;
        }
        std::unique_ptr<ITunesCacheSMSThread> cache(new ITunesCacheSMSThread(&manifest, cacheForm.get(), window));
        if (!OperationContext::runWorker(cacheForm.get(), cache.get()))
            return;

        IOS6MessageDb backupDb(cache->cacheDir(), device.mobileSubscriberCountryCode, false);
        std::unique_ptr<ProgressForm> mergeForm(new ProgressForm(QString(), window));
        std::unique_ptr<IOS6RestoreMessagesThread> merge(new IOS6RestoreMessagesThread(
            device.mobileSubscriberCountryCode, messages, &backupDb, manifest.folder, mergeForm.get(), window));
        if (!OperationContext::runWorker(mergeForm.get(), merge.get()))
            return;

        std::unique_ptr<ProgressForm> restoreForm(new ProgressForm(QString(), window));
        std::unique_ptr<IOSMobileRestoreThread> restore(
            new IOSMobileRestoreThread(&device, backupRoot, restoreForm.get(), window));
        if (!OperationContext::runWorker(restoreForm.get(), restore.get())) {
            // The dialog closed at the cancel; the phone's state is not obvious.
            if (restore->stoppedByUser())
                showWarning(IOSMobileRestoreThread::stoppedText());
            return;
        }
        showInformation(merge->successText());
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}
