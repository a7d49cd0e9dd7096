#include "app/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString &what, const QString &path, int error)
{
    throw std::runtime_error(QStringLiteral("Cannot %1 %2: %3")
                                 .arg(what, QDir::toNativeSeparators(path), DurableFile::errorText(error))
                                 .toUtf8()
                                 .toStdString());
}

void syncPath(const QString &path, int flags, const char *what)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        fail(QLatin1String(what), path, errno);
    // A folder opened read-only may refuse fsync on some file systems; that
    // refusal is no loss of data.
    if (::fsync(fd) != 0 && !(flags & O_DIRECTORY && (errno == EINVAL || errno == EBADF))) {
        const int error = errno;
        ::close(fd);
        fail(QLatin1String(what), path, error);
    }
    ::close(fd);
}

} // namespace

QString DurableFile::errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void DurableFile::write(const QString &path, const QByteArray &data)
{
    const QFileInfo info(path);
    QByteArray temp = QFile::encodeName(info.absolutePath() + QLatin1Char('/') + info.fileName()
                                        + QStringLiteral(".tmp-XXXXXX"));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        fail(QStringLiteral("write"), path, errno);
    auto abandon = [&](int error) {
        ::close(fd);
        ::unlink(temp.constData());
        fail(QStringLiteral("write"), path, error);
    };
    const char *at = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, at, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            abandon(written < 0 ? errno : ENOSPC);
        at += written;
        left -= written;
    }
    // Other users may read these files; a temporary file starts private.
    ::fchmod(fd, 0644);
    if (::fsync(fd) != 0)
        abandon(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        fail(QStringLiteral("write"), path, error);
    }
    if (::rename(temp.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        fail(QStringLiteral("write"), path, error);
    }
    syncFolder(info.absolutePath());
}

void DurableFile::copy(const QString &from, const QString &to)
{
    const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        fail(QStringLiteral("read"), from, errno);
    const QByteArray target = QFile::encodeName(to);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        fail(QStringLiteral("write"), to, error);
    }
    auto abandon = [&](const char *what, const QString &path, int error) {
        ::close(in);
        ::close(out);
        ::unlink(target.constData());
        fail(QLatin1String(what), path, error);
    };
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    while (true) {
        const ssize_t got = ::read(in, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            abandon("read", from, errno);
        if (got == 0)
            break;
        const char *at = buffer.constData();
        ssize_t left = got;
        while (left > 0) {
            const ssize_t written = ::write(out, at, size_t(left));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                abandon("write", to, written < 0 ? errno : ENOSPC);
            at += written;
            left -= written;
        }
    }
    if (::fsync(out) != 0)
        abandon("write", to, errno);
    ::close(in);
    if (::close(out) != 0) {
        const int error = errno;
        ::unlink(target.constData());
        fail(QStringLiteral("write"), to, error);
    }
}

void DurableFile::sync(const QString &path)
{
    syncPath(path, O_RDONLY, "sync");
}

void DurableFile::syncFolder(const QString &folder)
{
    syncPath(folder, O_RDONLY | O_DIRECTORY, "sync");
}
