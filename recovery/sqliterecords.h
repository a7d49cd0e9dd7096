#pragma once
// Parsed pieces of an SQLite 3 file read by Sqlite3File. Pages, cells and
// trunks are small values of numbers and pointers into the file's bytes, held
// by the Sqlite3File that made them: they must not outlive it. Carved rows own
// their values.
//
// B-tree page header, at offset 100 on page 1 and 0 on every other page
// (offsets of cells and freeblocks are counted from the page's first byte, on
// page 1 too):
//
//   offset  size  description
//   0       1     page type: 2 index interior, 5 table interior,
//                 10 index leaf, 13 table leaf; anything else is no b-tree page
//   1       2     offset of the first freeblock, 0 for none
//   3       2     number of cells
//   5       2     start of the cell content area; 0 stands for 65536
//   7       1     fragmented free bytes
//   8       4     right-most child page (interior pages only)
//
// The cell pointer array (2 bytes per cell) follows the 8- or 12-byte header.
//
// Cells:
//
//   13 table leaf      payload size P (varint), rowid (varint), payload
//   5  table interior  left child (4 bytes), rowid (varint)
//   10 index leaf      payload size P (varint), payload
//   2  index interior  left child (4 bytes), payload size P (varint), payload
//
// A payload larger than the page can hold keeps its first bytes in the cell,
// followed by the 4-byte number of its first overflow page. Overflow page:
//
//   0       4     next overflow page, 0 on the last
//   4       U-4   payload bytes
//
// Freeblock (an unused run inside the cell content area):
//
//   0       2     offset of the next freeblock, 0 on the last
//   2       2     size of this freeblock, header included
//
// Freelist trunk page:
//
//   0       4     next trunk page, 0 on the last
//   4       4     number of leaf page numbers that follow (at most U/4 - 2)
//   8       4*n   leaf page numbers
#include <QList>
#include <QVariant>
#include <QtGlobal>

class Sqlite3File;

struct _SqlitePage
{
    quint16 firstFreeblock = 0;
    quint16 cellContentStart = 0; // as stored: 0 stands for 65536
    quint8 type = 0;
    quint8 fragmentedBytes = 0;
    quint32 rightMostPointer = 0; // interior pages only
    quint32 number = 0;           // 0 for a page that is not in the file
    const uchar *base = nullptr;   // the page's first byte
    const uchar *header = nullptr; // base + 100 on page 1, else base
    // Only entries whose offset lies inside the page, in array order; at most
    // as many as the array can hold inside the page.
    QList<const uchar *> cells;
    // In chain order; each whose 4-byte header lies inside the page, at most
    // U/4 of them, none twice.
    QList<const uchar *> freeblocks;

    bool isBtreePage() const { return type == 2 || type == 5 || type == 10 || type == 13; }
    bool isIndexPage() const { return (type & 0x02) != 0; }
    bool isLeafPage() const { return (type & 0x08) != 0; }
};

struct _SqliteCell
{
    qint64 rowid = 0;       // table cells; 0 in index cells
    qint64 payloadSize = 0; // P; 0 in table interior cells
    int localSize = 0;      // payload bytes held in the cell itself
    quint32 leftChild = 0;  // interior cells only
    quint32 firstOverflowPage = 0;
    const uchar *payload = nullptr; // first payload byte

    // Parses the cell at `cell` under the rules of the page's type. Reads stop
    // at the end of the page; a cell of a page that is no b-tree page, or one
    // outside the page, is an empty record.
    static _SqliteCell parse(const Sqlite3File &file, const _SqlitePage &page, const uchar *cell);
};

struct _SqliteFreelistTrunk
{
    quint32 number = 0;
    const uchar *base = nullptr;
    quint32 nextTrunk = 0;
    QList<quint32> leaves; // at most U/4 - 2, in stored order
};

// One decoded record: one value per column, NULL as an invalid QVariant.
struct _SqliteCarvedRow
{
    qint64 rowid = 0; // 0 when none was found
    QList<QVariant> values;
    // Carved rows only: the body reached past the end of its range (or its
    // overflow chain ended early), so the values it lacks read as 0 or are
    // short. Whatever lay beyond the range was written over the row, or never
    // was part of it.
    bool cut = false;
};

// Accepts or rejects a carved candidate; a null filter accepts every one.
using SqliteRowFilter = bool (*)(_SqliteCarvedRow *row);
