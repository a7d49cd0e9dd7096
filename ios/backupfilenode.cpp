#include "ios/backupfilenode.h"

#include <QMap>

#include <algorithm>

_BackupFileNode::_BackupFileNode(_BackupFileNode *parent, const _MbdbRecord &record, const QString &name)
    : name(name), record(record), parent(parent)
{
}

_BackupFileNode::~_BackupFileNode()
{
    // Without recursion: a crafted manifest can nest folders deeper than the
    // stack would take.
    QList<_BackupFileNode *> doomed = children;
    children.clear();
    while (!doomed.isEmpty()) {
        _BackupFileNode *node = doomed.takeLast();
        doomed.append(node->children);
        node->children.clear();
        delete node;
    }
}

void _BackupFileNode::buildTree(const QHash<QString, _MbdbRecord> &records)
{
    if (!children.isEmpty())
        return;
    QList<_MbdbRecord> sorted = records.values();
    std::stable_sort(sorted.begin(), sorted.end(), mbdb_record_less);

    const QString appPrefix = QStringLiteral("AppDomain-");
    const QString applications = QStringLiteral("Applications");
    QMap<QString, _BackupFileNode *> byPath;
    for (const _MbdbRecord &r : sorted) {
        const QString domain = r.domain.toQString();
        const QString path = r.path.toQString();
        QString fullPath = path;
        if (domain.startsWith(appPrefix)) {
            if (!byPath.contains(applications)) {
                auto *node = new _BackupFileNode(this, _MbdbRecord(), applications);
                children.append(node);
                byPath.insert(applications, node);
            }
            fullPath = applications + QLatin1Char('/') + domain.mid(appPrefix.size());
            if (!path.isEmpty())
                fullPath += QLatin1Char('/') + path;
        }
        const qsizetype slash = fullPath.lastIndexOf(QLatin1Char('/'));
        const QString nodeName = slash < 0 ? fullPath : fullPath.mid(slash + 1);
        const QString parentPath = slash < 0 ? QString() : fullPath.left(slash);
        if (nodeName.isEmpty())
            continue;
        if (_BackupFileNode *taken = byPath.value(fullPath)) {
            // Two domains list one path: the phone's own files (HomeDomain)
            // are the ones the readers want, whichever domain sorts first.
            if (domain == QLatin1String("HomeDomain") && taken->record.domain.toQString() != domain)
                taken->record = r;
            continue;
        }
        _BackupFileNode *above = byPath.value(parentPath, this);
        auto *node = new _BackupFileNode(above, r, nodeName);
        above->children.append(node);
        byPath.insert(fullPath, node);
    }
}
