#include "platform/plist/plistarray.h"

#include "platform/plist/plistparse.h"

#include <plist/plist.h>

#include <cstdlib>

QStringList plistArrayStrings(const QByteArray &data)
{
    QStringList values;
    plist_t root = parsePlistGuarded(data);
    if (!root)
        return values;
    if (plist_get_node_type(root) == PLIST_ARRAY) {
        const uint32_t size = plist_array_get_size(root);
        for (uint32_t i = 0; i < size; ++i) {
            plist_t item = plist_array_get_item(root, i);
            QString value = QStringLiteral("");
            if (item && plist_get_node_type(item) == PLIST_STRING) {
                char *text = nullptr;
                plist_get_string_val(item, &text);
                if (text)
                    value = QString::fromUtf8(text);
                std::free(text);
            }
            values.append(value);
        }
    }
    plist_free(root);
    return values;
}
