// Carving: finding deleted rows of a known column layout in bytes that no
// pointer reaches any more (a page's unallocated gap, its freeblocks, whole
// freed pages).
//
// A table-leaf cell as SQLite writes it:
//
//   payload size P (varint)  rowid (varint)  header size H (varint)
//   serial type of column 0 (0: the INTEGER PRIMARY KEY is stored as NULL)
//   serial types of columns 1..n-1             <- a candidate starts here
//   body: the values of the columns, in order
//
// Freeing a cell writes a 4-byte freeblock header over its first bytes (P,
// rowid, H and column 0's type for small records) unless the cell merges into
// the freeblock just before it; what follows column 0's type survives. So the
// scan looks for serial types, and takes the rowid only where the bytes before
// the candidate still read as P, rowid, H and 0 with P = H + the body size.
#include "recovery/sqlite3file.h"

#include "recovery/sqlitebytes.h"

#include <QVarLengthArray>
#include <QtDebug>

#include <limits>

namespace {

// What serial types a column takes, as bits.
enum : uchar {
    TakesNull = 1,    // only a column without NOT NULL, DEFAULT or PRIMARY KEY
    TakesInteger = 2, // types 1..6, 8, 9
    TakesReal = 4,
    TakesBlob = 8,
    TakesText = 16,
};

uchar ruleOf(const _SqliteCol &col)
{
    uchar rule = 0;
    if (!col.notNull && !col.hasDefault && !col.primaryKey)
        rule |= TakesNull;
    if (col.isInteger() || col.isNumeric())
        rule |= TakesInteger;
    if (col.isReal() || col.isNumeric())
        rule |= TakesReal;
    if (col.isBlob())
        rule |= TakesBlob;
    if (col.isText())
        rule |= TakesText;
    return rule;
}

inline bool accepts(uchar rule, qint64 type)
{
    if (type >= 12)
        return rule & ((type & 1) ? TakesText : TakesBlob);
    if (type < 0 || type == 10 || type == 11)
        return true;
    if (type == 0)
        return rule & TakesNull;
    if (type == 7)
        return rule & TakesReal;
    return rule & TakesInteger;
}

// Both not negative; a sum past the largest qint64 stays there.
inline qint64 saturatedAdd(qint64 a, qint64 b)
{
    return b > std::numeric_limits<qint64>::max() - a ? std::numeric_limits<qint64>::max() : a + b;
}

// The rowid of a candidate whose serial types start at pos, or 0. The bytes
// before pos, inside [start, pos), must read as the payload size, the rowid,
// a header size of sizeBytes bytes equal to headerSize, and serial type 0,
// with the payload size equal to payloadSize.
qint64 carvedRowid(const uchar *start, const uchar *pos, qint64 headerSize, int sizeBytes, qint64 payloadSize)
{
    const qint64 before = pos - start;
    if (before < 1 + sizeBytes + 2 || pos[-1] != 0)
        return 0;
    const uchar *headerStart = pos - 1 - sizeBytes;
    qint64 stored = 0;
    if (sqlite_varint_get(&stored, headerStart, pos - 1) != sizeBytes || stored != headerSize)
        return 0;
    // Two varints of 1 to 9 bytes each end exactly at the header; the
    // payload size tells the real split from a chance one.
    const qint64 room = qMin<qint64>(headerStart - start, 18);
    for (qint64 back = 2; back <= room; ++back) {
        const uchar *p = headerStart - back;
        qint64 size = 0;
        const int sizeLen = sqlite_varint_get(&size, p, headerStart);
        if (sizeLen == 0 || size != payloadSize)
            continue;
        qint64 rowid = 0;
        const int rowidLen = sqlite_varint_get(&rowid, p + sizeLen, headerStart);
        if (rowidLen > 0 && p + sizeLen + rowidLen == headerStart)
            return rowid;
    }
    return 0;
}

} // namespace

const uchar *Sqlite3File::carveCandidate(const qint64 *types, int columns, short firstColumnBytes, int usable,
                                         const uchar *start, const uchar *pos, const uchar *q, const uchar *end,
                                         SqliteRowFilter filter, QList<_SqliteCarvedRow> *rows) const
{
    // Serial types up to 2^63 make the sum overflow: it saturates, and the
    // scan goes on at the range end at the latest.
    const qint64 firstBytes = qMax<qint64>(firstColumnBytes, 0);
    qint64 bodySize = firstBytes;
    for (int i = 1; i < columns; ++i)
        bodySize = saturatedAdd(bodySize, sqlite_serial_body_size(types[i]));
    // The header: its own size varint, column 0's one-byte serial type, and
    // the serial types read.
    const qint64 rest = 1 + (q - pos);
    int sizeBytes = 1;
    while (sqlite_varint_len(rest + sizeBytes) != sizeBytes)
        ++sizeBytes;
    const qint64 headerSize = rest + sizeBytes;
    const qint64 payloadSize = saturatedAdd(headerSize, bodySize);

    QByteArray assembled; // the body of a record that overflowed its page
    bool cut = false;
    const uchar *bodyBegin = q;
    const uchar *bodyEnd;
    const uchar *next;
    if (payloadSize <= qint64(usable) - 35) {
        bodyEnd = q + qMin<qint64>(bodySize, end - q);
        cut = bodySize > end - q;
        next = bodySize >= end - q - 4 ? end : q + bodySize + 4;
    } else {
        // Only the local part lies here, then the first overflow page number.
        const qint64 u = usable;
        const int count = pageCount();
        if (u < 512 || u > 65536 || count < 2)
            return nullptr;
        const qint64 x = u - 35;
        const qint64 m = (u - 12) * 32 / 255 - 23;
        const qint64 k = m + (payloadSize - m) % (u - 4);
        const qint64 localBody = (k <= x ? k : m) - headerSize;
        if (localBody < 0 || localBody > end - q - 4)
            return nullptr;
        const quint32 first = sqlite_be32(q + localBody);
        if (first < 2 || first > quint32(count))
            return nullptr;
        const qint64 remainder = payloadSize - headerSize - localBody;
        // A chain takes each page once: more than the rest of the file can
        // hold is no record (and would only cost a walk per position).
        if (remainder > qint64(count - 1) * (m_pageSize - 4))
            return nullptr;
        assembled = QByteArray(reinterpret_cast<const char *>(q), qsizetype(localBody));
        appendOverflow(&assembled, first, remainder);
        bodyBegin = reinterpret_cast<const uchar *>(assembled.constData());
        bodyEnd = bodyBegin + assembled.size();
        cut = assembled.size() < bodySize;
        next = q + localBody + 4;
    }

    _SqliteCarvedRow row;
    row.cut = cut;
    row.values.reserve(columns);
    qint64 offset = 0;
    if (firstBytes > 0) {
        row.values.append(sqlite_get_bytes(firstBytes, bodyBegin, bodyEnd));
        offset = firstBytes;
    } else {
        row.values.append(QVariant());
    }
    for (int i = 1; i < columns; ++i)
        row.values.append(sqlite_get_value(types[i], bodyBegin, bodyEnd, &offset));
    // Column 0 stored with bytes has no serial type 0 to anchor the search.
    if (firstBytes == 0)
        row.rowid = carvedRowid(start, pos, headerSize, sizeBytes, payloadSize);

    if (filter && !filter(&row))
        return nullptr;
    rows->append(std::move(row));
    return next;
}

QByteArray Sqlite3File::columnRules(const QList<_SqliteCol> &layout) const
{
    for (const ColumnRules &cached : std::as_const(m_rules)) {
        if (cached.layout.constData() == layout.constData() && cached.layout.size() == layout.size())
            return cached.rules;
    }
    ColumnRules made{layout, QByteArray(layout.size(), '\0')};
    for (qsizetype i = 0; i < layout.size(); ++i)
        made.rules[i] = char(ruleOf(layout.at(i)));
    if (m_rules.size() >= kRuleLayouts)
        m_rules.removeFirst();
    m_rules.append(made);
    return made.rules;
}

QList<_SqliteCarvedRow> Sqlite3File::carveRows(const QList<_SqliteCol> &layout, short firstColumnBytes, int usable,
                                               const uchar *start, const uchar *end, SqliteRowFilter filter) const
{
    QList<_SqliteCarvedRow> rows;
    if (!start || !end || start >= end)
        return rows;
    const int columns = int(layout.size());
    if (columns < 2) {
        qWarning("tbCols size < 2.");
        return rows;
    }
    // A copy of its own: a filter that carves with other layouts must not
    // pull the rules away from under this scan.
    const QByteArray ruleBytes = columnRules(layout);
    const auto *rules = reinterpret_cast<const uchar *>(ruleBytes.constData());
    QVarLengthArray<qint64, 64> types(columns);
    types[0] = 0;

    // Most positions fail at the first or second serial type: nothing is
    // copied or allocated before every column fits.
    const uchar *pos = start;
    while (pos < end) {
        const uchar *q = pos;
        int i = 1;
        for (; i < columns; ++i) {
            qint64 type = 0; // a type the range ends inside counts as NULL
            q += sqlite_varint_get(&type, q, end);
            if (!accepts(rules[i], type))
                break;
            types[i] = type;
        }
        if (i < columns) {
            ++pos;
            continue;
        }
        const uchar *next =
            carveCandidate(types.constData(), columns, firstColumnBytes, usable, start, pos, q, end, filter, &rows);
        pos = next ? next : pos + 1;
    }
    return rows;
}

QList<_SqliteCarvedRow> Sqlite3File::carvePage(const QList<_SqliteCol> &layout, short firstColumnBytes, int n,
                                               int offset, SqliteRowFilter filter) const
{
    if (n < 1 || n > pageCount())
        return {};
    const uchar *base = pageBase(n);
    const int from = qBound(0, offset, m_pageSize);
    return carveRows(layout, firstColumnBytes, m_pageSize, base + from, base + m_pageSize, filter);
}

QList<_SqliteCarvedRow> Sqlite3File::carveFreeSpace(const QList<_SqliteCol> &layout, short firstColumnBytes,
                                                    const _SqlitePage &page, SqliteRowFilter filter) const
{
    const int n = int(page.number);
    if (n < 1 || n > pageCount() || page.base != pageBase(n))
        return {};
    if (!page.isLeafPage())
        return carvePage(layout, firstColumnBytes, n, 8, filter);

    const uchar *pageEnd = page.base + m_pageSize;
    QList<_SqliteCarvedRow> rows;
    // The gap between the header and the cell content area (page 1's header
    // follows the file header, which holds no rows).
    const int content = page.cellContentStart == 0 ? 65536 : page.cellContentStart;
    const uchar *gapStart = page.header + 8;
    const uchar *gapEnd = page.base + qMin(content, m_pageSize);
    if (gapStart < gapEnd)
        rows += carveRows(layout, firstColumnBytes, m_pageSize, gapStart, gapEnd, filter);

    for (const uchar *freeblock : page.freeblocks) {
        const qint64 size = qMin<qint64>(sqlite_get_be16(freeblock + 2, pageEnd), pageEnd - freeblock);
        if (size < 5)
            continue;
        rows += carveRows(layout, firstColumnBytes, m_pageSize, freeblock + 4, freeblock + size, filter);
    }
    return rows;
}
