#include "platform/corefoundation/cftext.h"

namespace {

void appendUtf16(char32_t code, std::u16string &out)
{
    if (code < 0x10000) {
        out.push_back(char16_t(code));
    } else {
        code -= 0x10000;
        out.push_back(char16_t(0xd800 + (code >> 10)));
        out.push_back(char16_t(0xdc00 + (code & 0x3ff)));
    }
}

void appendCode(char32_t code, std::string &out)
{
    if (code < 0x80) {
        out.push_back(char(code));
    } else if (code < 0x800) {
        out.push_back(char(0xc0 | (code >> 6)));
        out.push_back(char(0x80 | (code & 0x3f)));
    } else if (code < 0x10000) {
        out.push_back(char(0xe0 | (code >> 12)));
        out.push_back(char(0x80 | ((code >> 6) & 0x3f)));
        out.push_back(char(0x80 | (code & 0x3f)));
    } else {
        out.push_back(char(0xf0 | (code >> 18)));
        out.push_back(char(0x80 | ((code >> 12) & 0x3f)));
        out.push_back(char(0x80 | ((code >> 6) & 0x3f)));
        out.push_back(char(0x80 | (code & 0x3f)));
    }
}

} // namespace

bool utf8ToUtf16(const uint8_t *bytes, size_t length, bool strict, std::u16string &out)
{
    out.clear();
    out.reserve(length);
    size_t at = 0;
    while (at < length) {
        const uint8_t lead = bytes[at];
        if (lead < 0x80) {
            out.push_back(char16_t(lead));
            ++at;
            continue;
        }
        int extra = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if ((lead & 0xe0) == 0xc0) {
            extra = 1, code = lead & 0x1f, minimum = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            extra = 2, code = lead & 0x0f, minimum = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            extra = 3, code = lead & 0x07, minimum = 0x10000;
        } else {
            extra = -1;
        }
        bool good = extra > 0;
        int used = 1;
        if (good) {
            for (int i = 1; i <= extra; ++i) {
                if (at + size_t(i) >= length || (bytes[at + size_t(i)] & 0xc0) != 0x80) {
                    good = false;
                    break;
                }
                code = (code << 6) | (bytes[at + size_t(i)] & 0x3f);
                ++used;
            }
        }
        if (good && (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)))
            good = false;
        if (!good) {
            if (strict)
                return false;
            out.push_back(char16_t(0xfffd));
            at += size_t(used);
            continue;
        }
        appendUtf16(code, out);
        at += size_t(extra) + 1;
    }
    return true;
}

size_t appendUtf8(const char16_t *units, size_t count, size_t at, std::string &out, size_t *taken)
{
    const size_t before = out.size();
    char32_t code = units[at];
    size_t used = 1;
    if (code >= 0xd800 && code <= 0xdbff && at + 1 < count && units[at + 1] >= 0xdc00 && units[at + 1] <= 0xdfff) {
        code = 0x10000 + ((code - 0xd800) << 10) + (units[at + 1] - 0xdc00);
        used = 2;
    } else if (code >= 0xd800 && code <= 0xdfff) {
        code = 0xfffd;
    }
    appendCode(code, out);
    if (taken)
        *taken = used;
    return out.size() - before;
}

std::string utf16ToUtf8(const char16_t *units, size_t count)
{
    std::string out;
    out.reserve(count);
    size_t at = 0;
    while (at < count) {
        size_t taken = 1;
        appendUtf8(units, count, at, out, &taken);
        at += taken;
    }
    return out;
}
