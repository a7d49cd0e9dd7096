#pragma once
// Text conversions of the CoreFoundation stand-in: its strings hold UTF-16
// units, the bytes that come and go are UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

// Decodes UTF-8. Strict: false for bytes that are not UTF-8 (overlong forms,
// surrogates and values past U+10FFFF included). Lenient: each bad sequence
// becomes U+FFFD and the answer is always true.
bool utf8ToUtf16(const uint8_t *bytes, size_t length, bool strict, std::u16string &out);
// Encodes UTF-16 units as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const char16_t *units, size_t count);
// The UTF-8 size of one code point starting at units[at] (2 units for a
// surrogate pair, which *taken reports), and its bytes appended to out.
size_t appendUtf8(const char16_t *units, size_t count, size_t at, std::string &out, size_t *taken);
