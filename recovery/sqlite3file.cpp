#include "recovery/sqlite3file.h"

#include "app/failure.h"
#include "recovery/sqlitebytes.h"

#include <QVarLengthArray>
#include <QtDebug>

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

// 1 stands for 65536; anything but the powers of two 512..65536 is refused:
// smaller sizes make the local-payload arithmetic negative or divide by zero.
int pageSizeFromHeader(quint16 stored)
{
    const int size = stored == 1 ? 65536 : stored;
    if (size < 512 || (size & (size - 1)) != 0)
        return 0;
    return size;
}

// The children of an interior page: each cell's left child in array order,
// then the right-most pointer, only those inside the file.
QVarLengthArray<quint32, 64> childrenOf(const Sqlite3File &file, const _SqlitePage &page)
{
    QVarLengthArray<quint32, 64> children;
    if (!page.isBtreePage() || page.isLeafPage())
        return children;
    const quint32 count = quint32(file.pageCount());
    for (const uchar *cell : page.cells) {
        const quint32 child = _SqliteCell::parse(file, page, cell).leftChild;
        if (child >= 1 && child <= count)
            children.append(child);
    }
    if (page.rightMostPointer >= 1 && page.rightMostPointer <= count)
        children.append(page.rightMostPointer);
    return children;
}

} // namespace

Sqlite3File::Sqlite3File(const QString &path) : m_file(path)
{
}

Sqlite3File::~Sqlite3File() = default;

// Memory for a whole file. A file of tens of megabytes read into ordinary
// pages costs a page fault per 4 KiB, which on some machines costs more than
// carving the file; huge pages, where the system gives them, take 512 times
// fewer. Files smaller than one huge page, and every file under
// AddressSanitizer, go to the heap instead: there a read past the end is
// reported rather than landing in the mapping's tail.
struct Sqlite3File::FileMemory
{
    static constexpr size_t kHugePage = size_t(2) << 20;

    uchar *data = nullptr;
    void *mapping = nullptr;
    size_t mapped = 0;
    QByteArray heap;

    ~FileMemory()
    {
        if (mapping)
            munmap(mapping, mapped);
    }

    bool allocate(qint64 size)
    {
#if !defined(__SANITIZE_ADDRESS__)
        if (size_t(size) >= kHugePage)
            return allocateHuge(size_t(size));
#endif
        try {
            heap.resize(qsizetype(size));
        } catch (const std::bad_alloc &) {
            return false;
        }
        data = reinterpret_cast<uchar *>(heap.data());
        return true;
    }

    bool allocateHuge(size_t size)
    {
        const size_t length = (size + kHugePage - 1) & ~(kHugePage - 1);
        // One huge page more, so that the data can start on a boundary.
        mapped = length + kHugePage;
        mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            mapping = nullptr;
            return false;
        }
        const auto start = reinterpret_cast<quintptr>(mapping);
        data = reinterpret_cast<uchar *>((start + kHugePage - 1) & ~quintptr(kHugePage - 1));
        madvise(data, length, MADV_HUGEPAGE); // a hint: without it, ordinary pages
        return true;
    }

    // Nothing writes the file's bytes once they are read.
    void seal()
    {
        if (mapping)
            mprotect(mapping, mapped, PROT_READ);
    }
};

void Sqlite3File::open()
{
    if (!m_file.open(QIODevice::ReadOnly))
        throwError(QStringLiteral("open %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    const qint64 size = m_file.size();
    auto refuse = [this](const QString &why) {
        m_file.close();
        throwError(QStringLiteral("map %1 failed. %2").arg(m_file.fileName(), why));
    };
    if (size > kMaxFileBytes)
        refuse(QStringLiteral("The file is larger than %1 bytes.").arg(kMaxFileBytes));
    auto memory = std::make_unique<FileMemory>();
    if (size > 0 && !memory->allocate(size))
        refuse(QString::fromLocal8Bit(std::strerror(ENOMEM)));
    // The file may shrink while it is read: keep what was read. Bytes it
    // gains are not read, so the snapshot is the size taken above at most.
    qint64 got = 0;
    while (got < size) {
        const qint64 n = m_file.read(reinterpret_cast<char *>(memory->data) + got, size - got);
        if (n < 0)
            refuse(m_file.errorString());
        if (n == 0)
            break;
        got += n;
    }
    m_file.close();
    memory->seal();
    m_bytes.clear();
    m_memory.reset();
    adopt(memory->data, got);
    m_memory = std::move(memory);
}

void Sqlite3File::openData(const QByteArray &bytes)
{
    m_memory.reset();
    m_bytes = bytes;
    adopt(reinterpret_cast<const uchar *>(m_bytes.constData()), m_bytes.size());
}

void Sqlite3File::adopt(const uchar *begin, qint64 size)
{
    m_begin = m_end = nullptr;
    m_size = 0;
    m_pageSize = 0;
    const int pageSize = size >= 18 ? pageSizeFromHeader(sqlite_be16(begin + 16)) : 0;
    if (pageSize == 0) {
        m_memory.reset();
        m_bytes.clear();
        throwError(QStringLiteral("invalid page size."));
    }
    m_size = size;
    m_begin = begin;
    m_end = begin + size;
    m_pageSize = pageSize;
}

int Sqlite3File::pageCount() const
{
    // kMaxFileBytes / 512 fits an int; openData may be handed more.
    return m_pageSize > 0 ? int(qMin<qint64>(m_size / m_pageSize, std::numeric_limits<int>::max())) : 0;
}

quint32 Sqlite3File::firstFreelistTrunk() const
{
    return m_begin ? sqlite_get_be32(m_begin + 32, m_end) : 0;
}

quint32 Sqlite3File::freelistPageCount() const
{
    return m_begin ? sqlite_get_be32(m_begin + 36, m_end) : 0;
}

const uchar *Sqlite3File::pageBase(int n) const
{
    return m_begin + qint64(n - 1) * m_pageSize;
}

_SqlitePage Sqlite3File::page(int n) const
{
    _SqlitePage page;
    if (n < 1 || n > pageCount())
        return page;
    page.number = quint32(n);
    page.base = pageBase(n);
    page.header = n == 1 ? page.base + 100 : page.base;
    const uchar *pageEnd = page.base + m_pageSize; // a whole page: inside the file
    page.type = *page.header;                      // the page size is at least 512
    if (!page.isBtreePage())
        return page;

    const uchar *h = page.header;
    page.firstFreeblock = sqlite_be16(h + 1);
    const int storedCells = sqlite_be16(h + 3);
    page.cellContentStart = sqlite_be16(h + 5);
    page.fragmentedBytes = h[7];
    const int headerSize = page.isLeafPage() ? 8 : 12;
    if (!page.isLeafPage())
        page.rightMostPointer = sqlite_be32(h + 8);

    // Only what fits between the header and the page end is an array entry.
    const uchar *array = h + headerSize;
    const int cellCount = qMin<qint64>(storedCells, (pageEnd - array) / 2);
    page.cells.reserve(cellCount);
    for (int i = 0; i < cellCount; ++i) {
        const int offset = sqlite_be16(array + 2 * i);
        if (offset < m_pageSize)
            page.cells.append(page.base + offset);
    }

    // A sound chain ascends, so no repeat can happen until an offset fails to
    // grow; only then is a set of the offsets seen built.
    std::vector<bool> seen;
    int previous = 0;
    int offset = page.firstFreeblock;
    while (offset != 0 && offset + 4 <= m_pageSize && page.freeblocks.size() < m_pageSize / 4) {
        if (seen.empty() && offset <= previous) {
            seen.assign(size_t(m_pageSize), false);
            for (const uchar *fb : std::as_const(page.freeblocks))
                seen[size_t(fb - page.base)] = true;
        }
        if (!seen.empty()) {
            if (seen[size_t(offset)])
                break;
            seen[size_t(offset)] = true;
        }
        page.freeblocks.append(page.base + offset);
        previous = offset;
        offset = sqlite_be16(page.base + offset);
    }
    return page;
}

_SqliteCell _SqliteCell::parse(const Sqlite3File &file, const _SqlitePage &page, const uchar *cell)
{
    _SqliteCell c;
    if (!page.base || !page.isBtreePage() || !cell)
        return c;
    const uchar *end = page.base + file.pageSize();
    if (cell < page.base || cell >= end)
        return c;

    const uchar *p = cell;
    if (page.type == 5 || page.type == 2) {
        if (!sqlite_fits(p, end, 4))
            return c;
        c.leftChild = sqlite_be32(p);
        p += 4;
    }
    if (page.type == 5) {
        sqlite_varint_get(&c.rowid, p, end);
        return c;
    }
    qint64 size = 0;
    const int sizeBytes = sqlite_varint_get(&size, p, end);
    if (sizeBytes == 0)
        return c;
    p += sizeBytes;
    if (page.type == 13) {
        const int rowidBytes = sqlite_varint_get(&c.rowid, p, end);
        if (rowidBytes == 0)
            return c;
        p += rowidBytes;
    }
    c.payloadSize = size;
    c.payload = p;

    // The local part, as the format defines it.
    const qint64 u = file.pageSize();
    const qint64 x = page.type == 13 ? u - 35 : (u - 12) * 64 / 255 - 23;
    const qint64 m = (u - 12) * 32 / 255 - 23;
    if (size <= 0)
        return c;
    if (size <= x) {
        c.localSize = int(size);
        return c;
    }
    const qint64 k = m + (size - m) % (u - 4);
    c.localSize = int(k <= x ? k : m);
    if (c.localSize <= end - p - 4)
        c.firstOverflowPage = sqlite_be32(p + c.localSize);
    return c;
}

_SqliteFreelistTrunk Sqlite3File::freelistTrunk(int n) const
{
    _SqliteFreelistTrunk trunk;
    if (n < 1 || n > pageCount())
        return trunk;
    trunk.number = quint32(n);
    trunk.base = pageBase(n);
    trunk.nextTrunk = sqlite_be32(trunk.base);
    // Only as many leaf numbers as the page can hold: a stored count of
    // 2^32 - 1 must not build a list of billions.
    const quint32 count = qMin<quint32>(sqlite_be32(trunk.base + 4), quint32(m_pageSize / 4 - 2));
    trunk.leaves.reserve(qsizetype(count));
    for (quint32 i = 0; i < count; ++i)
        trunk.leaves.append(sqlite_be32(trunk.base + 8 + 4 * i));
    return trunk;
}

QList<_SqliteFreelistTrunk> Sqlite3File::freelistTrunks() const
{
    QList<_SqliteFreelistTrunk> trunks;
    const int count = pageCount();
    std::vector<bool> seen(size_t(count) + 1, false);
    quint32 t = firstFreelistTrunk();
    while (t >= 1 && t <= quint32(count) && !seen[t]) {
        seen[t] = true;
        trunks.append(freelistTrunk(int(t)));
        t = trunks.constLast().nextTrunk;
    }
    return trunks;
}

void Sqlite3File::appendOverflow(QByteArray *out, quint32 page, qint64 remainder) const
{
    const quint32 count = quint32(pageCount());
    std::vector<bool> seen;
    while (remainder > 0 && page > 1 && page <= count) {
        if (seen.empty())
            seen.assign(size_t(count) + 1, false);
        if (seen[page])
            break; // a chain that returns to a page would never end
        seen[page] = true;
        const uchar *base = pageBase(int(page));
        const qint64 take = qMin<qint64>(remainder, m_pageSize - 4);
        // Grows with the bytes really found, never by the stored size.
        out->append(reinterpret_cast<const char *>(base + 4), qsizetype(take));
        remainder -= take;
        page = sqlite_be32(base);
    }
}

QByteArray Sqlite3File::payload(const _SqliteCell &cell) const
{
    if (cell.payloadSize <= 0 || !cell.payload || !m_begin)
        return QByteArray();
    const qint64 local = qBound(qint64(0), qint64(cell.localSize), cell.payloadSize);
    QByteArray out = sqlite_get_bytes(local, cell.payload, m_end);
    appendOverflow(&out, cell.firstOverflowPage, cell.payloadSize - local);
    return out;
}

_SqliteCarvedRow Sqlite3File::rowData(const _SqliteCell &cell) const
{
    _SqliteCarvedRow row;
    row.rowid = cell.rowid;
    const QByteArray bytes = payload(cell);
    if (bytes.isEmpty())
        return row;
    const auto *begin = reinterpret_cast<const uchar *>(bytes.constData());
    const uchar *end = begin + bytes.size();

    qint64 headerSize = 0;
    const int used = sqlite_varint_get(&headerSize, begin, end);
    if (used == 0) {
        qWarning("Sqlite3File::rowData, read header length failed.");
        return row;
    }
    if (headerSize < used)
        return row; // shorter than its own length field: not a record
    // Each serial type takes at least one byte, so the header bounds their
    // number, and a header that would reach past the payload fails below.
    QList<qint64> types;
    qint64 at = used;
    while (at < headerSize) {
        qint64 type = 0;
        const int n = sqlite_varint_get(&type, begin + at, end);
        if (n == 0) {
            qWarning("Sqlite3File::rowData, read column type failed.");
            return row;
        }
        types.append(type);
        at += n;
    }

    qint64 offset = headerSize;
    row.values.reserve(types.size());
    for (qint64 type : std::as_const(types))
        row.values.append(sqlite_get_value(type, begin, end, &offset));
    return row;
}

namespace {

// Depth first, each page before its children, without recursion: a crafted
// tree of any depth or with cycles ends, each page visited once. visit
// answers whether to go below the page it was given.
void walkTree(const Sqlite3File &file, const _SqlitePage &page,
              const std::function<bool(const _SqlitePage &)> &visit)
{
    const int count = file.pageCount();
    std::vector<bool> seen(size_t(count) + 1, false);
    if (page.number >= 1 && page.number <= quint32(count))
        seen[page.number] = true;
    std::vector<quint32> stack;
    auto push = [&](const _SqlitePage &p) {
        const auto children = childrenOf(file, p);
        for (qsizetype i = children.size() - 1; i >= 0; --i)
            if (!seen[children[i]])
                stack.push_back(children[i]);
    };
    if (visit(page))
        push(page);
    while (!stack.empty()) {
        const quint32 n = stack.back();
        stack.pop_back();
        if (seen[n])
            continue;
        seen[n] = true;
        const _SqlitePage child = file.page(int(n));
        if (visit(child))
            push(child);
    }
}

} // namespace

QList<_SqlitePage> Sqlite3File::allPages(const _SqlitePage &page) const
{
    QList<_SqlitePage> pages;
    walkTree(*this, page, [&](const _SqlitePage &p) {
        pages.append(p);
        return true;
    });
    return pages;
}

QList<_SqlitePage> Sqlite3File::leafPages(const _SqlitePage &page) const
{
    QList<_SqlitePage> leaves;
    walkTree(*this, page, [&](const _SqlitePage &p) {
        if (!p.isLeafPage())
            return true;
        leaves.append(p);
        return false;
    });
    return leaves;
}
