#include "tests/support/bytesfixture.h"

namespace testsupport {

QByteArray bigEndian16(quint16 value)
{
    QByteArray b(2, '\0');
    b[0] = char(value >> 8);
    b[1] = char(value);
    return b;
}

QByteArray bigEndian32(quint32 value)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char(value >> (24 - 8 * i));
    return b;
}

QByteArray littleEndian32(quint32 value)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((value >> (8 * i)) & 0xFF);
    return b;
}

} // namespace testsupport
