// The journal of an interrupted swap in a backup folder: a backup copied from
// elsewhere may carry one, and the program finishes or undoes what it records
// the next time it looks at the folder. The input is that journal, in a
// folder holding old and new files, one subfolder and a link to the folder
// above; whatever it says, nothing outside the backup folder may change.
#include "fuzz/fuzzenv.h"
#include "ios/backupswapjournal.h"

#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <exception>

namespace {

bool put(const QString &path, const QByteArray &bytes)
{
    return fuzzenv::writeFile(path, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzenv::Scratch scratch;
    const QDir top = scratch.dir();
    const QString outside = top.absoluteFilePath(QStringLiteral("outside.txt"));
    const QString folder = top.absoluteFilePath(QStringLiteral("backup"));
    // The new files' contents are the ones the seeds' digests describe.
    if (!put(outside, "keep me") || !put(folder + QStringLiteral("/Manifest.db"), "old manifest")
        || !put(folder + QStringLiteral("/Manifest.db.new"), "new manifest")
        || !put(folder + QStringLiteral("/0a/0a1b"), "old data") || !put(folder + QStringLiteral("/0a/0a1b.new"), "new data")
        || !QFile::link(top.absolutePath(), folder + QStringLiteral("/up"))
        || !fuzzenv::writeFile(folder + QLatin1Char('/') + BackupSwapJournal::fileName(), data, size))
        return 0;

    try {
        BackupSwapJournal::recover(QDir(folder));
    } catch (const std::exception &) {
    }

    if (contentOf(outside) != "keep me")
        std::abort(); // a file outside the backup changed
    const QStringList around = top.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (around != QStringList{QStringLiteral("backup"), QStringLiteral("outside.txt")})
        std::abort(); // something was moved out of the backup
    if (!QFileInfo(folder + QStringLiteral("/up")).isSymLink())
        std::abort();
    fuzzenv::keep(quint64(around.size()));
    return 0;
}
