#include "ios/mbdbfilelist.h"

#include <QFileInfo>

#include <stdexcept>

MbdbFileList::MbdbFileList(const QDir &folder) : m_folder(folder)
{
}

QHash<QString, _MbdbRecord> MbdbFileList::read()
{
    const QString path = m_folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"));
    if (!QFileInfo::exists(path))
        throw std::runtime_error((QStringLiteral("Cannot find ") + path).toUtf8().toStdString());
    return mbdb_read(path);
}

QString MbdbFileList::dataFilePath(const QString &fileId) const
{
    return m_folder.absoluteFilePath(fileId);
}
