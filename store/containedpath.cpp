#include "store/containedpath.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// A NUL would cut the name short where the system call reads it, so the file
// written would be another than the one checked here.
bool hasControlCharacter(const QString &path)
{
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

} // namespace

ContainedPath::ContainedPath(const QString &root)
    : m_root(QDir::cleanPath(QDir(root).absolutePath()))
{
}

void ContainedPath::protectFile(const QString &path)
{
    m_files.append(QDir::cleanPath(QDir(m_root).absoluteFilePath(path)));
}

void ContainedPath::protectFolder(const QString &path)
{
    m_folders.append(QDir::cleanPath(QDir(m_root).absoluteFilePath(path)));
}

QString ContainedPath::target(const QString &relative) const
{
    if (relative.isEmpty() || QDir::isAbsolutePath(relative) || hasControlCharacter(relative))
        return QString();
    const QString target = QDir::cleanPath(withSlash(m_root) + relative);
    if (!target.startsWith(withSlash(m_root)) || target.size() <= withSlash(m_root).size())
        return QString();
    if (isProtected(target) || crossesSymLink(target))
        return QString();
    return target;
}

bool ContainedPath::isProtected(const QString &target) const
{
    for (const QString &file : m_files) {
        if (target.compare(file, Qt::CaseInsensitive) == 0
            || target.startsWith(file + QLatin1Char('-'), Qt::CaseInsensitive)
            || target.startsWith(file + QLatin1Char('/'), Qt::CaseInsensitive))
            return true;
    }
    for (const QString &folder : m_folders) {
        if (target.compare(folder, Qt::CaseInsensitive) == 0
            || target.startsWith(withSlash(folder), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool ContainedPath::crossesSymLink(const QString &target) const
{
    const QString root = withSlash(m_root);
    QString current = m_root;
    const QStringList parts = target.mid(root.size()).split(QLatin1Char('/'));
    for (const QString &part : parts) {
        current = withSlash(current) + part;
        const QFileInfo info(current);
        if (info.isSymLink())
            return true;
        // Nothing can stand below a name that does not exist.
        if (!info.exists())
            return false;
    }
    return false;
}
