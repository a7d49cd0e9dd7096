#include "ui/itemmodelloadbk.h"

#include <QBrush>
#include <QColor>
#include <QLocale>
#include <QPixmap>
#include <QSize>

ItemModelLoadBk::_BKItemNode::_BKItemNode(const QSharedPointer<BackupManifest> &manifest)
    : _ItemNode(0, manifest->displayName, nullptr), manifest(manifest)
{
}

ItemModelLoadBk::_BKItemNode::~_BKItemNode()
{
    manifest.reset();
}

ItemModelLoadBk::ItemModelLoadBk(QObject *parent) : AbsTreeItemModel(parent) {}

int ItemModelLoadBk::columnCount(const QModelIndex &) const
{
    return 3;
}

QVariant ItemModelLoadBk::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return QStringLiteral("Name");
    case 1:
        return QStringLiteral("Backup Date");
    case 2:
        return QStringLiteral("Path");
    default:
        return QVariant();
    }
}

QVariant ItemModelLoadBk::data(const QModelIndex &index, int role) const
{
    const auto *node = static_cast<const _BKItemNode *>(index.internalPointer());
    if (!index.isValid() || !node)
        return QVariant();
    const BackupManifest &manifest = *node->manifest;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (index.column()) {
        case 0:
            return manifest.displayName;
        case 1:
            // Stored in UTC; shown, as every date of the program, in local time.
            return QLocale::system().toString(manifest.info.date.toLocalTime(), QLocale::ShortFormat);
        case 2:
            return manifest.folder.absolutePath();
        default:
            return QVariant();
        }
    case Qt::DecorationRole:
        if (index.column() == 0)
            return QPixmap(QStringLiteral(":res/iphone.png")).scaledToWidth(18, Qt::FastTransformation);
        return QVariant();
    case Qt::BackgroundRole:
        // Rows alternate, starting with grey.
        return QBrush(index.row() % 2 ? QColor(255, 255, 255) : QColor(250, 250, 250));
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return QVariant();
    }
}

ItemModelLoadBk::_BKItemNode *ItemModelLoadBk::addBackup(const QSharedPointer<BackupManifest> &manifest)
{
    int i = 0;
    while (i < roots.size()
           && !(static_cast<_BKItemNode *>(roots[i])->manifest->info.date < manifest->info.date))
        ++i;
    beginInsertRows(QModelIndex(), i, i);
    auto *node = new _BKItemNode(manifest);
    roots.insert(i, node);
    endInsertRows();
    return node;
}
