#pragma once
// Turns a relative path taken from foreign data (a phone's database, an
// archive a phone sent, a backup's file list) into a file inside one folder
// of ours, or refuses it. Whatever the path says, the answer never lies
// outside that folder, never on or below a symbolic link inside it, and never
// on one of the files the program itself keeps there: a copy that lands on a
// database's journal or write-ahead log would be applied to the database at
// its next open.
#include <QList>
#include <QString>

class ContainedPath
{
public:
    // root: the folder every answer lies below; made absolute and cleaned.
    // The root itself may be reached through symbolic links (a data folder
    // moved elsewhere); only what lies below it is checked.
    explicit ContainedPath(const QString &root);

    // A file no answer may hit, together with every "<name>-..." file beside
    // it (SQLite's "-journal", "-wal", "-shm" and super-journals) and anything
    // below such names. Relative paths are taken below the root.
    void protectFile(const QString &path);
    // A folder no answer may hit or lie below.
    void protectFolder(const QString &path);

    // The absolute cleaned path of relative below the root; empty when
    // refused: empty after cleaning, absolute, holding a NUL or another
    // control character, climbing out with "..", naming the root itself,
    // hitting a protected file or folder (compared without regard to case,
    // as some file systems do), or passing through or ending on a symbolic
    // link that exists below the root now.
    QString target(const QString &relative) const;

    QString root() const { return m_root; }

private:
    bool isProtected(const QString &target) const;
    bool crossesSymLink(const QString &target) const;

    QString m_root;
    QList<QString> m_files;
    QList<QString> m_folders;
};
