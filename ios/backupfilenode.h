#pragma once
// One node of the file tree of an iTunes backup: the flat records of
// "Manifest.mbdb", merged over all domains by path, so that a backup's
// "Library/SMS" can be walked like a folder on disk.
#include "ios/mbdb.h"

#include <QList>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

struct _BackupFileNode
{
    // The last component of the node's path; "" for the root.
    QString name;
    // A copy of the record the node stands for. Empty (strings absent, numbers
    // 0) for the root and for "Applications", which therefore count as folders.
    _MbdbRecord record;
    // The file id the backup's file list gives the record (which names its
    // data file); empty for the root and for "Applications".
    QString fileId;
    // The node above, not owned; null for the root.
    _BackupFileNode *parent = nullptr;
    // The nodes below, owned, in the order they were added. Names are unique
    // among them.
    QList<_BackupFileNode *> children;

    // Copies record and name; the caller appends the node to parent's children.
    explicit _BackupFileNode(_BackupFileNode *parent = nullptr, const _MbdbRecord &record = _MbdbRecord(),
                             const QString &name = QString());
    // Deletes the whole subtree.
    ~_BackupFileNode();
    _BackupFileNode(const _BackupFileNode &) = delete;
    _BackupFileNode &operator=(const _BackupFileNode &) = delete;

    // Fills this node, a root, with the tree of records; does nothing when it
    // already has children, so a tree is built once.
    //
    // The records are taken in domain/path order. A record of "AppDomain-<id>"
    // stands at "Applications/<id>/<path>" (the domain's own record at
    // "Applications/<id>"); every other domain shares one space of paths, and
    // of equal paths the domain that sorts first gives the node (but a
    // HomeDomain record, the phone's own file, takes it over), while the
    // files below that path from every domain hang under it. A node goes
    // under the node of its parent path, or straight under the root when its
    // parent folder has no record; a path that ends in '/' gives no node.
    void buildTree(const QHash<QString, _MbdbRecord> &records);
    // The same, taking the records over instead of copying them.
    void buildTree(QHash<QString, _MbdbRecord> &&records);
    // The same from (file id, record) pairs.
    void buildTreeFrom(std::vector<std::pair<QString, _MbdbRecord>> &&records);
    // The same from one node per record, its record and fileId set (parent,
    // name and children empty), taken over: each becomes a node of the tree
    // or is deleted.
    void buildTreeFromNodes(std::vector<std::unique_ptr<_BackupFileNode>> &&nodes);
};
