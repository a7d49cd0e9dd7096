#include "ui/operations/cachefolders.h"

#include "app/datafolder.h"
#include "app/messagebox.h"
#include "ios/iosmobilebackupthread.h"
#include "ui/itemmodelmain.h"
#include "ui/operations/operationcontext.h"

void CacheFolders::openCurrent()
{
    OperationContext::Node *node = context.currentNode();
    if (!node)
        return;
    if (node->type == ITEM_IOS_DEVICE)
        openInExplorer(static_cast<_IOSDeviceItemNode *>(node)->device.cacheDir().absolutePath());
    else if (node->type == ITEM_ANDROID_DEVICE)
        openInExplorer(static_cast<_AndroidDeviceItemNode *>(node)->device.cacheDir().absolutePath());
}

void CacheFolders::clearAll()
{
    const QDir data = appDataDir();
    QString left;
    auto note = [&left](bool removed, const QString &stayed) {
        if (!removed && left.isEmpty())
            left = stayed;
    };
    QString stayed;
    note(removeDirRecursively(data.absoluteFilePath(QStringLiteral("ios_cache")), &stayed), stayed);
    note(removeDirRecursively(data.absoluteFilePath(QStringLiteral("itunes_cache")), &stayed), stayed);
    note(IOSMobileBackupThread::removeTempBackup(&stayed), stayed);
    note(removeDirRecursively(data.absoluteFilePath(QStringLiteral("android_cache")), &stayed), stayed);
    if (left.isEmpty())
        showInformation(OperationContext::text("IDS_SUC_CLEAR_CACHE"));
    else
        showError(OperationContext::text("IDS_CLEAR_CACHE_FAILED_%1").arg(left.toHtmlEscaped()));
}
