#pragma once
// The list of iTunes backups in the backup chooser: one top-level row per
// backup, newest first, each holding the backup's manifest with its
// Manifest.plist values read. Columns: name, backup date, path.
#include "ios/backupmanifest.h"
#include "ui/abstreeitemmodel.h"

#include <QSharedPointer>

class ItemModelLoadBk : public AbsTreeItemModel
{
    Q_OBJECT

public:
    // One backup row (type 0, text the manifest's display name). The row's
    // reference to the manifest goes with the row.
    class _BKItemNode : public AbsTreeItemModel::_ItemNode
    {
    public:
        explicit _BKItemNode(const QSharedPointer<BackupManifest> &manifest);
        ~_BKItemNode() override;

        QSharedPointer<BackupManifest> manifest;
    };

    explicit ItemModelLoadBk(QObject *parent);

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Inserts the backup before the first row dated earlier (after those of
    // the same date), as one inserted row; answers its node.
    _BKItemNode *addBackup(const QSharedPointer<BackupManifest> &manifest);
};
