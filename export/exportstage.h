#pragma once
// What one export run may change on disk, and how it is undone.
//
// Every output file is written under a hidden temporary name in the folder of
// its target and moved over the target only when the whole run has succeeded
// (commit). Folders and asset copies the run makes are noted as they are made.
// A run that fails or is cancelled (rollback, also by destruction without
// commit) removes exactly what it made: files and folders that were there
// before, including an earlier file under a target's name, stay as they were.
#include <QList>
#include <QPair>
#include <QString>

class ExportStage
{
public:
    ExportStage();
    ~ExportStage(); // rolls back unless committed

    // A fresh temporary path beside target for the writer of target.
    QString stage(const QString &target);
    // Creates folder with its parents when nothing is there; notes the
    // outermost folder it made. False when the folder cannot be made.
    bool makeFolder(const QString &folder);
    // Notes a file or folder the run has made itself (an asset copy).
    void noteCreated(const QString &path);

    // Moves every staged file over its target, in staging order. Throws
    // std::runtime_error when a move fails; the run is then rolled back.
    void commit();
    // Removes every staged file and everything noted, newest first.
    void rollback();

private:
    QList<QPair<QString, QString>> staged; // temporary path, target
    QStringList created;
    bool done = false;
};
