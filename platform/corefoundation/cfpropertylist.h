#pragma once
// Property lists of the CoreFoundation stand-in, read and written through
// libplist. What devices send is checked for nesting before libplist, which
// recurses, sees it.
#include "platform/corefoundation/cfvalue.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The value a binary ("bplist00") or XML property list holds, with one
// reference for the caller, or nullptr when the bytes do not parse or nest
// too deep. format (when given) is set to 200 or 100 on success.
CFValue *cfReadPropertyList(const uint8_t *bytes, size_t length, CFPropertyListFormat *format);
// value in format 100 (XML) or 200 (binary); false for a value that has no
// property-list form: null, a dictionary key that is not a string, a date
// libplist cannot hold, or nesting deeper than any property list we read.
bool cfWritePropertyList(const CFValue *value, CFPropertyListFormat format, std::vector<uint8_t> &out);
