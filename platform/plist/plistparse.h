#pragma once
// The one way bytes from a file, a database field or a device reach libplist:
// every reader of property lists parses through here, so none of them can
// skip the nesting checks of plistdepth.h.
#include <QByteArray>

#include <plist/plist.h>

// The tree of a binary ("bplist00") or XML property list, which the caller
// frees with plist_free; nullptr when the data does not parse or is refused
// (nested deeper than kMaxPlistDepth, binary tables that do not add up, XML
// that is not well-formed).
plist_t parsePlistGuarded(const QByteArray &data);

// The bytes of data that a property-list parser may be given: a binary list
// as it is, an XML list rewritten as plainXmlPlist makes it; empty when data is
// refused. For readers that hand the list to a library other than libplist.
QByteArray guardedPlistBytes(const QByteArray &data);
