// Manifest.db of a backup of iOS 10 and later: the input is written into a
// backup folder beside a Manifest.plist and a Status.plist, read by the
// backup as the program reads it (the file list, then the file tree), and
// every node's data path checked to lie inside the folder.
#include "fuzz/fuzzenv.h"
#include "ios/backupmanifest.h"

#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzenv::Scratch scratch;
    const QString folder = scratch.dir().absoluteFilePath(QStringLiteral("00008110-001C195A3C38801E"));
    static const QByteArray plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                    "<key>IsEncrypted</key><false/><key>Lockdown</key><dict><key>DeviceName</key>"
                                    "<string>Fuzz</string><key>ProductVersion</key><string>16.5</string></dict>"
                                    "</dict></plist>";
    const auto *plistBytes = reinterpret_cast<const uint8_t *>(plist.constData());
    if (!fuzzenv::writeFile(folder + QStringLiteral("/Manifest.db"), data, size)
        || !fuzzenv::writeFile(folder + QStringLiteral("/Manifest.plist"), plistBytes, size_t(plist.size()))
        || !fuzzenv::writeFile(folder + QStringLiteral("/Status.plist"), plistBytes, size_t(plist.size())))
        return 0;
    BackupManifest manifest(folder);
    quint64 sum = 0;
    try {
        manifest.loadManifestPlist();
        manifest.loadMbdb();
    } catch (const std::exception &) {
        return 0;
    }
    const QString inside = QDir(folder).absolutePath() + QLatin1Char('/');
    QList<const _BackupFileNode *> pending{&manifest.root};
    while (!pending.isEmpty()) {
        const _BackupFileNode *node = pending.takeLast();
        if (node->parent) {
            const QString path = QDir::cleanPath(manifest.dataFilePath(node));
            if (!path.startsWith(inside))
                std::abort(); // a data file outside the backup
            sum += quint64(path.size()) + node->record.mode + quint64(node->record.fileLength);
        }
        for (const _BackupFileNode *child : node->children)
            pending.append(child);
    }
    fuzzenv::keep(sum);
    return 0;
}
