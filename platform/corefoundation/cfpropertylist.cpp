#include "platform/corefoundation/cfpropertylist.h"

#include "platform/corefoundation/cftext.h"
#include "platform/plist/plistdepth.h"
#include "platform/plist/plistparse.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Seconds between 2001-01-01, the origin of both libplist and CoreFoundation
// dates; only the int32 range fits libplist.
constexpr double kMinDate = double(std::numeric_limits<int32_t>::min());
constexpr double kMaxDate = double(std::numeric_limits<int32_t>::max());

CFValue *fromNode(plist_t node);

CFValue *stringValue(const char *utf8)
{
    auto *value = new CFValue(CFValue::String);
    if (utf8)
        utf8ToUtf16(reinterpret_cast<const uint8_t *>(utf8), std::strlen(utf8), false, value->text);
    return value;
}

CFValue *containerValue(CFValue::Type type)
{
    auto *value = new CFValue(type);
    value->keyCallBacks = kCFTypeDictionaryKeyCallBacks;
    value->valueCallBacks = kCFTypeDictionaryValueCallBacks;
    return value;
}

// Each element takes the container's reference, so the new one is dropped.
void adopt(CFValue *container, CFValue *element, const void *key = nullptr)
{
    if (key)
        container->set(key, element);
    else
        container->append(element);
    element->release();
}

CFValue *fromNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        CFValue *constant = CFValue::from(flag ? kCFBooleanTrue : kCFBooleanFalse);
        return constant;
    }
    case PLIST_UINT:
    case PLIST_UID: {
        uint64_t raw = 0;
        if (plist_get_node_type(node) == PLIST_UID)
            plist_get_uid_val(node, &raw);
        else
            plist_get_uint_val(node, &raw);
        auto *value = new CFValue(CFValue::Number);
        value->integer = int64_t(raw);
        return value;
    }
    case PLIST_REAL: {
        auto *value = new CFValue(CFValue::Number);
        value->isFloat = true;
        plist_get_real_val(node, &value->real);
        return value;
    }
    case PLIST_STRING: {
        // Read in place, up to the first NUL: plist_get_string_val asserts
        // that the text holds none, and a binary list may carry one.
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(node, &length);
        auto *value = new CFValue(CFValue::String);
        if (text)
            utf8ToUtf16(reinterpret_cast<const uint8_t *>(text), strnlen(text, size_t(length)), false, value->text);
        return value;
    }
    case PLIST_KEY: {
        // Keys holding a NUL never get here: the guard refuses such lists.
        char *text = nullptr;
        plist_get_key_val(node, &text);
        CFValue *value = stringValue(text);
        std::free(text);
        return value;
    }
    case PLIST_DATA: {
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        auto *value = new CFValue(CFValue::Data);
        if (bytes)
            value->bytes.assign(reinterpret_cast<uint8_t *>(bytes), reinterpret_cast<uint8_t *>(bytes) + length);
        std::free(bytes);
        return value;
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        auto *value = new CFValue(CFValue::Date);
        value->date = double(seconds) + double(micros) / 1e6;
        return value;
    }
    case PLIST_ARRAY: {
        CFValue *array = containerValue(CFValue::Array);
        const uint32_t count = plist_array_get_size(node);
        array->items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            CFValue *item = fromNode(plist_array_get_item(node, i));
            if (!item) {
                array->release();
                return nullptr;
            }
            adopt(array, item);
        }
        return array;
    }
    case PLIST_DICT: {
        CFValue *dict = containerValue(CFValue::Dictionary);
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            CFValue *keyValue = stringValue(key);
            std::free(key);
            CFValue *itemValue = fromNode(item);
            if (!itemValue) {
                keyValue->release();
                std::free(iter);
                dict->release();
                return nullptr;
            }
            adopt(dict, itemValue, keyValue);
            keyValue->release();
        }
        std::free(iter);
        return dict;
    }
    default:
        return nullptr;
    }
}

plist_t toNode(const CFValue *value, int depth)
{
    if (!value)
        return nullptr;
    switch (value->type) {
    case CFValue::Bool:
        return plist_new_bool(value->boolean ? 1 : 0);
    case CFValue::Number:
        return value->isFloat ? plist_new_real(value->real) : plist_new_uint(uint64_t(value->integer));
    case CFValue::String:
        return plist_new_string(utf16ToUtf8(value->text.data(), value->text.size()).c_str());
    case CFValue::Data:
        return plist_new_data(reinterpret_cast<const char *>(value->bytes.data()), value->bytes.size());
    case CFValue::Date: {
        const double seconds = std::floor(value->date);
        if (!(seconds >= kMinDate && seconds <= kMaxDate))
            return nullptr;
        const auto micros = int32_t(std::lround((value->date - seconds) * 1e6));
        return plist_new_date(int32_t(seconds), micros >= 1000000 ? 999999 : micros);
    }
    case CFValue::Array: {
        if (depth >= kMaxPlistDepth)
            return nullptr;
        plist_t array = plist_new_array();
        for (const void *item : value->items) {
            plist_t node = toNode(CFValue::from(item), depth + 1);
            if (!node) {
                plist_free(array);
                return nullptr;
            }
            plist_array_append_item(array, node);
        }
        return array;
    }
    case CFValue::Dictionary: {
        if (depth >= kMaxPlistDepth)
            return nullptr;
        plist_t dict = plist_new_dict();
        for (const auto &entry : value->entries) {
            const CFValue *key = CFValue::as(entry.first, CFValue::String);
            plist_t node = key ? toNode(CFValue::from(entry.second), depth + 1) : nullptr;
            if (!node) {
                plist_free(dict);
                return nullptr;
            }
            plist_dict_set_item(dict, utf16ToUtf8(key->text.data(), key->text.size()).c_str(), node);
        }
        return dict;
    }
    case CFValue::Null:
        break;
    }
    return nullptr;
}

} // namespace

CFValue *cfReadPropertyList(const uint8_t *bytes, size_t length, CFPropertyListFormat *format)
{
    if (!bytes || length == 0 || length > std::numeric_limits<uint32_t>::max()
        || length > size_t(std::numeric_limits<qsizetype>::max()))
        return nullptr;
    const bool binary = length >= 8 && std::memcmp(bytes, "bplist00", 8) == 0;
    // Bytes from outside reach libplist only through the guarded parse.
    plist_t root = parsePlistGuarded(
        QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), qsizetype(length)));
    if (!root)
        return nullptr;
    CFValue *value = fromNode(root);
    plist_free(root);
    if (value && format)
        *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return value;
}

bool cfWritePropertyList(const CFValue *value, CFPropertyListFormat format, std::vector<uint8_t> &out)
{
    out.clear();
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0)
        return false;
    plist_t root = toNode(value, 0);
    if (!root)
        return false;
    char *bytes = nullptr;
    uint32_t length = 0;
    if (format == kCFPropertyListBinaryFormat_v1_0) {
        plist_to_bin(root, &bytes, &length);
        if (bytes)
            out.assign(bytes, bytes + length);
        plist_to_bin_free(bytes);
    } else {
        plist_to_xml(root, &bytes, &length);
        if (bytes)
            out.assign(bytes, bytes + length);
        plist_to_xml_free(bytes);
    }
    plist_free(root);
    return !out.empty();
}
