#include "ui/abstreeitemmodel.h"

AbsTreeItemModel::_ItemNode::_ItemNode(int type, const QString &text, _ItemNode *parent)
    : type(type), text(text), parent(parent)
{
}

AbsTreeItemModel::_ItemNode::~_ItemNode()
{
    qDeleteAll(children);
    children.clear();
}

int AbsTreeItemModel::_ItemNode::countChildren(int k) const
{
    int n = 0;
    for (const _ItemNode *child : children)
        n += child->type == k ? 1 : 0;
    return n;
}

AbsTreeItemModel::AbsTreeItemModel(QObject *parent) : QAbstractItemModel(parent) {}

AbsTreeItemModel::~AbsTreeItemModel()
{
    qDeleteAll(roots);
    roots.clear();
}

const QList<AbsTreeItemModel::_ItemNode *> &AbsTreeItemModel::siblingsOf(const _ItemNode *node) const
{
    return node->parent ? node->parent->children : roots;
}

QList<AbsTreeItemModel::_ItemNode *> &AbsTreeItemModel::siblingsOf(const _ItemNode *node)
{
    return node->parent ? node->parent->children : roots;
}

QModelIndex AbsTreeItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return QModelIndex();
    auto *parentNode = static_cast<_ItemNode *>(parent.internalPointer());
    _ItemNode *node = parentNode ? parentNode->children.at(row) : roots.at(row);
    node->cachedIndex = {row, column, node, this};
    return createIndex(row, column, node);
}

QModelIndex AbsTreeItemModel::parent(const QModelIndex &child) const
{
    auto *node = static_cast<_ItemNode *>(child.internalPointer());
    if (!node || !node->parent)
        return QModelIndex();
    return indexOf(node->parent);
}

int AbsTreeItemModel::rowCount(const QModelIndex &parent) const
{
    auto *node = static_cast<_ItemNode *>(parent.internalPointer());
    return node ? int(node->children.size()) : int(roots.size());
}

QModelIndex AbsTreeItemModel::indexOf(_ItemNode *node) const
{
    if (!node)
        return QModelIndex();
    const QList<_ItemNode *> &list = siblingsOf(node);
    const _CachedIndex &c = node->cachedIndex;
    if (c.row >= 0 && c.column >= 0 && c.model && c.row < list.size() && list.at(c.row) == node)
        return createIndex(c.row, c.column, node);
    const int row = int(list.indexOf(node));
    if (row < 0)
        return QModelIndex();
    // Written back so that parent() of the node's children stays constant time.
    node->cachedIndex = {row, 0, node, this};
    return createIndex(row, 0, node);
}

void AbsTreeItemModel::removeChildren(_ItemNode *node)
{
    QList<_ItemNode *> &list = node ? node->children : roots;
    const int n = int(list.size());
    if (n < 1)
        return;
    beginRemoveRows(node ? indexOf(node) : QModelIndex(), 0, n - 1);
    const QList<_ItemNode *> gone = list;
    list.clear();
    qDeleteAll(gone);
    endRemoveRows();
}

void AbsTreeItemModel::removeNode(_ItemNode *node)
{
    if (!node)
        return;
    removeChildren(node);
    QList<_ItemNode *> &list = siblingsOf(node);
    const int i = int(list.indexOf(node));
    if (i < 0)
        return;
    beginRemoveRows(node->parent ? indexOf(node->parent) : QModelIndex(), i, i);
    list.removeAt(i);
    delete node;
    endRemoveRows();
}

void AbsTreeItemModel::nodeChanged(_ItemNode *node)
{
    // Two ranges: one dataChanged may not span rows of different parents.
    const QModelIndex at = indexOf(node);
    if (!at.isValid())
        return;
    emit dataChanged(at, at);
    const int n = int(node->children.size());
    if (n > 0)
        emit dataChanged(index(0, 0, at), index(n - 1, columnCount(at) - 1, at));
}

QList<AbsTreeItemModel::_ItemNode *> AbsTreeItemModel::allNodes() const
{
    QList<_ItemNode *> out;
    QList<_ItemNode *> stack;
    for (auto it = roots.crbegin(); it != roots.crend(); ++it)
        stack.append(*it);
    while (!stack.isEmpty()) {
        _ItemNode *node = stack.takeLast();
        out.append(node);
        for (auto it = node->children.crbegin(); it != node->children.crend(); ++it)
            stack.append(*it);
    }
    return out;
}
