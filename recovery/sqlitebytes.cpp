#include "recovery/sqlitebytes.h"

#include <QString>

#include <cstring>

int sqlite_varint_len(qint64 value)
{
    if (value < 0)
        return 9;
    int bytes = 1;
    for (qint64 limit = qint64(1) << 7; bytes < 9 && value >= limit; limit <<= 7)
        ++bytes;
    return bytes;
}

qint64 sqlite_copy_bytes(uchar *destination, qint64 length, const uchar *src, const uchar *end)
{
    if (!destination || length <= 0 || !sqlite_fits(src, end, 1))
        return 0;
    const qint64 count = qMin(length, qint64(end - src));
    std::memcpy(destination, src, size_t(count));
    return count;
}

QByteArray sqlite_get_bytes(qint64 length, const uchar *src, const uchar *end)
{
    if (length <= 0 || !sqlite_fits(src, end, 1))
        return QByteArray();
    const qint64 count = qMin(length, qint64(end - src));
    return QByteArray(reinterpret_cast<const char *>(src), qsizetype(count));
}

namespace {

// Sign-extends the low `bits` bits of value.
qint64 signExtend(quint64 value, int bits)
{
    const quint64 sign = quint64(1) << (bits - 1);
    return qint64((value ^ sign) - sign);
}

quint64 bigEndian(const uchar *p, int width)
{
    quint64 value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | p[i];
    return value;
}

} // namespace

QVariant sqlite_get_value(qint64 type, const uchar *begin, const uchar *end, qint64 *offset)
{
    const qint64 size = (begin && end && begin < end) ? qint64(end - begin) : 0;
    // Never form a pointer past end: an offset beyond the buffer reads at end.
    const qint64 at = qBound(qint64(0), *offset, size);
    const uchar *p = size > 0 ? begin + at : nullptr;
    const qint64 width = sqlite_serial_body_size(type);
    const bool whole = sqlite_fits(p, end, width);

    if (type < 0 || type == 0 || type == 10 || type == 11)
        return QVariant();
    if (type == 8)
        return QVariant(0);
    if (type == 9)
        return QVariant(1);
    if (type <= 7) {
        *offset = at + width; // full width, read or not
        if (!whole)
            return type >= 5 ? QVariant(qlonglong(0)) : (type == 7 ? QVariant(0.0) : QVariant(0));
        const quint64 raw = bigEndian(p, int(width));
        if (type == 7) {
            double d;
            static_assert(sizeof(d) == sizeof(raw), "IEEE 754 double");
            std::memcpy(&d, &raw, sizeof(d));
            return QVariant(d);
        }
        const qint64 value = width == 8 ? qint64(raw) : signExtend(raw, int(width) * 8);
        return type >= 5 ? QVariant(qlonglong(value)) : QVariant(int(value));
    }

    const qint64 taken = p ? qMin(width, qint64(end - p)) : 0;
    *offset = at + taken;
    if (type % 2 == 0) {
        QByteArray blob = taken > 0 ? QByteArray(reinterpret_cast<const char *>(p), qsizetype(taken))
                                    : QByteArray("");
        return QVariant(blob);
    }
    qint64 length = taken;
    if (taken > 0) {
        const void *nul = std::memchr(p, 0, size_t(taken));
        if (nul)
            length = static_cast<const uchar *>(nul) - p;
    }
    QString text = length > 0 ? QString::fromUtf8(reinterpret_cast<const char *>(p), qsizetype(length))
                              : QStringLiteral("");
    return QVariant(text);
}
