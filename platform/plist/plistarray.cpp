#include "platform/plist/plistarray.h"

#include "platform/plist/plistparse.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>

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
                // Read in place and up to the first NUL: plist_get_string_val
                // asserts the text has none, and a crafted list has one.
                uint64_t size = 0;
                if (const char *text = plist_get_string_ptr(item, &size))
                    value = QString::fromUtf8(text, qsizetype(qstrnlen(text, size_t(size))));
            }
            values.append(value);
        }
    }
    plist_free(root);
    return values;
}
