#include "tests/support/mbfilearchivefixture.h"

#include <plist/plist.h>

#include <cstdlib>

namespace testsupport {

namespace {

plist_t str(const QString &value)
{
    return plist_new_string(value.toUtf8().constData());
}

} // namespace

QByteArray mbFileArchive(const MbFileFields &f)
{
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, str("$null"));
    plist_t file = plist_new_dict();
    plist_array_append_item(objects, file); // UID 1
    auto add = [&](plist_t item) {
        plist_array_append_item(objects, item);
        return plist_new_uid(plist_array_get_size(objects) - 1);
    };
    plist_dict_set_item(file, "RelativePath", add(str(f.relativePath)));
    plist_dict_set_item(file, "LastModified", plist_new_uint(uint64_t(f.lastModified)));
    plist_dict_set_item(file, "Birth", plist_new_uint(uint64_t(f.birth)));
    plist_dict_set_item(file, "LastStatusChange", plist_new_uint(uint64_t(f.lastStatusChange)));
    plist_dict_set_item(file, "Mode", plist_new_uint(f.mode));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(f.inode));
    plist_dict_set_item(file, "UserID", plist_new_uint(f.userId));
    plist_dict_set_item(file, "GroupID", plist_new_uint(f.groupId));
    plist_dict_set_item(file, "Size", plist_new_uint(uint64_t(f.size)));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(uint64_t(f.protectionClass)));
    plist_dict_set_item(file, "Flags", plist_new_uint(0));
    if (!f.target.isEmpty())
        plist_dict_set_item(file, "Target", add(str(f.target)));
    if (!f.encryptionKey.isEmpty()) {
        plist_t keyData = plist_new_dict();
        plist_dict_set_item(keyData, "NS.data",
                            plist_new_data(f.encryptionKey.constData(), uint64_t(f.encryptionKey.size())));
        const uint64_t keyIndex = plist_array_get_size(objects);
        plist_array_append_item(objects, keyData);
        plist_t dataClasses = plist_new_array();
        plist_array_append_item(dataClasses, str("NSMutableData"));
        plist_array_append_item(dataClasses, str("NSData"));
        plist_array_append_item(dataClasses, str("NSObject"));
        plist_t dataClass = plist_new_dict();
        plist_dict_set_item(dataClass, "$classes", dataClasses);
        plist_dict_set_item(dataClass, "$classname", str("NSMutableData"));
        plist_dict_set_item(keyData, "$class", add(dataClass));
        plist_dict_set_item(file, "EncryptionKey", plist_new_uid(keyIndex));
    }
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, str("MBFile"));
    plist_array_append_item(classes, str("NSObject"));
    plist_t fileClass = plist_new_dict();
    plist_dict_set_item(fileClass, "$classes", classes);
    plist_dict_set_item(fileClass, "$classname", str("MBFile"));
    plist_dict_set_item(file, "$class", add(fileClass));

    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_t archive = plist_new_dict();
    plist_dict_set_item(archive, "$version", plist_new_uint(100000));
    plist_dict_set_item(archive, "$archiver", str("NSKeyedArchiver"));
    plist_dict_set_item(archive, "$top", top);
    plist_dict_set_item(archive, "$objects", objects);
    char *out = nullptr;
    uint32_t length = 0;
    plist_to_bin(archive, &out, &length);
    plist_free(archive);
    const QByteArray bytes(out, qsizetype(length));
    std::free(out);
    return bytes;
}

} // namespace testsupport
