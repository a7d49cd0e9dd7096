// Manifest.mbdb of an iTunes backup: the reader, the file tree built from its
// records, and a write of the records, whose bytes must read back to the same
// records.
#include "fuzz/fuzzenv.h"
#include "ios/backupfilenode.h"
#include "ios/mbdb.h"

#include <cstdlib>
#include <exception>

namespace {

quint64 countNodes(const _BackupFileNode &root)
{
    quint64 count = 0;
    QList<const _BackupFileNode *> pending{&root};
    while (!pending.isEmpty()) {
        const _BackupFileNode *node = pending.takeLast();
        ++count;
        count += quint64(node->name.size()) + node->record.isDirectory();
        for (const _BackupFileNode *child : node->children) {
            if (child->parent != node)
                std::abort();
            pending.append(child);
        }
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QHash<QString, _MbdbRecord> records;
    try {
        records = mbdb_read_data(bytes);
    } catch (const std::exception &) {
        return 0;
    }
    _BackupFileNode root;
    root.buildTree(records);
    quint64 sum = countNodes(root);

    QList<_MbdbRecord> list = records.values();
    QByteArray written;
    try {
        written = mbdb_write_data(list);
    } catch (const std::exception &) {
        // Records read from a file always fit the format again.
        std::abort();
    }
    const QHash<QString, _MbdbRecord> again = mbdb_read_data(written);
    if (again.size() != records.size())
        std::abort();
    QList<_MbdbRecord> second = again.values();
    if (mbdb_write_data(second) != written)
        std::abort();
    sum += quint64(written.size());
    fuzzenv::keep(sum);
    return 0;
}
