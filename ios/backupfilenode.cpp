#include "ios/backupfilenode.h"

#include <QHash>

#include <algorithm>
#include <unordered_map>
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
    buildTree(QHash<QString, _MbdbRecord>(records));
}

void _BackupFileNode::buildTree(QHash<QString, _MbdbRecord> &&records)
{
    std::vector<std::pair<QString, _MbdbRecord>> list;
    list.reserve(size_t(records.size()));
    for (auto it = records.begin(); it != records.end(); ++it)
        list.emplace_back(it.key(), std::move(it.value()));
    records.clear();
    buildTreeFrom(std::move(list));
}

void _BackupFileNode::buildTreeFrom(std::vector<std::pair<QString, _MbdbRecord>> &&records)
{
    if (!children.isEmpty())
        return;
    // A modern backup lists hundreds of thousands of files over a few hundred
    // domains: each domain is decoded and ranked once, each path decoded
    // once, and the parent of a node is found without making a string.
    QHash<QByteArray, int> domainIndex;
    QList<QString> domainNames;
    struct Entry
    {
        int domain;    // index into domainNames, later its rank
        QString path;  // the full path in the tree
        const QString *fileId;
        _MbdbRecord *record;
    };
    std::vector<Entry> sorted;
    sorted.reserve(records.size());
    for (auto &pair : records) {
        _MbdbRecord &r = pair.second;
        auto known = domainIndex.constFind(r.domain.bytes);
        int index;
        if (known == domainIndex.constEnd()) {
            index = int(domainNames.size());
            domainNames.append(r.domain.toQString());
            domainIndex.insert(r.domain.bytes, index);
        } else {
            index = known.value();
        }
        sorted.push_back({index, r.path.toQString(), &pair.first, &r});
    }
    // The order of mbdb_record_less: domain, then path, by UTF-16 code units.
    // Equal texts of different bytes (a NUL cut) share one rank.
    QList<int> byName(domainNames.size());
    for (int i = 0; i < domainNames.size(); ++i)
        byName[i] = i;
    std::stable_sort(byName.begin(), byName.end(),
                     [&](int a, int b) { return QString::compare(domainNames[a], domainNames[b]) < 0; });
    QList<int> rank(domainNames.size());
    for (int i = 0, r = 0; i < byName.size(); ++i) {
        if (i > 0 && domainNames[byName[i]] != domainNames[byName[i - 1]])
            ++r;
        rank[byName[i]] = r;
    }
    for (Entry &e : sorted)
        e.domain = rank[e.domain];
    std::vector<QString> rankedNames(size_t(byName.size()));
    for (int i = 0; i < domainNames.size(); ++i)
        rankedNames[size_t(rank[i])] = domainNames[i];
    std::stable_sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) {
        if (a.domain != b.domain)
            return a.domain < b.domain;
        return QString::compare(a.path, b.path, Qt::CaseSensitive) < 0;
    });

    const QString appPrefix = QStringLiteral("AppDomain-");
    const QString applications = QStringLiteral("Applications");
    struct ViewHash
    {
        size_t operator()(QStringView v) const { return size_t(qHash(v)); }
    };
    // Keys view the full paths held by the entries, which stay put until the
    // tree is built.
    std::unordered_map<QStringView, _BackupFileNode *, ViewHash> byPath;
    byPath.reserve(sorted.size() + 1);
    for (Entry &e : sorted) {
        const QString &domain = rankedNames[size_t(e.domain)];
        if (domain.startsWith(appPrefix)) {
            if (byPath.find(QStringView(applications)) == byPath.end()) {
                auto *node = new _BackupFileNode(this, _MbdbRecord(), applications);
                children.append(node);
                byPath.emplace(QStringView(applications), node);
            }
            QString full = applications + QLatin1Char('/') + domain.mid(appPrefix.size());
            if (!e.path.isEmpty())
                full += QLatin1Char('/') + e.path;
            e.path = full;
        }
        const QStringView fullPath(e.path);
        const qsizetype slash = fullPath.lastIndexOf(QLatin1Char('/'));
        const QStringView nodeName = slash < 0 ? fullPath : fullPath.mid(slash + 1);
        if (nodeName.isEmpty())
            continue;
        // One lookup both tells a path already taken and claims a new one.
        const auto claimed = byPath.try_emplace(fullPath, nullptr);
        if (!claimed.second) {
            // Two domains list one path: the phone's own files (HomeDomain)
            // are the ones the readers want, whichever domain sorts first.
            _BackupFileNode *taken = claimed.first->second;
            if (taken && taken != this && domain == QLatin1String("HomeDomain")
                && taken->record.domain.toQString() != domain) {
                taken->record = std::move(*e.record);
                taken->fileId = *e.fileId;
            }
            continue;
        }
        _BackupFileNode *above = this;
        if (slash >= 0) {
            const auto parent = byPath.find(fullPath.left(slash));
            if (parent != byPath.end())
                above = parent->second;
        }
        auto *node = new _BackupFileNode(above, _MbdbRecord(), QString());
        node->record = std::move(*e.record);
        node->name = nodeName.toString();
        node->fileId = *e.fileId;
        above->children.append(node);
        claimed.first->second = node;
    }
}
