#include "platform/mobiledevice/plistwire.h"

#include <cstdlib>

namespace plistwire {

plist_t text(const std::string &value)
{
    return plist_new_string(value.c_str());
}

plist_t integer(int64_t value)
{
    return plist_new_uint(uint64_t(value));
}

plist_t real(double value)
{
    return plist_new_real(value);
}

plist_t boolean(bool value)
{
    return plist_new_bool(value ? 1 : 0);
}

plist_t array(std::initializer_list<plist_t> items)
{
    plist_t out = plist_new_array();
    for (plist_t item : items) {
        if (item)
            plist_array_append_item(out, item);
    }
    return out;
}

plist_t dictionary(std::initializer_list<std::pair<const char *, plist_t>> entries)
{
    plist_t out = plist_new_dict();
    for (const auto &entry : entries) {
        if (entry.second)
            plist_dict_set_item(out, entry.first, entry.second);
    }
    return out;
}

plist_t copy(plist_t node)
{
    return node ? plist_copy(node) : nullptr;
}

std::string serialise(plist_t node, bool binary)
{
    if (!node)
        return std::string();
    char *bytes = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(node, &bytes, &length);
    else
        plist_to_xml(node, &bytes, &length);
    std::string out = bytes ? std::string(bytes, length) : std::string();
    if (binary)
        plist_to_bin_free(bytes);
    else
        plist_to_xml_free(bytes);
    return out;
}

std::string textOf(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::string();
    char *value = nullptr;
    plist_get_string_val(node, &value);
    std::string out = value ? value : "";
    std::free(value);
    return out;
}

int64_t integerOf(plist_t node, int64_t fallback)
{
    if (!node)
        return fallback;
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return int64_t(value);
    }
    if (plist_get_node_type(node) == PLIST_BOOLEAN) {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value ? 1 : 0;
    }
    return fallback;
}

double realOf(plist_t node, double fallback)
{
    if (!node)
        return fallback;
    if (plist_get_node_type(node) == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    if (plist_get_node_type(node) == PLIST_UINT)
        return double(integerOf(node, 0));
    return fallback;
}

bool isDictionary(plist_t node)
{
    return node && plist_get_node_type(node) == PLIST_DICT;
}

bool isArray(plist_t node)
{
    return node && plist_get_node_type(node) == PLIST_ARRAY;
}

uint32_t countOf(plist_t node)
{
    if (isArray(node))
        return plist_array_get_size(node);
    if (isDictionary(node))
        return plist_dict_get_size(node);
    return 0;
}

plist_t itemAt(plist_t node, uint32_t index)
{
    return isArray(node) && index < plist_array_get_size(node) ? plist_array_get_item(node, index) : nullptr;
}

plist_t valueOf(plist_t node, const char *key)
{
    return isDictionary(node) ? plist_dict_get_item(node, key) : nullptr;
}

} // namespace plistwire
