#pragma once
// Writing the per-file metadata of a backup of iOS 10 and later: the MBFile
// that NSKeyedArchiver stores in Manifest.db's "file" column (the layout is
// set out in ios/manifestdbfilelist.h). Reading goes through KeyedArchive;
// writing goes through libplist, whose binary writer keeps UIDs.
#include <QByteArray>
#include <QString>

// blob with the MBFile's Size (unless size is negative) and LastModified
// replaced and every other value (keys, owner, inode, protection class,
// encryption key, class) kept. Empty when blob is not a keyed archive with an
// MBFile dictionary at its root.
QByteArray mbfile_with_size_and_time(const QByteArray &blob, qint64 size, qint64 lastModified);

// A new MBFile for a file or folder this program adds to a backup: mode
// 0100644 or 040755, owner 501, protection class 3 for files and 0 for
// folders, the three dates set to lastModified.
QByteArray mbfile_new(const QString &relativePath, bool folder, qint64 size, qint64 lastModified,
                      quint64 inode);
