#pragma once
// libplist reads nested arrays and dictionaries by recursion, so a damaged or
// crafted property list nested deep enough (or, in binary form, referring
// back to itself) overflows the stack. Every property list that comes from a
// file or a device is checked here before libplist sees it.
#include <QByteArray>

// The deepest nesting any property list of ours is allowed; real ones stay
// far below it.
constexpr int kMaxPlistDepth = 512;

// Whether data, a binary ("bplist00") or XML property list, nests its arrays,
// sets and dictionaries at most maxDepth deep. A binary list whose tables do
// not add up, or whose objects refer back to themselves, is refused.
bool plistDepthWithin(const QByteArray &data, int maxDepth = kMaxPlistDepth);
