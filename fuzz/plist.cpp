// Property lists from files, database fields and devices, XML or binary, as
// every reader of the program takes them: PlistNode::parse, then a walk over
// the tree with the wrapper's getters.
#include "fuzz/fuzzenv.h"
#include "platform/plist/plistnode.h"

#include <cstdlib>
#include <cstring>

namespace {

// Enough to reach every kind of node of a small list without letting a wide
// one (libplist copies shared objects) turn the walk into the slow part.
constexpr int kMaxVisits = 4096;

// Keys of the kind the program looks up in device and backup answers, and the
// empty key.
const char *const kKeys[] = {"", "Name", "Version", "IsEncrypted", "Date", "Data", "Applications", "k"};

void walk(const PlistNode &node, int &visits, quint64 &sum)
{
    if (++visits > kMaxVisits)
        return;
    sum += quint64(node.toString().size()) + node.toBool() + quint64(node.toByteArray().size());
    sum += quint64(node.toDateTime().toMSecsSinceEpoch());
    sum += node.isBoolean() + node.isString() + node.isDate() + node.isData();
    if (node.isArray()) {
        const int size = node.arraySize();
        for (int i = 0; i < size && visits <= kMaxVisits; ++i)
            walk(node.at(i), visits, sum);
        sum += node.at(-1).isNull() + node.at(size).isNull();
    } else if (node.isDictionary()) {
        // The wrapper looks children up by key, as the program does with the
        // keys it knows; every other value is reached through libplist's
        // iterator, with its key, as the CoreFoundation stand-in reads a
        // dictionary (libplist asserts on a key holding a NUL, which the
        // parse refuses).
        for (const char *key : kKeys)
            walk(node.value(QString::fromLatin1(key)), visits, sum);
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node.node(), &it);
        while (it && visits <= kMaxVisits) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node.node(), it, &key, &item);
            sum += key ? quint64(std::strlen(key)) : 0;
            std::free(key);
            if (!item)
                break;
            walk(PlistNode(item, false), visits, sum);
        }
        std::free(it);
    }
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
    int visits = 0;
    quint64 sum = 0;
    PlistNode child;
    {
        const PlistNode root = PlistNode::parse(bytes);
        walk(root, visits, sum);
        child = root.isArray() ? root.at(0) : root;
    }
    // A child outlives its root variable: it must keep the tree alive.
    walk(child, visits, sum);
    fuzzenv::keep(sum);
    return 0;
}
