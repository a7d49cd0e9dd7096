#include "ui/contextmenus.h"

#include "ui/itemmodelmain.h"
#include "ui/mainwindow.h"

#include <QCursor>
#include <QMenu>

QList<ContextMenus::Entry> ContextMenus::ofTree(const AbsTreeItemModel::_ItemNode *node, int iosTargets,
                                                int androidTargets)
{
    QList<Entry> entries;
    switch (node->type) {
    case ITEM_ROOT_LOCALDB:
        entries = {{"Open Database Folder", ":res/open_db_folder.png", &MainWindow::miOpenDbFolder},
                   {"Import SMS from iTunes Backup to Local Database", ":res/import_itunes.png",
                    &MainWindow::miImportItunes}};
        break;
    case ITEM_IOS_DEVICE:
        entries = {{"Backup SMS to Local Database", ":res/backup.png", &MainWindow::miBackupAll},
                   {"Transfer iPhone SMS to other iPhone", ":res/i2i.png", &MainWindow::miI2IAll, iosTargets > 0},
                   {"Transfer iPhone SMS to Android", ":res/i2a.png", &MainWindow::miI2AAll, androidTargets > 0},
                   {"Export SMS to File", ":res/export.png", &MainWindow::miExportAll},
                   {"Print SMS", ":res/print.png", &MainWindow::miPrintAll},
                   {"View Cache Files", nullptr, &MainWindow::miViewCache},
                   {"Disconnect Device", ":res/unmount.png", &MainWindow::miUnmoutDevice}};
        break;
    case ITEM_ANDROID_DEVICE:
        entries = {{"Backup SMS to Local Database", ":res/backup.png", &MainWindow::miBackupAll},
                   {"Transfer Android SMS to iPhone", ":res/a2i.png", &MainWindow::miA2IAll, iosTargets > 0},
                   {"Transfer Android SMS to other Android", ":res/a2a.png", &MainWindow::miA2AAll, androidTargets > 0},
                   {"Export SMS to File", ":res/export.png", &MainWindow::miExportAll},
                   {"Print SMS", ":res/print.png", &MainWindow::miPrintAll},
                   {"View Cache Files", nullptr, &MainWindow::miViewCache},
                   {"Disconnect Device", ":res/unmount.png", &MainWindow::miUnmoutDevice}};
        break;
    case ITEM_LOCAL_DB:
        entries = {{"Import SMS from iTunes Backup to this Local Database", ":res/import_itunes.png",
                    &MainWindow::miImportToLocalDb},
                   {"Export SMS to iTunes Backup", nullptr, &MainWindow::miExport2iTunesAll},
                   {"Transfer SMS from Database to iPhone", ":res/db2i.png", &MainWindow::miDb2IAll, iosTargets > 0},
                   {"Transfer SMS from Database to Android", ":res/db2a.png", &MainWindow::miDb2AAll, androidTargets > 0},
                   {"Export SMS to File", ":res/export.png", &MainWindow::miExportAll},
                   {"Print SMS", ":res/print.png", &MainWindow::miPrintAll},
                   {"Delete this Database", ":res/delete.png", &MainWindow::miDelAll}};
        break;
    case ITEM_CHAT_SESSION: {
        const int parentType = node->parent ? node->parent->type : 0;
        if (parentType == ITEM_IOS_DEVICE) {
            entries = {
                {"Backup SMS with this contact to Local Database", ":res/backup.png", &MainWindow::miBackupChat},
                {"Transfer SMS with this contact to other iPhone", ":res/i2i.png", &MainWindow::miI2IChat, iosTargets > 0},
                {"Transfer SMS with this contact to Android", ":res/i2a.png", &MainWindow::miI2AChat, androidTargets > 0},
                {"Export SMS with this contact to File", ":res/export.png", &MainWindow::miExportChat},
                {"Print SMS with this contact", ":res/print.png", &MainWindow::miPrintChat}};
        } else if (parentType == ITEM_ANDROID_DEVICE) {
            entries = {
                {"Backup SMS with this contact to Local Database", ":res/backup.png", &MainWindow::miBackupChat},
                {"Transfer SMS with this contact to iPhone", ":res/a2i.png", &MainWindow::miA2IChat, iosTargets > 0},
                {"Transfer SMS with this contact to other Android", ":res/a2a.png", &MainWindow::miA2AChat, androidTargets > 0},
                {"Export SMS with this contact to File", ":res/export.png", &MainWindow::miExportChat},
                {"Print SMS with this contact", ":res/print.png", &MainWindow::miPrintChat}};
        } else if (parentType == ITEM_LOCAL_DB) {
            entries = {
                {"Export SMS with this contact to iTunes Backup", nullptr, &MainWindow::miExport2iTunesChat},
                {"Transfer SMS with this contact to iPhone", ":res/db2i.png", &MainWindow::miDb2IChat, iosTargets > 0},
                {"Transfer SMS with this contact to Android", ":res/db2a.png", &MainWindow::miDb2AChat, androidTargets > 0},
                {"Export SMS with this contact to File", ":res/export.png", &MainWindow::miExportChat},
                {"Print SMS with this contact", ":res/print.png", &MainWindow::miPrintChat},
                {"Delete SMS with this contact", ":res/delete.png", &MainWindow::miDelChat}};
        }
        break;
    }
    default:
        break;
    }
    return entries;
}

QList<ContextMenus::Entry> ContextMenus::ofList(int sourceType, int iosTargets, int androidTargets)
{
    QList<Entry> entries;
    if (sourceType == ITEM_IOS_DEVICE) {
        entries = {{"Backup Selected SMS to Local Database", ":res/backup.png", &MainWindow::miBackupSel},
                   {"Transfer Selected SMS to other iPhone", ":res/i2i.png", &MainWindow::miI2ISel, iosTargets > 0},
                   {"Transfer Selected SMS to Android", ":res/i2a.png", &MainWindow::miI2ASel, androidTargets > 0},
                   {"Export Selected SMS to File", ":res/export.png", &MainWindow::miExportSel},
                   {"Print Selected SMS", ":res/print.png", &MainWindow::miPrintSel}};
    } else if (sourceType == ITEM_ANDROID_DEVICE) {
        entries = {{"Backup Selected SMS to Local Database", ":res/backup.png", &MainWindow::miBackupSel},
                   {"Transfer Selected SMS to iPhone", ":res/a2i.png", &MainWindow::miA2ISel, iosTargets > 0},
                   {"Transfer Selected SMS to other Android", ":res/a2a.png", &MainWindow::miA2ASel, androidTargets > 0},
                   {"Export Selected SMS to File", ":res/export.png", &MainWindow::miExportSel},
                   {"Print Selected SMS", ":res/print.png", &MainWindow::miPrintSel}};
    } else if (sourceType == ITEM_LOCAL_DB) {
        entries = {{"Export Selected SMS to iTunes Backup", nullptr, &MainWindow::miExport2iTunesSel},
                   {"Transfer Selected SMS to iPhone", ":res/db2i.png", &MainWindow::miDb2ISel, iosTargets > 0},
                   {"Transfer Selected SMS to Android", ":res/db2a.png", &MainWindow::miDb2ASel, androidTargets > 0},
                   {"Export Selected SMS to File", ":res/export.png", &MainWindow::miExportSel},
                   {"Print Selected SMS", ":res/print.png", &MainWindow::miPrintSel},
                   {"Delete Selected SMS", ":res/delete.png", &MainWindow::miDelSel}};
    }
    return entries;
}

void ContextMenus::show(MainWindow *window, const QList<Entry> &entries)
{
    if (entries.isEmpty())
        return;
    QMenu menu;
    for (const Entry &entry : entries) {
        QAction *action = entry.icon ? menu.addAction(QIcon(QLatin1String(entry.icon)), QObject::tr(entry.text))
                                     : menu.addAction(QObject::tr(entry.text));
        action->setEnabled(entry.enabled);
        QObject::connect(action, &QAction::triggered, window, entry.slot);
    }
    menu.exec(QCursor::pos());
}
