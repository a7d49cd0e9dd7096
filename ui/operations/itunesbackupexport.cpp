#include "ui/operations/itunesbackupexport.h"

#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/ios6restoremessagesthread.h"
#include "ios/itunescachesmsthread.h"
#include "store/ios6messagedb.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/operations/operationcontext.h"

#include <exception>
#include <memory>

void ITunesBackupExport::run(QList<_MsgMessage *> *messages)
{
    QWidget *window = context.window;
    // Declared in the order the parts are made: they go in reverse, each
    // thread before its form, and the chooser (holding the manifest) last.
    std::unique_ptr<LoadItunesBackupDlg> chooser(new LoadItunesBackupDlg(window));
    if (chooser->exec() != QDialog::Accepted || !chooser->selected)
        return;
    // One more reference of our own for the run.
    const QSharedPointer<BackupManifest> manifest = chooser->selected;
    if (manifest->info.isEncrypted) {
        // Files written unencrypted into an encrypted backup are lost to a restore.
        showWarning(OperationContext::text("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"));
        return;
    }
    try {
        manifest->loadMbdb();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return;
    }
    try {
        std::unique_ptr<ProgressForm> cacheForm(new ProgressForm(QString(), window));
        std::unique_ptr<ITunesCacheSMSThread> cache(new ITunesCacheSMSThread(manifest.data(), cacheForm.get(), window));
        if (!OperationContext::runWorker(cacheForm.get(), cache.get()))
            return;
        std::unique_ptr<IOS6MessageDb> target(new IOS6MessageDb(cache->cacheDir(), QString(), false));
        std::unique_ptr<ProgressForm> mergeForm(new ProgressForm(QString(), window));
        std::unique_ptr<IOS6RestoreMessagesThread> merge(new IOS6RestoreMessagesThread(
            QString(), messages, target.get(), manifest->folder, mergeForm.get(), window));
        if (!OperationContext::runWorker(mergeForm.get(), merge.get()))
            return;
        showInformation(merge->successText());
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}
