#pragma once
// Small files that must never be left half written: a full disk, a kill or a
// power cut leaves either the old bytes or all of the new ones. Every write
// is checked, flushed and synced before the file takes its name, and every
// failure is thrown as std::runtime_error (UTF-8) naming the file and the
// system's cause, such as "No space left on device".
#include <QByteArray>
#include <QString>

class DurableFile
{
public:
    // Writes data to a temporary file beside path, syncs it, renames it over
    // path and syncs the folder. On failure the temporary file is removed
    // and path keeps its old bytes (or stays missing).
    static void write(const QString &path, const QByteArray &data);
    // Copies the file at from to the new file to (an existing one is not
    // overwritten), every write checked and the copy synced. On failure the
    // partial copy is removed.
    static void copy(const QString &from, const QString &to);
    // Puts the content of an existing file on disk (fsync); throws.
    static void sync(const QString &path);
    // Puts the names in a folder on disk, so a rename there survives a power
    // cut; throws.
    static void syncFolder(const QString &folder);
    // The system's text for an errno value ("No space left on device").
    static QString errorText(int error);
};
