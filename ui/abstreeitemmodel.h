#pragma once
// The tree model under the main window's tree and the backup chooser's list:
// rows are heap nodes, and an index carries its node as internal pointer.
// Subclasses give the columns and the cell data and create the nodes; this
// base answers Qt's structural questions and removes nodes with the proper
// row-removal signals. GUI thread only.
#include <QAbstractItemModel>
#include <QList>
#include <QString>

class AbsTreeItemModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    // The parts of the index most recently handed out for a node.
    struct _CachedIndex
    {
        int row = -1;
        int column = -1;
        void *pointer = nullptr;
        const QAbstractItemModel *model = nullptr;
    };

    // One row. Children are owned; whoever makes a node puts it into its
    // parent's children (or the model's roots) itself.
    class _ItemNode
    {
    public:
        _ItemNode(int type, const QString &text, _ItemNode *parent);
        virtual ~_ItemNode(); // deletes the subtree
        _ItemNode(const _ItemNode &) = delete;
        _ItemNode &operator=(const _ItemNode &) = delete;

        // Direct children whose type is k.
        int countChildren(int k) const;

        int type;
        QString text;
        _CachedIndex cachedIndex;
        _ItemNode *parent; // null for a top-level node
        QList<_ItemNode *> children;
    };

    explicit AbsTreeItemModel(QObject *parent = nullptr);
    ~AbsTreeItemModel() override; // deletes the whole tree

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;

    // The index of node in column 0 (or the cached column). The cache is used
    // only while the node still stands at the cached row: removals move
    // siblings up without touching their caches, and a stale row would point
    // views at another node. Invalid when the node is in no list.
    QModelIndex indexOf(_ItemNode *node) const;
    // Removes and deletes every child of node, or every root for null, as one
    // removal of rows; nothing is emitted when there is none.
    void removeChildren(_ItemNode *node);
    // Removes the children, then the node itself; a node that stands in no
    // list keeps its place and loses only its children.
    void removeNode(_ItemNode *node);
    // Tells views that node and its children changed.
    void nodeChanged(_ItemNode *node);
    // Every node, each before its children, in row order.
    QList<_ItemNode *> allNodes() const;

    QList<_ItemNode *> roots;

protected:
    // The list node stands in: its parent's children, or roots.
    const QList<_ItemNode *> &siblingsOf(const _ItemNode *node) const;
    QList<_ItemNode *> &siblingsOf(const _ItemNode *node);
};
