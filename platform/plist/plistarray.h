#pragma once
// The one property-list shape the message store itself reads: an array of
// strings (the participants an iOS 5 phone keeps for each iMessage chat),
// parsed through parsePlistGuarded like every other property list.
#include <QByteArray>
#include <QStringList>

// The elements of a binary ("bplist00") or XML property list whose root is an
// array, each as its string value ("" for an element that is not a string).
// Empty when the data does not parse or its root is not an array.
QStringList plistArrayStrings(const QByteArray &data);
