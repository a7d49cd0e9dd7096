// The participants of an iOS 5 iMessage chat: a property list kept in a
// database field, read by the store's own small reader.
#include "fuzz/fuzzenv.h"
#include "platform/plist/plistarray.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    quint64 sum = 0;
    for (const QString &address : plistArrayStrings(bytes))
        sum += quint64(address.size());
    fuzzenv::keep(sum);
    return 0;
}
