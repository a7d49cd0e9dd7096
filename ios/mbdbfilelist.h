#pragma once
// The file list of a backup of iOS 9 and earlier: "Manifest.mbdb" (ios/mbdb.h),
// with every data file directly in the backup folder under its file id.
#include "ios/backupfilelist.h"

#include <QDir>

class MbdbFileList : public BackupFileList
{
public:
    explicit MbdbFileList(const QDir &folder);

    // Throws "Cannot find <path>" when the folder has no Manifest.mbdb, and
    // what mbdb_read throws for a damaged one.
    QHash<QString, _MbdbRecord> read() override;
    QString dataFilePath(const QString &fileId) const override;

private:
    QDir m_folder;
};
