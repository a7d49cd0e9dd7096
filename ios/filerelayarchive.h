#pragma once
// Unpacks the archive a phone's file-relay service sent into one folder
// ("file-relay" in the phone's cache folder), where the phone's files then
// lie at their paths on the phone.
//
// The archive is read by libarchive with every filter and format it knows;
// phones send cpio (newc), plain or gzip. Its entries are foreign data:
//
//   entry name   raw bytes, taken as UTF-8; one leading "./" and every
//                : * ? " < > | dropped, then leading "/" dropped; the rest
//                goes through ContainedPath, which refuses names that climb
//                out with "..", pass or end on a symbolic link, or hit a
//                file of the program's own. A refused entry is logged and
//                skipped; a folder entry naming the folder itself is skipped.
//   entry type   the whole type field: only folders (AE_IFDIR) and regular
//                files (AE_IFREG) are unpacked; links, devices, pipes and
//                sockets are logged and skipped.
//   folder       made with its missing parents when nothing is there yet.
//   file         written to a new hidden file beside its target, with the
//                entry's modification time as both its times (cpio has no
//                access time); its folder must exist already (the archive's
//                folder entries come first).
//
// libarchive's answers: the end of the archive ends the unpacking; a
// warning is logged and the entry is unpacked; anything worse from reading
// a header or data (a damaged or truncated archive) is an error carrying
// libarchive's text.
//
// Only once the whole archive has been read are the new files renamed over
// their targets (a rename replaces whatever name stands there rather than
// following it). An archive that breaks off, or a cancel, therefore leaves
// every earlier copy as it was: no database is swapped for a copy cut short
// or for one out of step with its neighbours (a message database and its
// write-ahead log). Folders made on the way stay.
#include "store/containedpath.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QTemporaryFile;
struct archive;
struct archive_entry;

class FileRelayArchive
{
public:
    explicit FileRelayArchive(const ContainedPath &folder);

    // "file-relay" in cacheDir, with the program's own files of a cache
    // folder protected.
    static ContainedPath extractionFolder(const QDir &cacheDir);

    // Called as each entry begins, with the last part of its cleaned name,
    // and before each chunk of a file's data is read, with the bytes written
    // so far and the entry's size. Whatever they throw (the int -1 to
    // cancel) passes on after the archive has been released.
    std::function<void(const QString &name)> entryStarted;
    std::function<void(qint64 written, qint64 size)> chunkStarted;

    // Unpacks the archive in the file at path; buffer (at least one byte)
    // serves as both read block and copy buffer. Throws std::runtime_error:
    //   "open <path>(<code>) error."        libarchive refuses the file
    //   "read <path> error. <why>"          a damaged or truncated archive
    //   "create <target> error. <why>"      a file cannot be made
    //   "write <target> error. <why>"       a file cannot be written
    void unpackFile(const QString &path, QByteArray &buffer);
    // The same for an archive held in memory; name stands for the path in
    // the texts.
    void unpackBytes(const QByteArray &archive, const QString &name, QByteArray &buffer);

    // The entry name as it is looked up below the folder (see above); empty
    // for a name that is missing or holds nothing.
    static QString cleanedName(const char *rawName);

private:
    // A file written whole, waiting for the end of the archive.
    struct Staged
    {
        std::unique_ptr<QTemporaryFile> file; // removed with it unless renamed
        QString target;
    };

    void unpack(struct archive *reader, const QString &name, QByteArray &buffer);
    void unpackEntry(struct archive *reader, struct archive_entry *entry, const QString &name, QByteArray &buffer,
                     std::vector<Staged> &staged);
    Staged writeFile(struct archive *reader, struct archive_entry *entry, const QString &target, const QString &name,
                     QByteArray &buffer);
    static void putInPlace(std::vector<Staged> &staged);

    ContainedPath folder;
};
