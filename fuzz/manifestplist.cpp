// Manifest.plist of an iTunes backup folder: the input is written into a
// backup folder and read by BackupManifest, whose values and keybag are then
// used as the backup chooser and the password dialog use them.
#include "fuzz/fuzzenv.h"
#include "ios/backupkeybag.h"
#include "ios/backupmanifest.h"

#include <exception>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzenv::Scratch scratch;
    const QString folder = scratch.dir().absoluteFilePath(QStringLiteral("backup-5f1a2b3c"));
    if (!fuzzenv::writeFile(folder + QStringLiteral("/Manifest.plist"), data, size))
        return 0;
    BackupManifest manifest(folder);
    quint64 sum = 0;
    try {
        manifest.loadManifestPlist();
    } catch (const std::exception &) {
        return 0;
    }
    const _BackupInfo &info = manifest.info;
    sum += quint64(manifest.displayName.size()) + quint64(info.udid.size()) + quint64(info.deviceName.size());
    sum += quint64(info.productType.size() + info.productVersion.size() + info.serialNumber.size());
    sum += quint64(info.date.isValid() ? info.date.toMSecsSinceEpoch() : 0) + info.isEncrypted;
    sum += quint64(manifest.cacheId().size());
    const _BackupKeyBag bag = keybag_parse(info.backupKeyBag);
    sum += quint64(bag.attributes.size() + bag.classKeys.size());
    fuzzenv::keep(sum);
    return 0;
}
