#include "devicelink/afcfileinfo.h"

AfcFileInfo::AfcFileInfo() = default;

AfcFileInfo::AfcFileInfo(const QString &name) : name(name)
{
}

bool AfcFileInfo::isValid() const
{
    return !type.isEmpty();
}

bool AfcFileInfo::isFile() const
{
    return type.compare(QLatin1String("S_IFREG"), Qt::CaseInsensitive) == 0;
}

bool AfcFileInfo::isDir() const
{
    return type.compare(QLatin1String("S_IFDIR"), Qt::CaseInsensitive) == 0;
}
