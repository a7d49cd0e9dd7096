// The keybag of an encrypted backup (the "BackupKeyBag" of Manifest.plist):
// the reader, the unlock with a fixed password, and a file key of every class.
#include "fuzz/fuzzenv.h"
#include "ios/backupkeybag.h"

namespace {

// PBKDF2 runs ITER rounds; a keybag may ask for billions. Capped so that one
// input stays quick: the rounds are the library's, not the reader's.
constexpr quint32 kMaxIterations = 16;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    _BackupKeyBag bag = keybag_parse(bytes);
    const QString iterTag = QStringLiteral("ITER");
    if (bag.attributes.contains(iterTag) && keybag_u32(bag.attributes, iterTag) > kMaxIterations) {
        QByteArray capped = bag.attributes.value(iterTag);
        capped[0] = capped[1] = capped[2] = 0;
        capped[3] = char(kMaxIterations);
        bag.attributes.insert(iterTag, capped);
    }
    quint64 sum = keybag_unlock(bag, QByteArrayLiteral("password"));
    // The last 40 bytes of the input stand for a file's wrapped key.
    const QByteArray wrapped = bytes.right(40);
    const QList<int> classes = bag.classKeys.keys();
    for (int protectionClass : classes) {
        sum += quint64(keybag_file_key(bag, protectionClass, wrapped).size());
        sum += keybag_u32(bag.classKeys[protectionClass], QStringLiteral("WRAP"));
    }
    sum += quint64(keybag_file_key(bag, -1, wrapped).size());
    fuzzenv::keep(sum);
    return 0;
}
