#include "tests/support/filefixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace testsupport {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error(QString("write %1: %2").arg(path, file.errorString()).toStdString());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray readRequiredFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(QString("read %1: %2").arg(path, file.errorString()).toStdString());
    return file.readAll();
}

QMap<QString, QByteArray> fileTree(const QString &root)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray value;
        if (info.isSymLink())
            value = "<link to " + QFile::encodeName(info.symLinkTarget()) + ">";
        else if (info.isDir())
            value = "<dir>";
        else if (!info.isFile())
            value = "<special>"; // a FIFO would block the read
        else
            value = readFile(path);
        out.insert(QDir(root).relativeFilePath(path), value);
    }
    return out;
}

} // namespace testsupport
