#include "ui/operations/itunesimport.h"

#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/itunescachesmsthread.h"
#include "store/absiosmessagedb.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/msgrecords.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/operations/localdatabaseoperations.h"
#include "ui/operations/operationcontext.h"
#include "ui/passcodedlg.h"

#include <exception>
#include <stdexcept>

void ITunesImport::run(const QString &name)
{
    LoadItunesBackupDlg chooser(context.window);
    if (chooser.exec() != QDialog::Accepted || !chooser.selected)
        return;
    // Ours for the whole run, whatever becomes of the chooser's list.
    const QSharedPointer<BackupManifest> manifest = chooser.selected;
    if (manifest->info.isEncrypted) {
        PasscodeDlg passcode(manifest.data(), context.window);
        if (passcode.exec() != QDialog::Accepted)
            return;
    }
    try {
        manifest->loadMbdb();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return;
    }

    auto *form = new ProgressForm(QString(), context.window);
    auto *worker = new ITunesCacheSMSThread(manifest.data(), form, context.window);
    if (OperationContext::runWorker(form, worker)) {
        try {
            const QDir cacheDir = worker->cacheDir();
            const QString smsDb =
                cacheDir.absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
            QSharedPointer<AbsMessageDb> db;
            switch (AbsIOSMessageDb::detectVersion(smsDb)) {
            case 5:
                db.reset(new IOS5MessageDb(cacheDir, QString()));
                break;
            case 6:
                db.reset(new IOS6MessageDb(cacheDir, QString(), false));
                break;
            default:
                throw std::runtime_error("invalid IOS db.");
            }
            QSharedPointer<_MsgStore> store;
            newMsgStore(store);
            db->messages(store, 0);
            const QString proposed = name.isEmpty() ? manifest->info.deviceName + QStringLiteral("_Backup") : name;
            QList<_MsgMessage *> list = allMessages(store);
            LocalDatabaseOperations(context).backupInto(proposed, &list, store);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    }
    delete worker;
    delete form;
}
