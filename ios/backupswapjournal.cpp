#include "ios/backupswapjournal.h"

#include "app/durablefile.h"
#include "app/failure.h"
#include "app/regularfile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

const char kMagic[] = "swap-journal 1";
// A journal lists a handful of moves; anything larger is not one of ours.
constexpr qint64 kMaxJournalBytes = 64 * 1024;

bool exists(const QString &path)
{
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

void renameFile(const QString &from, const QString &to)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throwError(QStringLiteral("Cannot move %1 to %2: %3")
                       .arg(QDir::toNativeSeparators(from), QDir::toNativeSeparators(to),
                            DurableFile::errorText(errno)));
}

void removeFile(const QString &path)
{
    if (exists(path) && !QFile::remove(path))
        throwError(QStringLiteral("Cannot remove %1.").arg(QDir::toNativeSeparators(path)));
}

// Names in a journal stay inside its folder, whoever wrote the journal: a
// file name, or a relative path of such names ("0a/0a1b..."), never one that
// climbs out or starts at the root.
bool isPlainName(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('\t')) || name.contains(QLatin1Char('\n'))
        || name.contains(QChar(0)) || name.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

// The folders between the journal's folder and a name of it: a link among
// them would lead the moves outside.
void refuseLinkedFolders(const QDir &folder, const QString &name)
{
    const QStringList parts = name.split(QLatin1Char('/'));
    QString path = folder.absolutePath();
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        path += QLatin1Char('/') + parts[i];
        const QFileInfo info(path);
        if (info.isSymLink() || (info.exists() && !info.isDir()))
            throwError(QStringLiteral("A swap moves only files inside its own folder; %1 is not a folder of it.")
                           .arg(QDir::toNativeSeparators(path)));
    }
}

void refuseLinkedFolders(const QDir &folder, const QList<BackupSwapJournal::Move> &moves)
{
    for (const BackupSwapJournal::Move &m : moves) {
        refuseLinkedFolders(folder, m.target);
        refuseLinkedFolders(folder, m.aside);
        if (!m.source.isEmpty())
            refuseLinkedFolders(folder, m.source);
    }
}

// The folder itself and every folder inside it that a move renames in: each
// holds names that must reach the disk.
void syncFolders(const QDir &folder, const QList<BackupSwapJournal::Move> &moves)
{
    QStringList folders{folder.absolutePath()};
    for (const BackupSwapJournal::Move &m : moves) {
        for (const QString &name : {m.target, m.aside, m.source}) {
            const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
            if (slash > 0) {
                const QString sub = folder.absoluteFilePath(name.left(slash));
                if (!folders.contains(sub))
                    folders << sub;
            }
        }
    }
    for (const QString &f : std::as_const(folders))
        DurableFile::syncFolder(f);
}

// Length and SHA-1 of a regular file; length -1 when it cannot be read.
QPair<qint64, QByteArray> measure(const QString &path)
{
    QFile file;
    try {
        RegularFile::open(file, path);
    } catch (const std::exception &) {
        return {-1, QByteArray()};
    }
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError)
        return {-1, QByteArray()};
    return {file.size(), hash.result()};
}

} // namespace

BackupSwapJournal::BackupSwapJournal(const QDir &folder) : folder(folder.absolutePath()) {}

QString BackupSwapJournal::fileName()
{
    return QStringLiteral("swap.journal");
}

QString BackupSwapJournal::journalPath() const
{
    return folder.absoluteFilePath(fileName());
}

void BackupSwapJournal::addMove(const QString &target, const QString &source, const QString &aside)
{
    if (!isPlainName(target) || !isPlainName(aside) || (!source.isEmpty() && !isPlainName(source)))
        throwError(QStringLiteral("A swap moves only files of its own folder."));
    Move move;
    move.target = target;
    move.source = source;
    move.aside = aside;
    moves.append(move);
}

QByteArray BackupSwapJournal::serialize(const QList<Move> &moves)
{
    QByteArray out = QByteArray(kMagic) + '\n';
    for (const Move &m : moves) {
        out += "move\t" + m.target.toUtf8() + '\t' + m.source.toUtf8() + '\t' + m.aside.toUtf8() + '\t'
               + (m.hadTarget ? "1" : "0") + '\t' + QByteArray::number(m.length) + '\t' + m.sha1.toHex() + '\n';
    }
    out += "end\n";
    return out;
}

QList<BackupSwapJournal::Move> BackupSwapJournal::parse(const QByteArray &bytes, const QString &path)
{
    auto damaged = [&]() -> QList<Move> {
        throwError(QStringLiteral("%1 records an unfinished change of this backup but cannot be read; the backup is "
                                  "left as it is.")
                       .arg(QDir::toNativeSeparators(path)));
    };
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || lines.first() != kMagic || !lines.last().isEmpty() || lines[lines.size() - 2] != "end")
        return damaged();
    QList<Move> moves;
    for (qsizetype i = 1; i < lines.size() - 2; ++i) {
        const QList<QByteArray> f = lines[i].split('\t');
        if (f.size() != 7 || f[0] != "move")
            return damaged();
        Move m;
        m.target = QString::fromUtf8(f[1]);
        m.source = QString::fromUtf8(f[2]);
        m.aside = QString::fromUtf8(f[3]);
        m.hadTarget = f[4] == "1";
        bool ok = false;
        m.length = f[5].toLongLong(&ok);
        m.sha1 = QByteArray::fromHex(f[6]);
        if (!ok || !isPlainName(m.target) || !isPlainName(m.aside) || (!m.source.isEmpty() && !isPlainName(m.source))
            || (!m.source.isEmpty() && m.sha1.size() != 20))
            return damaged();
        moves.append(m);
    }
    return moves;
}

bool BackupSwapJournal::isNewContent(const QString &path, const Move &move)
{
    if (!exists(path) || QFileInfo(path).size() != move.length)
        return false;
    const QPair<qint64, QByteArray> found = measure(path);
    return found.first == move.length && found.second == move.sha1;
}

void BackupSwapJournal::rollForward(const QDir &folder, const QList<Move> &moves)
{
    for (const Move &m : moves) {
        const QString target = folder.absoluteFilePath(m.target);
        const QString aside = folder.absoluteFilePath(m.aside);
        if (m.source.isEmpty()) {
            if (exists(target) && !exists(aside))
                renameFile(target, aside);
            continue;
        }
        const QString source = folder.absoluteFilePath(m.source);
        if (!exists(source))
            continue; // already in place
        if (m.hadTarget && exists(target) && !exists(aside))
            renameFile(target, aside);
        renameFile(source, target);
    }
    DurableFile::syncFolder(folder.absolutePath());
}

void BackupSwapJournal::rollBack(const QDir &folder, const QList<Move> &moves)
{
    for (auto it = moves.crbegin(); it != moves.crend(); ++it) {
        const Move &m = *it;
        const QString target = folder.absoluteFilePath(m.target);
        const QString aside = folder.absoluteFilePath(m.aside);
        if (m.source.isEmpty()) {
            if (exists(aside) && !exists(target))
                renameFile(aside, target);
            continue;
        }
        const QString source = folder.absoluteFilePath(m.source);
        if (exists(aside) && (!exists(target) || isNewContent(target, m))) {
            renameFile(aside, target);
        } else if (!m.hadTarget && isNewContent(target, m)) {
            removeFile(target);
        }
        removeFile(source);
    }
    DurableFile::syncFolder(folder.absolutePath());
}

void BackupSwapJournal::commit(const std::function<void(const QString &step)> &beforeRename)
{
    for (Move &m : moves) {
        const QString target = folder.absoluteFilePath(m.target);
        m.hadTarget = exists(target);
        if (m.source.isEmpty())
            continue;
        const QString source = folder.absoluteFilePath(m.source);
        DurableFile::sync(source);
        const QPair<qint64, QByteArray> found = measure(source);
        if (found.first < 0)
            throwError(QStringLiteral("Cannot read %1.").arg(QDir::toNativeSeparators(source)));
        m.length = found.first;
        m.sha1 = found.second;
    }
    refuseLinkedFolders(folder, moves);
    DurableFile::write(journalPath(), serialize(moves));

    auto hook = [&](const QString &step) {
        if (beforeRename)
            beforeRename(step);
    };
    try {
        for (const Move &m : moves) {
            const QString target = folder.absoluteFilePath(m.target);
            hook(m.target + QStringLiteral(" aside"));
            if (m.hadTarget)
                renameFile(target, folder.absoluteFilePath(m.aside));
            if (m.source.isEmpty())
                continue;
            hook(m.target + QStringLiteral(" in"));
            renameFile(folder.absoluteFilePath(m.source), target);
        }
        hook(QStringLiteral("done"));
        syncFolders(folder, moves);
    } catch (...) {
        try {
            rollBack(folder, moves);
            syncFolders(folder, moves);
            removeFile(journalPath());
            DurableFile::syncFolder(folder.absolutePath());
        } catch (...) {
            // The journal stays: the next look at this folder finishes it.
        }
        throw;
    }
    removeFile(journalPath());
    DurableFile::syncFolder(folder.absolutePath());
}

BackupSwapJournal::Outcome BackupSwapJournal::recover(const QDir &dir)
{
    const QDir folder(dir.absolutePath());
    const QString path = folder.absoluteFilePath(fileName());
    if (!exists(path))
        return Outcome::NoJournal;
    const QList<Move> moves = parse(RegularFile::read(path, kMaxJournalBytes), path);
    refuseLinkedFolders(folder, moves);
    // Forward only when every new file is whole, waiting or in its place.
    bool forward = true;
    for (const Move &m : moves) {
        if (m.source.isEmpty())
            continue;
        if (!isNewContent(folder.absoluteFilePath(m.source), m) && !isNewContent(folder.absoluteFilePath(m.target), m))
            forward = false;
    }
    if (forward)
        rollForward(folder, moves);
    else
        rollBack(folder, moves);
    syncFolders(folder, moves);
    removeFile(path);
    DurableFile::syncFolder(folder.absolutePath());
    qWarning("Finished an interrupted change of the backup %s (%s).", qPrintable(folder.absolutePath()),
             forward ? "completed" : "undone");
    return forward ? Outcome::RolledForward : Outcome::RolledBack;
}
