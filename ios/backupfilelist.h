#pragma once
// The list of every file, folder and link an iTunes backup holds, whichever
// layout keeps it: "Manifest.mbdb" up to iOS 9 (MbdbFileList), "Manifest.db"
// from iOS 10 on (ManifestDbFileList). Both give the same records, so the
// file tree, the cache of message files and the extraction of a file are one
// code path for either layout; only where a file's data lies differs.
#include "ios/mbdb.h"

#include <QHash>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

class BackupFileList
{
public:
    virtual ~BackupFileList();

    // Every record, keyed by file id (40 lower-case hex digits). Throws
    // std::runtime_error (UTF-8) naming the backup when the list is missing
    // or damaged; nothing is returned then.
    virtual QHash<QString, _MbdbRecord> read() = 0;
    // The same as (file id, record) pairs: what the file tree is built from.
    // A list whose ids are unique by its format gives them without a hash
    // in between.
    virtual std::vector<std::pair<QString, _MbdbRecord>> readList();
    // The same, each pair handed to take as it is read; expect, when given,
    // first learns how many there are if the list knows. Lets the file tree
    // take each record into its node at once.
    virtual void readEach(const std::function<void(const QString &fileId, _MbdbRecord &&record)> &take,
                          const std::function<void(qint64 count)> &expect = {});

    // The absolute path of the data file of fileId in the backup folder.
    virtual QString dataFilePath(const QString &fileId) const = 0;

    // Whether text is a file id as both layouts name data files: 40
    // lower-case hex digits. Anything else could name a path outside the
    // backup folder.
    static bool isFileId(const QString &text);
};
