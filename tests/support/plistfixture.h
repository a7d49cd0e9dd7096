#pragma once
// Hand-made property lists for tests that need shapes no writer produces:
// deep nesting, objects that refer back to themselves, shared objects.
#include <QByteArray>
#include <QList>
#include <QString>

namespace testsupport {

// One object of a binary property list whose references are 4 bytes wide.
QByteArray bplistArray(const QList<quint64> &refs);
QByteArray bplistAsciiString(const QByteArray &text);
// A string of UTF-16 code units, stored big-endian.
QByteArray bplistUtf16String(const QString &text);
// A dictionary: the key references, then the value references, pairwise.
QByteArray bplistDictionary(const QList<quint64> &keys, const QList<quint64> &values);
// A whole "bplist00" file of these objects (offsets 4 bytes wide).
QByteArray binaryPlist(const QList<QByteArray> &objects, quint64 top = 0);
// depth arrays, each holding the next, around one string; binary or XML.
QByteArray nestedPlist(int depth, bool binary);

// Well-formed XML lists built to mislead a reader that is not an XML reader.
enum class XmlDisguise {
    // depth arrays around one string, with closing tags ahead of the opening
    // ones where a tag scanner counts them:
    ClosingTagsInOneComment,   // "<!--</array></array>...-->" before the arrays
    CommentAfterEachOpening,   // "<array><!--</array>-->" at every level
    ClosingTagsInCdata,        // "</array>" many times over in a CDATA string
    // One empty array to an XML reader, while a scanner that pairs double
    // quotes across markup finds depth more arrays inside comments:
    QuoteInAttribute,          // <array id='"'><!-- "><array>... -->
    QuotesInInstructions,      // <?a "?><!-- " ?><array><?b " --><?c "?> ...
};
QByteArray disguisedXmlPlist(int depth, XmlDisguise how);
// An XML property list around body, with the prolog and DOCTYPE Apple writes.
QByteArray xmlPlist(const QByteArray &body);

} // namespace testsupport
