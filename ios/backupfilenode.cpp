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

// A byte's place in the order of UTF-16 code units (see compareAsUtf16):
// lead bytes 0xF0 to 0xF4 move before 0xEE and 0xEF; every other byte of
// UTF-8 keeps its place.
struct Utf16ByteOrder
{
    unsigned char rank[256];
    constexpr Utf16ByteOrder() : rank()
    {
        for (int b = 0; b < 256; ++b)
            rank[b] = static_cast<unsigned char>(b);
        for (int b = 0xF0; b <= 0xF4; ++b)
            rank[b] = static_cast<unsigned char>(b - 2);
        rank[0xEE] = 0xF3;
        rank[0xEF] = 0xF4;
    }
};
constexpr Utf16ByteOrder kUtf16ByteOrder;

// What the sort of paths needs of each entry.
struct SortKey
{
    const char *path;
    quint32 size;
    quint32 index; // equal paths keep this order
};

// The byte of key at depth in the order above, -1 past its end.
inline int byteAt(const SortKey &key, qsizetype depth)
{
    return depth < qsizetype(key.size) ? kUtf16ByteOrder.rank[static_cast<unsigned char>(key.path[depth])] : -1;
}

bool keyLess(const SortKey &a, const SortKey &b, qsizetype depth)
{
    const int order = compareAsUtf16(a.path + depth, a.size - depth, b.path + depth, b.size - depth);
    return order != 0 ? order < 0 : a.index < b.index;
}

// Sorts keys, which agree on their first depth bytes, by path and then by
// index: three-way radix quicksort, which looks at the bytes that tell
// paths apart rather than comparing their long shared beginnings again and
// again. Recursion goes into the two smaller parts only, so it is at most
// log2 of the count deep.
void sortPaths(SortKey *keys, qsizetype count, qsizetype depth)
{
    while (count > 1) {
        if (count < 12) {
            std::sort(keys, keys + count, [depth](const SortKey &a, const SortKey &b) { return keyLess(a, b, depth); });
            return;
        }
        // The median of the first, middle and last key's byte. Whatever the
        // keys, each round at one depth takes at least one of at most 257
        // values (256 bytes and the end) out of that depth.
        const int x = byteAt(keys[0], depth), y = byteAt(keys[count / 2], depth), z = byteAt(keys[count - 1], depth);
        const int pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        qsizetype lt = 0, i = 0, gt = count;
        while (i < gt) {
            const int c = byteAt(keys[i], depth);
            if (c < pivot)
                std::swap(keys[lt++], keys[i++]);
            else if (c > pivot)
                std::swap(keys[i], keys[--gt]);
            else
                ++i;
        }
        // [0, lt) below, [lt, gt) equal at depth, [gt, count) above.
        SortKey *const equal = keys + lt;
        const qsizetype below = lt, same = gt - lt, above = count - gt;
        if (pivot < 0) {
            // Every path of the middle part ends here: they are equal.
            std::sort(equal, equal + same, [](const SortKey &a, const SortKey &b) { return a.index < b.index; });
            if (below >= above) {
                sortPaths(keys + gt, above, depth);
                count = below;
            } else {
                sortPaths(keys, below, depth);
                keys += gt;
                count = above;
            }
            continue;
        }
        if (same >= below && same >= above) {
            sortPaths(keys, below, depth);
            sortPaths(keys + gt, above, depth);
            keys = equal;
            count = same;
            ++depth;
        } else if (below >= above) {
            sortPaths(equal, same, depth + 1);
            sortPaths(keys + gt, above, depth);
            count = below;
        } else {
            sortPaths(keys, below, depth);
            sortPaths(equal, same, depth + 1);
            keys += gt;
            count = above;
        }
    }
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
    std::vector<std::unique_ptr<_BackupFileNode>> nodes;
    nodes.reserve(records.size());
    for (auto &pair : records) {
        auto node = std::make_unique<_BackupFileNode>();
        node->record = std::move(pair.second);
        node->fileId = std::move(pair.first);
        nodes.push_back(std::move(node));
    }
    records.clear();
    buildTreeFromNodes(std::move(nodes));
}

void _BackupFileNode::buildTreeFromNodes(std::vector<std::unique_ptr<_BackupFileNode>> &&nodes)
{
    if (!children.isEmpty())
        return;
    // A modern backup lists hundreds of thousands of files over a few hundred
    // domains: each domain is decoded and ranked once; each full path is
    // written once, packed with the others, as UTF-8 (nearly always its
    // record's bytes as they stand), then sorted and looked up as bytes; only
    // the name of each node becomes a QString.
    QHash<QByteArray, int> domainIndex;
    QList<QString> domainNames;
    // By domain index: what the domain puts before its paths,
    // "Applications/<id>" for an application's domain, nothing (null) for
    // the domains that share one space of paths.
    std::vector<QByteArray> prefixes;
    const QString appPrefix = QStringLiteral("AppDomain-");
    struct Entry
    {
        int domain;       // index into domainNames, later its rank
        quint32 index;    // in records: equal paths keep their order
        const char *path; // the full path in the tree, UTF-8 as above
        quint32 size;
    };
    std::vector<Entry> sorted;
    sorted.reserve(nodes.size());
    Arena arena;
    QByteArray lastDomain;
    int lastIndex = -1;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const _MbdbRecord &r = nodes[i]->record;
        int index;
        if (lastIndex >= 0 && r.domain.bytes == lastDomain) {
            index = lastIndex;
        } else {
            auto known = domainIndex.constFind(r.domain.bytes);
            if (known == domainIndex.constEnd()) {
                index = int(domainNames.size());
                const QString name = r.domain.toQString();
                domainNames.append(name);
                QByteArray prefix;
                if (name.startsWith(appPrefix))
                    prefix = (QStringLiteral("Applications/") + name.mid(appPrefix.size())).toUtf8();
                prefixes.push_back(std::move(prefix));
                known = domainIndex.insert(r.domain.bytes, index);
            } else {
                index = known.value();
            }
            lastDomain = r.domain.bytes;
            lastIndex = index;
        }
        QByteArray converted;
        const char *path = "";
        qsizetype pathSize = 0;
        if (!r.path.isAbsent() && r.path.length != 0) {
            if (isPlainAscii(r.path.bytes)) {
                path = r.path.bytes.constData();
                pathSize = r.path.bytes.size();
            } else {
                converted = r.path.toQString().toUtf8();
                path = converted.constData();
                pathSize = converted.size();
            }
        }
        const QByteArray &prefix = prefixes[size_t(index)];
        const qsizetype size = prefix.isNull() ? pathSize : prefix.size() + (pathSize > 0 ? 1 + pathSize : 0);
        char *full = arena.take(size);
        if (prefix.isNull()) {
            std::memcpy(full, path, size_t(pathSize));
        } else {
            std::memcpy(full, prefix.constData(), size_t(prefix.size()));
            if (pathSize > 0) {
                full[prefix.size()] = '/';
                std::memcpy(full + prefix.size() + 1, path, size_t(pathSize));
            }
        }
        sorted.push_back({index, quint32(i), full, quint32(size)});
    }
    // The order of mbdb_record_less: domain, then path, by UTF-16 code units.
    // Equal texts of different bytes (a NUL cut) share one rank. The paths
    // of one rank share their prefix, so full paths sort as paths do.
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
    std::vector<char> isApp(size_t(byName.size())), isHome(size_t(byName.size()));
    for (int i = 0; i < domainNames.size(); ++i) {
        const size_t r = size_t(rank[i]);
        rankedNames[r] = domainNames[i];
        isApp[r] = !prefixes[size_t(i)].isNull();
        isHome[r] = domainNames[i] == QLatin1String("HomeDomain");
    }
    // By domain rank (counted out, keeping the records' order), then by
    // path within each rank.
    std::vector<qsizetype> rankStart(rankedNames.size() + 1, 0);
    for (const Entry &e : sorted)
        ++rankStart[size_t(e.domain) + 1];
    for (size_t r = 1; r < rankStart.size(); ++r)
        rankStart[r] += rankStart[r - 1];
    std::vector<SortKey> keys(sorted.size());
    {
        std::vector<qsizetype> next(rankStart.begin(), rankStart.end() - 1);
        for (const Entry &e : sorted)
            keys[size_t(next[size_t(e.domain)]++)] = {e.path, e.size, e.index};
    }
    for (size_t r = 0; r + 1 < rankStart.size(); ++r) {
        sortPaths(keys.data() + rankStart[r], rankStart[r + 1] - rankStart[r], 0);
        for (qsizetype k = rankStart[r]; k < rankStart[r + 1]; ++k)
            sorted[size_t(k)] = {int(r), keys[size_t(k)].index, keys[size_t(k)].path, keys[size_t(k)].size};
    }

    static const char applications[] = "Applications";
    const qsizetype applicationsSize = qsizetype(sizeof applications - 1);
    PathTable byPath(sorted.size() + 1);
    // The last parent looked up, and what it was then (kept true as nodes
    // are added): siblings come one after another.
    const char *lastParent = nullptr;
    qsizetype lastParentSize = -1;
    _BackupFileNode *lastAbove = nullptr;
    for (const Entry &e : sorted) {
        if (isApp[size_t(e.domain)]) {
            bool added = false;
            _BackupFileNode *&apps = byPath.claim(applications, applicationsSize, added);
            if (added) {
                apps = new _BackupFileNode(this, _MbdbRecord(), QString::fromLatin1(applications));
                children.append(apps);
                if (lastParentSize == applicationsSize && std::memcmp(lastParent, applications, sizeof applications - 1) == 0)
                    lastAbove = apps;
            }
        }
        const char *full = e.path;
        const qsizetype size = qsizetype(e.size);
        qsizetype slash = size - 1;
        while (slash >= 0 && full[slash] != '/')
            --slash;
        if (slash == size - 1)
            continue; // no name: the path is empty or ends in '/'
        bool added = false;
        _BackupFileNode *&slot = byPath.claim(full, size, added);
        std::unique_ptr<_BackupFileNode> &made = nodes[e.index];
        if (!added) {
            // Two domains list one path: the phone's own files (HomeDomain)
            // are the ones the readers want, whichever domain sorts first.
            _BackupFileNode *taken = slot;
            if (taken && taken != this && isHome[size_t(e.domain)]
                && taken->record.domain.toQString() != rankedNames[size_t(e.domain)]) {
                taken->record = std::move(made->record);
                taken->fileId = std::move(made->fileId);
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
        _BackupFileNode *node = made.release();
        node->parent = above;
        node->name = QString::fromUtf8(full + slash + 1, size - slash - 1);
        above->children.append(node);
        slot = node;
        // A parent looked up before, and missing then, may be this node.
        if (size == lastParentSize && std::memcmp(full, lastParent, size_t(size)) == 0)
            lastAbove = node;
    }
}
