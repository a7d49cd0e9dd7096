// The archive a phone's file-relay service sends (cpio, plain or compressed;
// libarchive reads whatever format and filter it recognises), unpacked into
// the extraction folder of a phone's cache folder as the download thread
// does. Beside and inside that folder lie things an archive must never touch:
// the program's own files of the cache folder, a file beside the cache folder,
// and a symbolic link inside the extraction folder pointing out of it. After
// each input nothing outside the extraction folder may have changed, nothing
// inside may be other than files and folders (bar the planted link), and no
// half-written file may be left behind, whether the archive unpacked or not.
//
// The program writes files as large as the phone sends; a compressed input of
// a few kilobytes can stand for gigabytes, so the target cancels an entry
// past kMaxWritten the way the user's cancel does (chunkStarted throws).
#include "fuzz/fuzzenv.h"
#include "ios/filerelayarchive.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

constexpr qint64 kMaxWritten = 4 * 1024 * 1024;
const QByteArray kSentinel("kept as it was");

[[noreturn]] void fault(const char *what, const QString &path)
{
    std::fprintf(stderr, "filerelay: %s: %s\n", what, qPrintable(path));
    std::abort();
}

void plant(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(kSentinel) != kSentinel.size())
        fault("cannot plant", path);
}

// Everything below root as it stands, links not followed.
QStringList tree(const QString &root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    return paths;
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
    const QString cache = top.absoluteFilePath(QStringLiteral("phone"));
    const QString outside = top.absoluteFilePath(QStringLiteral("outside"));
    const ContainedPath folder = FileRelayArchive::extractionFolder(QDir(cache));
    const QString root = folder.root();
    QDir().mkpath(root);
    // The program's own files beside the extraction folder, and a file and a
    // folder beside the cache folder.
    const QStringList planted{QDir(cache).absoluteFilePath(QStringLiteral("manifest.db")),
                              QDir(cache).absoluteFilePath(QStringLiteral("manifest.db-wal")),
                              QDir(cache).absoluteFilePath(QStringLiteral("file-relay.cpio")),
                              top.absoluteFilePath(QStringLiteral("sms.db")),
                              outside + QStringLiteral("/AddressBook.sqlitedb")};
    for (const QString &path : planted)
        plant(path);
    const QString link = root + QStringLiteral("/Library/Link");
    QDir().mkpath(root + QStringLiteral("/Library"));
    if (!QFile::link(outside, link))
        fault("cannot plant", link);
    QStringList before = tree(top.absolutePath());
    before.removeIf([&](const QString &path) { return path.startsWith(root + QLatin1Char('/')); });

    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    FileRelayArchive archive(folder);
    quint64 sum = 0;
    archive.entryStarted = [&](const QString &name) { sum += quint64(name.size()); };
    archive.chunkStarted = [&](qint64 written, qint64) {
        if (written > kMaxWritten)
            throw -1;
    };
    QByteArray buffer(4096, Qt::Uninitialized);
    for (int pass = 0; pass < 2; ++pass) {
        // The second pass unpacks over what the first left, as a second
        // download into the same cache folder does.
        try {
            archive.unpackBytes(bytes, QStringLiteral("file-relay.cpio"), buffer);
        } catch (const std::exception &e) {
            sum += quint64(std::char_traits<char>::length(e.what()));
        } catch (int) {
            ++sum;
        }
    }

    QStringList after = tree(top.absolutePath());
    for (const QString &path : after) {
        if (!path.startsWith(root + QLatin1Char('/'))) {
            if (!before.contains(path))
                fault("landed outside the extraction folder", path);
            continue;
        }
        const QFileInfo info(path);
        if (info.fileName().startsWith(QLatin1String(".file-relay-")))
            fault("a half-written file was left behind", path);
        if (path == link) {
            if (!info.isSymLink() || info.symLinkTarget() != outside)
                fault("the link was replaced", path);
            continue;
        }
        if (info.isSymLink() || !(info.isFile() || info.isDir()))
            fault("neither a file nor a folder", path);
        sum += quint64(info.size());
    }
    for (const QString &path : before) {
        if (!after.contains(path))
            fault("removed outside the extraction folder", path);
    }
    for (const QString &path : planted) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.readAll() != kSentinel)
            fault("changed outside the extraction folder", path);
    }
    fuzzenv::keep(sum);
    return 0;
}
