#pragma once
// libplist reads nested arrays and dictionaries by recursion (and frees them
// the same way), so a damaged or crafted property list nested deep enough
// (or, in binary form, referring back to itself) overflows the stack. These
// checks run before libplist sees any bytes from a file or a device; use
// parsePlistGuarded (plistparse.h) rather than calling them yourself.
#include <QByteArray>

// The deepest nesting any property list of ours is allowed; real ones stay
// far below it.
constexpr int kMaxPlistDepth = 512;

// Whether data, a binary ("bplist00") property list, nests its arrays, sets
// and dictionaries at most maxDepth deep, counting an object shared by several
// parents once per parent (libplist copies it), with a bounded number of
// nodes in all. A list whose tables do not add up, whose objects refer back
// to themselves, or with a dictionary key holding a NUL (libplist asserts
// when it hands such a key out) is refused.
bool binaryPlistDepthWithin(const QByteArray &data, int maxDepth = kMaxPlistDepth);

// data, an XML property list, as read by an XML reader and written back as
// elements and text alone (no comments, processing instructions, DOCTYPE,
// CDATA sections or attributes), in UTF-8: the form to hand to libplist.
// Empty when data is not well-formed XML, nests arrays and dictionaries more
// than maxDepth deep, has a DOCTYPE with an internal subset or refers to an
// undeclared entity.
QByteArray plainXmlPlist(const QByteArray &data, int maxDepth = kMaxPlistDepth);
