#pragma once
// Hand-made property lists for tests that need shapes no writer produces:
// deep nesting, objects that refer back to themselves, shared objects.
#include <QByteArray>
#include <QList>

namespace testsupport {

// One object of a binary property list whose references are 4 bytes wide.
QByteArray bplistArray(const QList<quint64> &refs);
QByteArray bplistAsciiString(const QByteArray &text);
// A whole "bplist00" file of these objects (offsets 4 bytes wide).
QByteArray binaryPlist(const QList<QByteArray> &objects, quint64 top = 0);
// depth arrays, each holding the next, around one string; binary or XML.
QByteArray nestedPlist(int depth, bool binary);

} // namespace testsupport
