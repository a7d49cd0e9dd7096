#pragma once
// cpio archives as a phone's file-relay service sends them (newc, plain or
// gzip), written with libarchive, with entries no tidy tree holds: absolute
// and climbing names, links, devices, names with characters some file
// systems refuse. And a reader that lists an archive back, to look at what
// the virtual phone streams.
#include <QByteArray>
#include <QList>
#include <QMetaType>

namespace testsupport {

struct CpioEntry
{
    enum Kind { File, Folder, SymLink, HardLink, BlockDevice, CharDevice, Fifo, Socket };

    QByteArray name;         // the entry name exactly as stored
    Kind kind = File;
    QByteArray data;         // a file's bytes
    QByteArray linkTarget;   // a link's target
    qint64 mtime = 1400000000;
    int perm = 0644;

    static CpioEntry file(const QByteArray &name, const QByteArray &data, qint64 mtime = 1400000000);
    static CpioEntry folder(const QByteArray &name);
    static CpioEntry special(const QByteArray &name, Kind kind, const QByteArray &linkTarget = QByteArray());
};

enum class CpioFilter { None, Gzip };

// The archive, ending with its trailer and not padded to a block.
QByteArray cpioArchive(const QList<CpioEntry> &entries, CpioFilter filter = CpioFilter::None);
// Folder entries for every parent of path ("a/b/c" gives "a" and "a/b"),
// parents first.
QList<CpioEntry> cpioFolders(const QByteArray &path);

struct ListedEntry
{
    QByteArray name;
    unsigned type = 0;  // AE_IFREG, AE_IFDIR, ...
    qint64 size = 0;
    qint64 mtime = 0;
    QByteArray data;
};
// The entries libarchive reads from bytes, in order; complete says whether
// the archive ended properly. gzipped says whether the bytes were gzip.
QList<ListedEntry> listArchive(const QByteArray &bytes, bool *complete, bool *gzipped = nullptr);

// Bytes that do not compress, so a stream has the size a test needs.
QByteArray incompressibleBytes(int size, quint32 seed = 7);

} // namespace testsupport

Q_DECLARE_METATYPE(testsupport::CpioEntry)
