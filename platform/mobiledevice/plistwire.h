#pragma once
// Property-list messages as the service emulators build and read them, over
// libplist: what they receive is parsed through the one guarded entry
// (platform/plist), what they send is built here. Trees are owned through
// PlistOwned; the builders below take ownership of the items given to them.
#include <plist/plist.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

struct PlistFree
{
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistOwned = std::unique_ptr<void, PlistFree>;

namespace plistwire {

plist_t text(const std::string &value);
plist_t integer(int64_t value);
plist_t real(double value);
plist_t boolean(bool value);
// The items and values become the container's; nullptr ones are left out.
plist_t array(std::initializer_list<plist_t> items);
plist_t dictionary(std::initializer_list<std::pair<const char *, plist_t>> entries);
// A deep copy of node (nullptr stays nullptr).
plist_t copy(plist_t node);

// Binary ("bplist00") or XML; empty when node is nullptr.
std::string serialise(plist_t node, bool binary);

// Readers of borrowed nodes: the fallback (or "") when node is not of the
// kind; an integer node holds two's complement for negative numbers.
std::string textOf(plist_t node);
int64_t integerOf(plist_t node, int64_t fallback);
double realOf(plist_t node, double fallback);
bool isDictionary(plist_t node);
bool isArray(plist_t node);
// Borrowed children: nullptr outside the array, for a missing key, or when
// node is not of the kind.
plist_t itemAt(plist_t node, uint32_t index);
plist_t valueOf(plist_t node, const char *key);
uint32_t countOf(plist_t node);

} // namespace plistwire
