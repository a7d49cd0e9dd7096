#pragma once
// Big-endian integers as the on-disk formats the fixtures write store them
// (SQLite pages, keybag records).
#include <QByteArray>

namespace testsupport {

QByteArray bigEndian16(quint16 value);
QByteArray bigEndian32(quint32 value);

} // namespace testsupport
