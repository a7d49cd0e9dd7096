#include "app/regularfile.h"

#include "app/durablefile.h"
#include "app/failure.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

[[noreturn]] void notRegular(const QString &path)
{
    throwError(
        QStringLiteral("%1 is not a regular file (a link, a FIFO or a device); it is not read.").arg(shown(path)));
}

} // namespace

void RegularFile::open(QFile &file, const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer for ever; O_NOFOLLOW: a link to /dev/zero is not followed.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            notRegular(path);
        throwError(QStringLiteral("Cannot open %1: %2").arg(shown(path), DurableFile::errorText(error)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        notRegular(path);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throwError(QStringLiteral("Cannot open %1: %2").arg(shown(path), file.errorString()));
    }
}

QByteArray RegularFile::read(const QString &path, qint64 maxBytes)
{
    QFile file;
    open(file, path);
    if (file.size() > maxBytes)
        throwError(QStringLiteral("%1 is too large to be read (%2 bytes).").arg(shown(path)).arg(file.size()));
    // The size is checked again while reading: the file may grow meanwhile.
    QByteArray data;
    data.reserve(qsizetype(file.size()));
    while (true) {
        const QByteArray chunk = file.read(1 << 20);
        if (file.error() != QFileDevice::NoError)
            throwError(QStringLiteral("Cannot read %1: %2").arg(shown(path), file.errorString()));
        if (chunk.isEmpty())
            break;
        data += chunk;
        if (data.size() > maxBytes)
            throwError(QStringLiteral("%1 is too large to be read.").arg(shown(path)));
    }
    return data;
}
