#include "ios/backupfilenode.h"

#include <QHash>

#include <algorithm>
#include <cstring>
#include <memory>
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

namespace {

// A path as the tree compares paths: the UTF-8 of the path's text (as
// _MbdbString::toQString() gives it: cut at the first NUL, every invalid
// sequence one U+FFFD). Two paths are one path exactly when these bytes are
// equal, and the bytes of nearly every path are its record's bytes as they
// stand, checked but not converted.
bool isPlainAscii(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    // Eight bytes at a time: no byte with its high bit set, none zero.
    constexpr quint64 ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    for (; i + 8 <= size; i += 8) {
        quint64 w;
        std::memcpy(&w, p + i, 8);
        if ((w & highs) != 0 || ((w - ones) & ~w & highs) != 0)
            return false;
    }
    for (; i < size; ++i) {
        const auto u = static_cast<unsigned char>(p[i]);
        if (u == 0 || u >= 0x80) // NUL, or a byte of a multi-byte sequence
            return false;
    }
    return true;
}

// Whether text holds a byte that may start a character from U+E000 on.
bool hasHighLead(const char *text, qsizetype size)
{
    for (qsizetype i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0xEE)
            return true;
    }
    return false;
}

// The order of QString::compare (UTF-16 code units) over two texts in UTF-8.
// UTF-8 bytes sort as code points, and so do UTF-16 units, except that a
// character from U+E000 to U+FFFF (lead byte 0xEE or 0xEF) sorts after one
// beyond U+FFFF (lead byte 0xF0 to 0xF4, a surrogate pair in UTF-16): where
// the first differing bytes are such a pair, the order turns round.
int compareAsUtf16(const char *a, qsizetype aSize, const char *b, qsizetype bSize)
{
    const qsizetype common = qMin(aSize, bSize);
    qsizetype i = 0;
    while (i + 8 <= common) {
        quint64 x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            break;
        i += 8;
    }
    while (i < common && a[i] == b[i])
        ++i;
    if (i == common)
        return aSize < bSize ? -1 : aSize > bSize ? 1 : 0;
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    const bool xHighBmp = x == 0xEE || x == 0xEF, yHighBmp = y == 0xEE || y == 0xEF;
    if ((xHighBmp && y >= 0xF0) || (yHighBmp && x >= 0xF0))
        return xHighBmp ? 1 : -1;
    return x < y ? -1 : 1;
}

// Bytes that stay put until the tree is built: every node's full path, so
// that the table below can view them.
class Arena
{
public:
    char *take(qsizetype size)
    {
        if (size > m_left || !m_next) {
            const qsizetype block = qMax<qsizetype>(size, 1 << 20);
            m_blocks.emplace_back(new char[size_t(block)]);
            m_next = m_blocks.back().get();
            m_left = block;
        }
        char *out = m_next;
        m_next += size;
        m_left -= size;
        return out;
    }

private:
    std::vector<std::unique_ptr<char[]>> m_blocks;
    char *m_next = nullptr;
    qsizetype m_left = 0;
};

// Full path (UTF-8 as above) to the node that holds it: open addressing,
// linear probing, over a table of at least twice as many slots as paths.
class PathTable
{
public:
    explicit PathTable(size_t paths)
    {
        size_t count = 16;
        while (count < 2 * paths + 2)
            count *= 2;
        m_slots.assign(count, Slot());
        m_mask = count - 1;
        m_items.reserve(paths + 1);
    }

    // The node of path, or null.
    _BackupFileNode *find(const char *path, qsizetype size) const
    {
        const size_t hash = qHashBits(path, size_t(size), m_seed);
        for (size_t at = hash & m_mask;; at = (at + 1) & m_mask) {
            const Slot &slot = m_slots[at];
            if (slot.item == 0)
                return nullptr;
            const Item &item = m_items[slot.item - 1];
            if (slot.hash == quint32(hash) && item.size == size && std::memcmp(item.path, path, size_t(size)) == 0)
                return item.node;
        }
    }

    // The slot of path's node, claimed (null) when path had none; path must
    // stay put while the table is used. added tells which.
    _BackupFileNode *&claim(const char *path, qsizetype size, bool &added)
    {
        const size_t hash = qHashBits(path, size_t(size), m_seed);
        for (size_t at = hash & m_mask;; at = (at + 1) & m_mask) {
            Slot &slot = m_slots[at];
            if (slot.item == 0) {
                m_items.push_back({path, size, nullptr});
                slot = {quint32(hash), quint32(m_items.size())};
                added = true;
                return m_items.back().node;
            }
            Item &item = m_items[slot.item - 1];
            if (slot.hash == quint32(hash) && item.size == size && std::memcmp(item.path, path, size_t(size)) == 0) {
                added = false;
                return item.node;
            }
        }
    }

private:
    struct Slot
    {
        quint32 hash = 0;
        quint32 item = 0; // index into m_items + 1; 0 for an empty slot
    };
    struct Item
    {
        const char *path;
        qsizetype size;
        _BackupFileNode *node;
    };
    std::vector<Slot> m_slots;
    std::vector<Item> m_items; // reserved up front: references stay valid
    size_t m_mask = 0;
    size_t m_seed = qGlobalQHashSeed();
};

} // namespace

void _BackupFileNode::buildTreeFrom(std::vector<std::pair<QString, _MbdbRecord>> &&records)
{
    if (!children.isEmpty())
        return;
    // A modern backup lists hundreds of thousands of files over a few hundred
    // domains: each domain is decoded and ranked once, paths are compared
    // and looked up as the UTF-8 bytes they already are, and only the name
    // of each node becomes a QString.
    QHash<QByteArray, int> domainIndex;
    QList<QString> domainNames;
    struct Entry
    {
        int domain;       // index into domainNames, later its rank
        quint32 index;    // in records: equal paths keep their order
        const char *path; // UTF-8 as above
        quint32 size;
        bool high;        // path holds a byte from 0xEE on (see compareAsUtf16)
    };
    std::vector<Entry> sorted;
    sorted.reserve(records.size());
    // Paths that are not plain ASCII, converted; they stay put until the end.
    std::vector<QByteArray> converted;
    QByteArray lastDomain;
    int lastIndex = -1;
    for (size_t i = 0; i < records.size(); ++i) {
        const _MbdbRecord &r = records[i].second;
        int index;
        if (lastIndex >= 0 && r.domain.bytes == lastDomain) {
            index = lastIndex;
        } else {
            auto known = domainIndex.constFind(r.domain.bytes);
            if (known == domainIndex.constEnd()) {
                index = int(domainNames.size());
                domainNames.append(r.domain.toQString());
                known = domainIndex.insert(r.domain.bytes, index);
            } else {
                index = known.value();
            }
            lastDomain = r.domain.bytes;
            lastIndex = index;
        }
        const QByteArray &bytes = r.path.bytes;
        if (r.path.isAbsent() || r.path.length == 0) {
            sorted.push_back({index, quint32(i), "", 0, false});
        } else if (isPlainAscii(bytes)) {
            sorted.push_back({index, quint32(i), bytes.constData(), quint32(bytes.size()), false});
        } else {
            converted.push_back(r.path.toQString().toUtf8());
            sorted.push_back({index, quint32(i), nullptr, 0, false}); // filled below: converted may still move
        }
    }
    for (size_t i = 0, c = 0; i < sorted.size(); ++i) {
        if (!sorted[i].path) {
            sorted[i].path = converted[c].constData();
            sorted[i].size = quint32(converted[c].size());
            sorted[i].high = hasHighLead(sorted[i].path, sorted[i].size);
            ++c;
        }
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
    std::sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) {
        if (a.domain != b.domain)
            return a.domain < b.domain;
        // Without a byte from 0xEE on in either, UTF-8 bytes sort as UTF-16.
        int order;
        if (a.high || b.high) {
            order = compareAsUtf16(a.path, a.size, b.path, b.size);
        } else {
            order = std::memcmp(a.path, b.path, qMin(a.size, b.size));
            if (order == 0)
                order = a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
        }
        return order != 0 ? order < 0 : a.index < b.index;
    });

    // What each ranked domain puts before its paths: "Applications/<id>" for
    // an application's domain, nothing for the domains that share one space.
    const QString appPrefix = QStringLiteral("AppDomain-");
    std::vector<QByteArray> prefixes(rankedNames.size());
    std::vector<char> isHome(rankedNames.size());
    for (size_t d = 0; d < rankedNames.size(); ++d) {
        if (rankedNames[d].startsWith(appPrefix))
            prefixes[d] = (QStringLiteral("Applications/") + rankedNames[d].mid(appPrefix.size())).toUtf8();
        isHome[d] = rankedNames[d] == QLatin1String("HomeDomain");
    }

    static const char applications[] = "Applications";
    const qsizetype applicationsSize = qsizetype(sizeof applications - 1);
    Arena arena;
    PathTable byPath(sorted.size() + 1);
    // The last parent looked up, and what it was then (kept true as nodes
    // are added): siblings come one after another.
    const char *lastParent = nullptr;
    qsizetype lastParentSize = -1;
    _BackupFileNode *lastAbove = nullptr;
    for (const Entry &e : sorted) {
        const QByteArray &prefix = prefixes[size_t(e.domain)];
        if (!prefix.isNull()) {
            bool added = false;
            _BackupFileNode *&apps = byPath.claim(applications, applicationsSize, added);
            if (added) {
                apps = new _BackupFileNode(this, _MbdbRecord(), QString::fromLatin1(applications));
                children.append(apps);
                if (lastParentSize == applicationsSize && std::memcmp(lastParent, applications, sizeof applications - 1) == 0)
                    lastAbove = apps;
            }
        }
        // The full path, kept in the arena for the table to view.
        const qsizetype size = prefix.isNull() ? e.size : prefix.size() + (e.size > 0 ? 1 + e.size : 0);
        char *full = arena.take(size);
        if (prefix.isNull()) {
            std::memcpy(full, e.path, size_t(e.size));
        } else {
            std::memcpy(full, prefix.constData(), size_t(prefix.size()));
            if (e.size > 0) {
                full[prefix.size()] = '/';
                std::memcpy(full + prefix.size() + 1, e.path, size_t(e.size));
            }
        }
        qsizetype slash = size - 1;
        while (slash >= 0 && full[slash] != '/')
            --slash;
        if (slash == size - 1)
            continue; // no name: the path is empty or ends in '/'
        bool added = false;
        _BackupFileNode *&slot = byPath.claim(full, size, added);
        _MbdbRecord &record = records[e.index].second;
        if (!added) {
            // Two domains list one path: the phone's own files (HomeDomain)
            // are the ones the readers want, whichever domain sorts first.
            _BackupFileNode *taken = slot;
            if (taken && taken != this && isHome[size_t(e.domain)]
                && taken->record.domain.toQString() != rankedNames[size_t(e.domain)]) {
                taken->record = std::move(record);
                taken->fileId = std::move(records[e.index].first);
            }
            continue;
        }
        _BackupFileNode *above = this;
        if (slash >= 0) {
            if (slash == lastParentSize && std::memcmp(full, lastParent, size_t(slash)) == 0) {
                above = lastAbove;
            } else {
                if (_BackupFileNode *parent = byPath.find(full, slash))
                    above = parent;
                lastParent = full;
                lastParentSize = slash;
                lastAbove = above;
            }
        }
        auto *node = new _BackupFileNode(above);
        node->record = std::move(record);
        node->name = QString::fromUtf8(full + slash + 1, size - slash - 1);
        node->fileId = std::move(records[e.index].first);
        above->children.append(node);
        slot = node;
        // A parent looked up before, and missing then, may be this node.
        if (size == lastParentSize && std::memcmp(full, lastParent, size_t(size)) == 0)
            lastAbove = node;
    }
}
