#pragma once
// Swapping a set of files in a backup folder so that a kill, a crash or a
// power cut at any point ends, at the next look at that folder, with either
// every old file or every new one in place, never a mix (a message database
// whose manifest record describes another file, or none at all).
//
// The new files are first written whole beside the old ones. Then a journal
// ("swap.journal" in the folder) lists every move, with the length and SHA-1
// of each new file, and is put on disk before the first rename and removed
// after the last. A journal found later means a swap was cut short: recover
// rolls it forward when every new file is still whole (waiting beside its
// target or already in its place) and back otherwise.
//
// Each move: the old target steps aside under its aside name, then the new
// source takes the target's name. A move without a source only steps the
// target aside (a file the new set no longer has). All names are plain file
// names inside the one folder.
#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

#include <functional>

class BackupSwapJournal
{
public:
    struct Move
    {
        QString target; // the name that changes, e.g. "Manifest.mbdb"
        QString source; // the new file beside it, written whole; empty: target only steps aside
        QString aside;  // the name the old target keeps
        bool hadTarget = false; // filled by commit: whether target existed then
        qint64 length = -1;     // filled by commit: of source
        QByteArray sha1;        // filled by commit: of source
    };

    enum class Outcome { NoJournal, RolledForward, RolledBack };

    explicit BackupSwapJournal(const QDir &folder);

    static QString fileName(); // "swap.journal"
    QString journalPath() const;

    void addMove(const QString &target, const QString &source, const QString &aside);

    // Syncs every source, writes the journal durably, performs the moves in
    // order and removes the journal. beforeRename, when given, is called
    // before each rename with a short name of it ("<target> aside",
    // "<target> in") and once more before the journal goes ("done"); tests
    // fail or kill the swap there. A throw (from a rename or from
    // beforeRename) rolls the folder back to its old files, removes the
    // sources and passes on; when even that fails, the journal stays for
    // recover.
    void commit(const std::function<void(const QString &step)> &beforeRename = {});

    // Finishes or undoes a swap that a journal in folder records, then
    // removes the journal. Throws std::runtime_error (UTF-8) when the journal
    // cannot be read or the files cannot be moved; the journal then stays.
    static Outcome recover(const QDir &folder);

private:
    static QByteArray serialize(const QList<Move> &moves);
    static QList<Move> parse(const QByteArray &bytes, const QString &path);
    // Whether the file at path is the new content a move recorded.
    static bool isNewContent(const QString &path, const Move &move);
    static void rollForward(const QDir &folder, const QList<Move> &moves);
    static void rollBack(const QDir &folder, const QList<Move> &moves);

    QDir folder;
    QList<Move> moves;
};
