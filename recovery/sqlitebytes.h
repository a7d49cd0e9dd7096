#pragma once
// Bounded readers for the bytes of an SQLite 3 file, read without SQLite.
//
// Every reader takes the end of the buffer it reads from (the file in memory,
// one page, or an assembled payload) and never touches a byte at or past it:
// a fixed-width number whose bytes are not all inside reads as 0, and a run of
// bytes is cut at the end. A null pointer or a null end reads as nothing. The
// bytes may come from a damaged or crafted file, so no value read here is
// trusted as a length, offset or count before it has been checked against the
// buffer.
//
// Varint (the format's variable-length integer), big-endian:
//
//   bytes 1..8   the low 7 bits of each byte, most significant first; a byte
//                whose top bit is clear ends the varint
//   byte 9       all 8 bits, only after eight bytes with the top bit set
//
//   0x7F                      ->  127 (1 byte)
//   0x81 0x00                 ->  128 (2 bytes)
//   0xFF x8, 0xFF             ->  -1  (9 bytes; the last byte gives 8 bits)
//
// Record serial types (the header of every record is a varint header length
// followed by one varint serial type per column):
//
//   type        body bytes    value
//   0           0             NULL
//   1,2,3,4     1,2,3,4       big-endian two's complement integer
//   5,6         6,8           big-endian two's complement integer (64-bit)
//   7           8             IEEE 754 double, big-endian
//   8, 9        0             the integers 0 and 1
//   10, 11      0             reserved: NULL
//   even >= 12  (N-12)/2      blob
//   odd  >= 13  (N-13)/2      text, UTF-8, ending at the first NUL if any
//   negative    0             NULL (only a damaged header can say this)
#include <QByteArray>
#include <QVariant>
#include <QtGlobal>

// Unchecked big-endian conversions: the caller has made sure every byte is there.
inline quint16 sqlite_be16(const uchar *p)
{
    return quint16((quint16(p[0]) << 8) | p[1]);
}

inline quint32 sqlite_be32(const uchar *p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

inline quint64 sqlite_be64(const uchar *p)
{
    return (quint64(sqlite_be32(p)) << 32) | sqlite_be32(p + 4);
}

// True when the width bytes at p lie wholly before end.
inline bool sqlite_fits(const uchar *p, const uchar *end, qint64 width)
{
    return p && end && p < end && end - p >= width;
}

inline quint8 sqlite_get_u8(const uchar *p, const uchar *end)
{
    return sqlite_fits(p, end, 1) ? *p : 0;
}

inline quint16 sqlite_get_be16(const uchar *p, const uchar *end)
{
    return sqlite_fits(p, end, 2) ? sqlite_be16(p) : 0;
}

inline quint32 sqlite_get_be32(const uchar *p, const uchar *end)
{
    return sqlite_fits(p, end, 4) ? sqlite_be32(p) : 0;
}

inline quint64 sqlite_get_be64(const uchar *p, const uchar *end)
{
    return sqlite_fits(p, end, 8) ? sqlite_be64(p) : 0;
}

// Decodes one varint at p into *out and answers the bytes it used (1 to 9).
// Answers 0 and leaves *out alone when p is at or past end or the bytes run
// out before the varint ends.
inline int sqlite_varint_get(qint64 *out, const uchar *p, const uchar *end)
{
    if (!p || !end || p >= end)
        return 0;
    if (*p < 0x80) { // most serial types and small sizes: one byte
        *out = *p;
        return 1;
    }
    const qint64 available = end - p;
    quint64 value = 0;
    for (int i = 0; i < 8; ++i) {
        if (i >= available)
            return 0;
        value = (value << 7) | (p[i] & 0x7F);
        if (!(p[i] & 0x80)) {
            *out = qint64(value);
            return i + 1;
        }
    }
    if (available < 9)
        return 0;
    value = (value << 8) | p[8];
    *out = qint64(value);
    return 9;
}

// Bytes (1 to 9) of the varint form of value; a negative value takes 9.
int sqlite_varint_len(qint64 value);

// Copies up to length bytes from src, never reading at or past end; answers
// the count copied (0 when nothing is left or length is not positive).
qint64 sqlite_copy_bytes(uchar *destination, qint64 length, const uchar *src, const uchar *end);

// Up to length bytes from src, cut at end; a null QByteArray when nothing is left.
QByteArray sqlite_get_bytes(qint64 length, const uchar *src, const uchar *end);

// Body bytes of a serial type as the table above gives them; 0 for negative types.
inline qint64 sqlite_serial_body_size(qint64 type)
{
    if (type < 0)
        return 0;
    if (type >= 12)
        return (type - 12) / 2; // blobs and texts: (N-12)/2 and (N-13)/2 alike
    static const qint8 widths[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
    return widths[type];
}

// Decodes the value of one column of serial type `type` whose body starts
// *offset bytes into the buffer [begin, end), and moves *offset past it. A
// fixed-width number whose bytes are not all inside reads as 0 and still
// counts its full width; a blob or text is cut at end and counts only the bytes
// it took. An empty text or blob is an empty, not a null, string or array, so
// it stays apart from NULL (an invalid QVariant).
QVariant sqlite_get_value(qint64 type, const uchar *begin, const uchar *end, qint64 *offset);
