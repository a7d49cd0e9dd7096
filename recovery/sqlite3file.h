#pragma once
// An SQLite 3 database file read directly in the published file format,
// without SQLite: pages, cells, freelist trunks, whole payloads and decoded
// records, and the carving of deleted rows out of free space. Used on a
// phone's message database to reach rows that SQL no longer sees.
//
// The whole file is read into memory once by open() (or handed over as bytes
// by openData()), so a file that another process shrinks or rewrites later
// cannot pull bytes away from under the reader. Everything after that is
// read-only and bounded by the end of the buffer it reads: the file, one page,
// one range, or an assembled payload (see sqlitebytes.h). Every walk over
// stored links (b-tree children, overflow, freeblock and trunk chains) visits
// a page or an offset at most once, stops at the first repeat keeping what it
// found, and never reserves memory ahead for a size read from the file.
//
// File header fields used (big-endian):
//
//   offset  size  description
//   16      2     page size; 1 stands for 65536
//   32      4     first freelist trunk page, 0 for an empty freelist
//   36      4     number of freelist pages
//
// The usable size U of every page is the page size (the reserved-space byte at
// offset 20 is not consulted). Page n starts at (n - 1) * U; the page count is
// the number of whole pages in the file.
#include "platform/sqlite_qt/sqlitecol.h"
#include "recovery/sqliterecords.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>

class Sqlite3File
{
public:
    // The largest file open() reads into memory.
    static constexpr qint64 kMaxFileBytes = qint64(4) << 30;

    explicit Sqlite3File(const QString &path); // opens nothing
    ~Sqlite3File();
    Sqlite3File(const Sqlite3File &) = delete;
    Sqlite3File &operator=(const Sqlite3File &) = delete;

    // Reads the file and its page size. Throws std::runtime_error with
    // "open %1 failed. %2", "map %1 failed. %2" (unreadable, or larger than
    // kMaxFileBytes) or "invalid page size." (a file shorter than 18 bytes, or
    // a size other than 1 and the powers of two 512 to 32768).
    void open();
    // The same over bytes already in memory (a copy of a file, a test's or a
    // fuzzer's input); throws "invalid page size." as open() does.
    void openData(const QByteArray &bytes);

    const uchar *mapBegin() const { return m_begin; }
    const uchar *mapEnd() const { return m_end; }
    int pageSize() const { return m_pageSize; } // 0 before open
    int pageCount() const;                      // whole pages; 0 before open
    quint32 firstFreelistTrunk() const;         // 0 when outside the file
    quint32 freelistPageCount() const;          // 0 when outside the file

    // Page n (1 to pageCount); any other n gives an empty record.
    _SqlitePage page(int n) const;
    // Page n read as a freelist trunk page; any n outside the file gives an
    // empty record.
    _SqliteFreelistTrunk freelistTrunk(int n) const;
    // The trunk chain from firstFreelistTrunk, in chain order, ending at a
    // next trunk outside the file or at the first trunk met again.
    QList<_SqliteFreelistTrunk> freelistTrunks() const;

    // The whole payload of a cell: its local bytes and its overflow chain.
    // A chain that ends early or returns to a page leaves the payload short.
    QByteArray payload(const _SqliteCell &cell) const;
    // The cell's payload decoded as a record (no values when the header
    // cannot be read).
    _SqliteCarvedRow rowData(const _SqliteCell &cell) const;

    // Every leaf page of the b-tree under page, in key order.
    QList<_SqlitePage> leafPages(const _SqlitePage &page) const;
    // The page and every page under it, each before its children.
    QList<_SqlitePage> allPages(const _SqlitePage &page) const;

    // Carving (sqlite3filecarve.cpp). A layout is a table's columns in order;
    // column 0 is its INTEGER PRIMARY KEY, stored as NULL, unless
    // firstColumnBytes gives the body size of a column 0 stored with bytes.
    // Rows come in the order they were found, one value per layout column.
    //
    // Scans [start, end) position by position for serial types that fit the
    // layout and decodes the body that follows; usable is the page size U
    // that decides whether a record overflowed its page.
    QList<_SqliteCarvedRow> carveRows(const QList<_SqliteCol> &layout, short firstColumnBytes, int usable,
                                      const uchar *start, const uchar *end, SqliteRowFilter filter) const;
    // From byte offset of page n to the page's end.
    QList<_SqliteCarvedRow> carvePage(const QList<_SqliteCol> &layout, short firstColumnBytes, int n, int offset,
                                      SqliteRowFilter filter) const;
    // A leaf page's unallocated gap, then its freeblocks in chain order; any
    // other page from byte 8 to its end.
    QList<_SqliteCarvedRow> carveFreeSpace(const QList<_SqliteCol> &layout, short firstColumnBytes,
                                           const _SqlitePage &page, SqliteRowFilter filter) const;

private:
    // Takes the file's bytes [begin, begin + size) and reads its page size.
    void adopt(const uchar *begin, qint64 size);
    const uchar *pageBase(int n) const; // n in 1..pageCount
    // Appends up to remainder bytes of the overflow chain starting at page.
    void appendOverflow(QByteArray *out, quint32 page, qint64 remainder) const;
    // Decodes a candidate whose serial types start at pos and whose body
    // starts at q; answers where the scan goes on, or nullptr to reject it.
    QByteArray columnRules(const QList<_SqliteCol> &layout) const;
    const uchar *carveCandidate(const qint64 *types, int columns, short firstColumnBytes, int usable,
                                const uchar *start, const uchar *pos, const uchar *q, const uchar *end,
                                SqliteRowFilter filter, QList<_SqliteCarvedRow> *rows) const;

    // The serial types each column of the last few layouts takes, one bit
    // mask per column: working them out from the declared types costs more
    // than carving a page, and a recovery carves every page with two or three
    // layouts in turn. The copy of a layout keeps its data alive, so the same
    // data pointer means the same layout.
    struct ColumnRules
    {
        QList<_SqliteCol> layout;
        QByteArray rules;
    };
    mutable QList<ColumnRules> m_rules; // newest last, at most kRuleLayouts
    static constexpr int kRuleLayouts = 4;

    struct FileMemory;
    QFile m_file;
    qint64 m_size = 0;
    // The whole file: read by open() into memory of its own, or handed to
    // openData() as bytes.
    std::unique_ptr<FileMemory> m_memory;
    QByteArray m_bytes;
    const uchar *m_begin = nullptr;
    const uchar *m_end = nullptr;
    int m_pageSize = 0;
};
