#include "ios/filerelayarchive.h"

#include "app/failure.h"
#include "store/ios6messagedb.h"
#include "store/ioscontactsmemdb.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

struct ArchiveReaderFree
{
    void operator()(struct archive *reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<struct archive, ArchiveReaderFree>;

ArchiveReader newReader()
{
    ArchiveReader reader(archive_read_new());
    if (!reader)
        throw std::bad_alloc();
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    return reader;
}

// libarchive's reason; it gives none for some failures, such as a cpio
// archive whose file data ends early.
QString readerText(struct archive *reader, la_ssize_t result)
{
    if (const char *text = archive_error_string(reader))
        return QString::fromUtf8(text);
    if (const int error = archive_errno(reader))
        return qt_error_string(error);
    return QStringLiteral("The archive is damaged or ends early (%1).").arg(result);
}

// An entry name fit for one log line: control characters would break it.
QByteArray loggable(const char *rawName)
{
    QByteArray name = rawName ? QByteArray(rawName) : QByteArray("(no name)");
    for (char &c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return name;
}

} // namespace

FileRelayArchive::FileRelayArchive(const ContainedPath &folder) : folder(folder)
{
}

ContainedPath FileRelayArchive::extractionFolder(const QDir &cacheDir)
{
    ContainedPath folder(cacheDir.absoluteFilePath(QStringLiteral("file-relay")));
    // All of these lie beside "file-relay", out of reach already; named all
    // the same, so that no later change of the folder layout opens them up.
    // The phone's own databases inside are what the archive is for.
    folder.protectFile(IOSContactsMemDb::cachePath(cacheDir));
    folder.protectFile(IOS6MessageDb::recyclePath(cacheDir));
    folder.protectFile(cacheDir.absoluteFilePath(QStringLiteral("manifest.db")));
    folder.protectFile(cacheDir.absoluteFilePath(QStringLiteral("file-relay.cpio")));
    return folder;
}

QString FileRelayArchive::cleanedName(const char *rawName)
{
    if (!rawName)
        return QString();
    static const QRegularExpression dotSlash(QStringLiteral("^\\./"));
    static const QRegularExpression refused(QStringLiteral("[\\:*?\"<>|]"));
    // An absolute name means the same place on the phone: it lands below the
    // folder like a relative one.
    static const QRegularExpression leadingSlashes(QStringLiteral("^/+"));
    QString name = QString::fromUtf8(rawName);
    name.remove(dotSlash);
    name.remove(refused);
    name.remove(leadingSlashes);
    return name;
}

void FileRelayArchive::unpackFile(const QString &path, QByteArray &buffer)
{
    const QString name = QFileInfo(path).absoluteFilePath();
    ArchiveReader reader = newReader();
    const int result = archive_read_open_filename(reader.get(), QFile::encodeName(name).constData(),
                                                  size_t(qMax<qsizetype>(buffer.size(), 1)));
    if (result != ARCHIVE_OK)
        throwError(QStringLiteral("open %1(%2) error.").arg(name).arg(result));
    unpack(reader.get(), name, buffer);
}

void FileRelayArchive::unpackBytes(const QByteArray &archive, const QString &name, QByteArray &buffer)
{
    ArchiveReader reader = newReader();
    const int result = archive_read_open_memory(reader.get(), archive.constData(), size_t(archive.size()));
    if (result != ARCHIVE_OK)
        throwError(QStringLiteral("open %1(%2) error.").arg(name).arg(result));
    unpack(reader.get(), name, buffer);
}

void FileRelayArchive::unpack(struct archive *reader, const QString &name, QByteArray &buffer)
{
    if (buffer.isEmpty())
        buffer.resize(1);
    // Whatever ends the unpacking early takes the staged files with it.
    std::vector<Staged> staged;
    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader, &entry);
        if (result == ARCHIVE_EOF) {
            putInPlace(staged);
            return;
        }
        if (result == ARCHIVE_WARN)
            qWarning("FileRelayArchive: %s: %s", qUtf8Printable(name), qUtf8Printable(readerText(reader, result)));
        else if (result != ARCHIVE_OK)
            throwError(QStringLiteral("read %1 error. %2").arg(name, readerText(reader, result)));
        unpackEntry(reader, entry, name, buffer, staged);
    }
}

void FileRelayArchive::unpackEntry(struct archive *reader, struct archive_entry *entry, const QString &name,
                                   QByteArray &buffer, std::vector<Staged> &staged)
{
    const char *rawName = archive_entry_pathname(entry);
    const QString relative = cleanedName(rawName);
    const QString cleaned = QDir::cleanPath(relative);
    if (entryStarted)
        entryStarted(cleaned.section(QLatin1Char('/'), -1));

    const auto type = archive_entry_filetype(entry);
    if (type != AE_IFDIR && type != AE_IFREG) {
        qWarning("FileRelayArchive: skipped \"%s\", of type 0%o: neither a folder nor a regular file",
                 loggable(rawName).constData(), unsigned(type));
        return;
    }
    // Archives made of a whole tree start with the tree's own folder.
    if (type == AE_IFDIR && (cleaned.isEmpty() || cleaned == QLatin1String(".")))
        return;
    const QString target = folder.target(relative);
    if (target.isEmpty()) {
        qWarning("FileRelayArchive: skipped \"%s\": it would land outside %s, through a symbolic link or on a "
                 "file of the program's own",
                 loggable(rawName).constData(), qUtf8Printable(folder.root()));
        return;
    }
    if (type == AE_IFDIR) {
        if (!QFileInfo::exists(target))
            QDir().mkpath(target);
        return;
    }
    staged.push_back(writeFile(reader, entry, target, name, buffer));
}

FileRelayArchive::Staged FileRelayArchive::writeFile(struct archive *reader, struct archive_entry *entry,
                                                    const QString &target, const QString &name, QByteArray &buffer)
{
    const QFileInfo targetInfo(target);
    if (targetInfo.isDir())
        throwError(QStringLiteral("create %1 error. %2").arg(target, qt_error_string(EISDIR)));
    // Archives need not list a file's folders before it (or at all).
    if (!QDir().mkpath(targetInfo.absolutePath()))
        throwError(QStringLiteral("create %1 error. %2").arg(targetInfo.absolutePath(), qt_error_string(errno)));
    Staged staged{std::make_unique<QTemporaryFile>(targetInfo.absolutePath() + QStringLiteral("/.file-relay-XXXXXX")),
                  target};
    QTemporaryFile &file = *staged.file;
    if (!file.open())
        throwError(QStringLiteral("create %1 error. %2").arg(target, file.errorString()));

    const qint64 size = archive_entry_size(entry);
    qint64 written = 0;
    for (;;) {
        if (chunkStarted)
            chunkStarted(written, size);
        const la_ssize_t got = archive_read_data(reader, buffer.data(), size_t(buffer.size()));
        if (got < 0)
            throwError(QStringLiteral("read %1 error. %2").arg(name, readerText(reader, got)));
        if (got == 0)
            break;
        written += got;
        if (file.write(buffer.constData(), got) != got)
            throwError(QStringLiteral("write %1 error. %2").arg(target, file.errorString()));
    }
    if (!file.flush())
        throwError(QStringLiteral("write %1 error. %2").arg(target, file.errorString()));
    // The times go on while the file is open (they are set through it), after
    // the last write has reached it.
    const QDateTime modified = QDateTime::fromSecsSinceEpoch(archive_entry_mtime(entry));
    file.setFileTime(modified, QFileDevice::FileModificationTime);
    file.setFileTime(modified, QFileDevice::FileAccessTime);
    file.close();
    if (file.error() != QFileDevice::NoError)
        throwError(QStringLiteral("write %1 error. %2").arg(target, file.errorString()));
    return staged;
}

void FileRelayArchive::putInPlace(std::vector<Staged> &staged)
{
    for (Staged &entry : staged) {
        const QString from = entry.file->fileName();
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(entry.target).constData()) != 0)
            throwError(QStringLiteral("write %1 error. %2").arg(entry.target, qt_error_string(errno)));
        entry.file->setAutoRemove(false);
    }
}
