#include "ios/backupfilenode.h"

#include <QHash>

#include <algorithm>
#include <vector>

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
    // Domain and path are decoded once per record rather than at every
    // comparison: a modern backup lists hundreds of thousands of files.
    struct Entry
    {
        QString domain;
        QString path;
        const QString *fileId;
        const _MbdbRecord *record;
    };
    std::vector<Entry> sorted;
    sorted.reserve(size_t(records.size()));
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        sorted.push_back({it.value().domain.toQString(), it.value().path.toQString(), &it.key(), &it.value()});
    // The order of mbdb_record_less: domain, then path, by UTF-16 code units.
    std::stable_sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) {
        const int byDomain = QString::compare(a.domain, b.domain, Qt::CaseSensitive);
        if (byDomain != 0)
            return byDomain < 0;
        return QString::compare(a.path, b.path, Qt::CaseSensitive) < 0;
    });

    const QString appPrefix = QStringLiteral("AppDomain-");
    const QString applications = QStringLiteral("Applications");
    QHash<QString, _BackupFileNode *> byPath;
    byPath.reserve(qsizetype(sorted.size()));
    for (const Entry &e : sorted) {
        QString fullPath = e.path;
        if (e.domain.startsWith(appPrefix)) {
            if (!byPath.contains(applications)) {
                auto *node = new _BackupFileNode(this, _MbdbRecord(), applications);
                children.append(node);
                byPath.insert(applications, node);
            }
            fullPath = applications + QLatin1Char('/') + e.domain.mid(appPrefix.size());
            if (!e.path.isEmpty())
                fullPath += QLatin1Char('/') + e.path;
        }
        const qsizetype slash = fullPath.lastIndexOf(QLatin1Char('/'));
        const QString nodeName = slash < 0 ? fullPath : fullPath.mid(slash + 1);
        if (nodeName.isEmpty() || byPath.contains(fullPath))
            continue;
        _BackupFileNode *above = slash < 0 ? this : byPath.value(fullPath.left(slash), this);
        auto *node = new _BackupFileNode(above, *e.record, nodeName);
        node->fileId = *e.fileId;
        above->children.append(node);
        byPath.insert(fullPath, node);
    }
}
