#include "ios/mbfilearchive.h"

#include "platform/plist/plistparse.h"

#include <plist/plist.h>

#include <cstdlib>

namespace {

// Frees a libplist tree however the function ends.
struct Tree
{
    plist_t node = nullptr;
    ~Tree()
    {
        if (node)
            plist_free(node);
    }
};

QByteArray binary(plist_t root)
{
    char *out = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    const QByteArray bytes = out ? QByteArray(out, qsizetype(length)) : QByteArray();
    std::free(out);
    return bytes;
}

plist_t string(const QString &text)
{
    return plist_new_string(text.toUtf8().constData());
}

} // namespace

QByteArray mbfile_with_size_and_time(const QByteArray &blob, qint64 size, qint64 lastModified)
{
    Tree archive{parsePlistGuarded(blob)};
    if (!archive.node || plist_get_node_type(archive.node) != PLIST_DICT)
        return QByteArray();
    plist_t objects = plist_dict_get_item(archive.node, "$objects");
    plist_t top = plist_dict_get_item(archive.node, "$top");
    plist_t root = top && plist_get_node_type(top) == PLIST_DICT ? plist_dict_get_item(top, "root") : nullptr;
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !root || plist_get_node_type(root) != PLIST_UID)
        return QByteArray();
    uint64_t index = 0;
    plist_get_uid_val(root, &index);
    if (index >= plist_array_get_size(objects))
        return QByteArray();
    plist_t file = plist_array_get_item(objects, uint32_t(index));
    if (!file || plist_get_node_type(file) != PLIST_DICT)
        return QByteArray();
    if (size >= 0)
        plist_dict_set_item(file, "Size", plist_new_uint(uint64_t(size)));
    plist_dict_set_item(file, "LastModified", plist_new_uint(uint64_t(qMax<qint64>(0, lastModified))));
    return binary(archive.node);
}

QByteArray mbfile_new(const QString &relativePath, bool folder, qint64 size, qint64 lastModified, quint64 inode)
{
    Tree archive{plist_new_dict()};
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, string(QStringLiteral("$null")));
    plist_t file = plist_new_dict();
    plist_array_append_item(objects, file); // UID 1, the root
    plist_array_append_item(objects, string(relativePath)); // UID 2
    plist_t names = plist_new_array();
    plist_array_append_item(names, string(QStringLiteral("MBFile")));
    plist_array_append_item(names, string(QStringLiteral("NSObject")));
    plist_t fileClass = plist_new_dict();
    plist_dict_set_item(fileClass, "$classes", names);
    plist_dict_set_item(fileClass, "$classname", string(QStringLiteral("MBFile")));
    plist_array_append_item(objects, fileClass); // UID 3

    const uint64_t time = uint64_t(qMax<qint64>(0, lastModified));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(file, "LastModified", plist_new_uint(time));
    plist_dict_set_item(file, "Birth", plist_new_uint(time));
    plist_dict_set_item(file, "LastStatusChange", plist_new_uint(time));
    plist_dict_set_item(file, "Mode", plist_new_uint(folder ? 040755 : 0100644));
    plist_dict_set_item(file, "UserID", plist_new_uint(501));
    plist_dict_set_item(file, "GroupID", plist_new_uint(501));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(inode));
    plist_dict_set_item(file, "Size", plist_new_uint(folder ? 0 : uint64_t(qMax<qint64>(0, size))));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(folder ? 0 : 3));
    plist_dict_set_item(file, "Flags", plist_new_uint(0));
    plist_dict_set_item(file, "$class", plist_new_uid(3));

    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(archive.node, "$version", plist_new_uint(100000));
    plist_dict_set_item(archive.node, "$archiver", string(QStringLiteral("NSKeyedArchiver")));
    plist_dict_set_item(archive.node, "$top", top);
    plist_dict_set_item(archive.node, "$objects", objects);
    return binary(archive.node);
}
