#include "tests/support/cpioarchivefixture.h"

#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <stdexcept>

namespace testsupport {

namespace {

la_ssize_t appendBytes(struct archive *, void *client, const void *buffer, size_t length)
{
    static_cast<QByteArray *>(client)->append(static_cast<const char *>(buffer), qsizetype(length));
    return la_ssize_t(length);
}

unsigned fileType(CpioEntry::Kind kind)
{
    switch (kind) {
    case CpioEntry::Folder:
        return AE_IFDIR;
    case CpioEntry::SymLink:
        return AE_IFLNK;
    case CpioEntry::BlockDevice:
        return AE_IFBLK;
    case CpioEntry::CharDevice:
        return AE_IFCHR;
    case CpioEntry::Fifo:
        return AE_IFIFO;
    case CpioEntry::Socket:
        return AE_IFSOCK;
    case CpioEntry::File:
    case CpioEntry::HardLink:
        break;
    }
    return AE_IFREG;
}

void check(int result, struct archive *a, const char *what)
{
    if (result != ARCHIVE_OK)
        throw std::runtime_error(std::string(what) + ": " + (archive_error_string(a) ? archive_error_string(a) : "?"));
}

} // namespace

CpioEntry CpioEntry::file(const QByteArray &name, const QByteArray &data, qint64 mtime)
{
    CpioEntry entry;
    entry.name = name;
    entry.data = data;
    entry.mtime = mtime;
    return entry;
}

CpioEntry CpioEntry::folder(const QByteArray &name)
{
    CpioEntry entry;
    entry.name = name;
    entry.kind = Folder;
    entry.perm = 0755;
    return entry;
}

CpioEntry CpioEntry::special(const QByteArray &name, Kind kind, const QByteArray &linkTarget)
{
    CpioEntry entry;
    entry.name = name;
    entry.kind = kind;
    entry.linkTarget = linkTarget;
    return entry;
}

QByteArray cpioArchive(const QList<CpioEntry> &entries, CpioFilter filter)
{
    QByteArray out;
    std::unique_ptr<struct archive, int (*)(struct archive *)> writer(archive_write_new(), archive_write_free);
    check(archive_write_set_format_cpio_newc(writer.get()), writer.get(), "format");
    if (filter == CpioFilter::Gzip)
        check(archive_write_add_filter_gzip(writer.get()), writer.get(), "gzip");
    archive_write_set_bytes_in_last_block(writer.get(), 1);
    check(archive_write_open(writer.get(), &out, nullptr, appendBytes, nullptr), writer.get(), "open");
    int inode = 100;
    for (const CpioEntry &e : entries) {
        std::unique_ptr<struct archive_entry, void (*)(struct archive_entry *)> entry(archive_entry_new(),
                                                                                     archive_entry_free);
        archive_entry_copy_pathname(entry.get(), e.name.constData());
        archive_entry_set_filetype(entry.get(), fileType(e.kind));
        archive_entry_set_perm(entry.get(), mode_t(e.perm));
        archive_entry_set_mtime(entry.get(), time_t(e.mtime), 0);
        archive_entry_set_ino(entry.get(), ++inode);
        archive_entry_set_nlink(entry.get(), 1);
        if (e.kind == CpioEntry::SymLink) {
            archive_entry_copy_symlink(entry.get(), e.linkTarget.constData());
        } else if (e.kind == CpioEntry::HardLink) {
            archive_entry_copy_hardlink(entry.get(), e.linkTarget.constData());
        } else if (e.kind == CpioEntry::BlockDevice || e.kind == CpioEntry::CharDevice) {
            archive_entry_set_rdevmajor(entry.get(), 8);
            archive_entry_set_rdevminor(entry.get(), 1);
        }
        const bool hasData = e.kind == CpioEntry::File;
        archive_entry_set_size(entry.get(), hasData ? e.data.size() : 0);
        check(archive_write_header(writer.get(), entry.get()), writer.get(), "header");
        if (hasData && !e.data.isEmpty()
            && archive_write_data(writer.get(), e.data.constData(), size_t(e.data.size())) != e.data.size())
            throw std::runtime_error("data");
    }
    check(archive_write_close(writer.get()), writer.get(), "close");
    return out;
}

QList<CpioEntry> cpioFolders(const QByteArray &path)
{
    QList<CpioEntry> folders;
    const QList<QByteArray> parts = path.split('/');
    QByteArray prefix;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        prefix += (i ? "/" : "") + parts[i];
        folders.append(CpioEntry::folder(prefix));
    }
    return folders;
}

QList<ListedEntry> listArchive(const QByteArray &bytes, bool *complete, bool *gzipped)
{
    QList<ListedEntry> listed;
    *complete = false;
    std::unique_ptr<struct archive, int (*)(struct archive *)> reader(archive_read_new(), archive_read_free);
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.constData(), size_t(bytes.size())) != ARCHIVE_OK)
        return listed;
    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader.get(), &entry);
        if (result == ARCHIVE_EOF) {
            *complete = true;
            break;
        }
        if (result != ARCHIVE_OK)
            break;
        ListedEntry e;
        e.name = archive_entry_pathname(entry);
        e.type = archive_entry_filetype(entry);
        e.size = archive_entry_size(entry);
        e.mtime = archive_entry_mtime(entry);
        char chunk[65536];
        la_ssize_t got = 0;
        while ((got = archive_read_data(reader.get(), chunk, sizeof chunk)) > 0)
            e.data.append(chunk, qsizetype(got));
        listed.append(e);
        if (got < 0)
            break;
    }
    if (gzipped)
        *gzipped = archive_filter_code(reader.get(), 0) == ARCHIVE_FILTER_GZIP;
    return listed;
}

QByteArray incompressibleBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.generate() & 0xff);
    return bytes;
}

} // namespace testsupport
