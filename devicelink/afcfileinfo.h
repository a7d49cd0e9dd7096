#pragma once
// What the device says of one directory entry (AfcClient::fileInfo). An empty
// record (no type) stands for an entry the device could not describe; its
// size means nothing then.
#include <QDateTime>
#include <QString>

class AfcFileInfo
{
public:
    AfcFileInfo();
    explicit AfcFileInfo(const QString &name);

    QString name;       // the full device path that was asked for
    qint64 size = 0;    // "st_size"
    QDateTime modified; // "st_mtime", local time; null when the device gave none
    QString type;       // "st_ifmt": "S_IFREG", "S_IFDIR", "S_IFLNK", ...; empty when none

    bool isValid() const;
    // The type compared without regard to case.
    bool isFile() const;
    bool isDir() const;
};
