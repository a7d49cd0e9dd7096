#pragma once
// Integers as the on-disk formats the fixtures write store them: big-endian
// (SQLite pages, keybag records) and little-endian (the protection class
// before a wrapped key).
#include <QByteArray>

namespace testsupport {

QByteArray bigEndian16(quint16 value);
QByteArray bigEndian32(quint32 value);
QByteArray littleEndian32(quint32 value);

} // namespace testsupport
