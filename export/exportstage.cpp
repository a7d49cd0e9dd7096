#include "export/exportstage.h"

#include "app/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

ExportStage::ExportStage() = default;

ExportStage::~ExportStage()
{
    if (!done)
        rollback();
}

QString ExportStage::stage(const QString &target)
{
    // A short name of its own, not the target's name with something added:
    // a target name near the file-name limit would pass it.
    const QDir dir = QFileInfo(target).absoluteDir();
    QString temp;
    do {
        temp = dir.absoluteFilePath(QStringLiteral(".qp-export-%1.part")
                                        .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')));
    } while (QFileInfo::exists(temp));
    staged.append({temp, QFileInfo(target).absoluteFilePath()});
    return temp;
}

bool ExportStage::makeFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.exists() || info.isSymLink())
        return info.isDir();
    // The outermost missing folder is what removing the run must take away.
    QString outermost = info.absoluteFilePath();
    for (QFileInfo up(info.absolutePath()); !up.exists() && !up.isSymLink(); up = QFileInfo(up.absolutePath()))
        outermost = up.absoluteFilePath();
    if (!QDir().mkpath(info.absoluteFilePath())) {
        removeDirRecursively(outermost);
        return false;
    }
    created.append(outermost);
    return true;
}

void ExportStage::noteCreated(const QString &path)
{
    created.append(QFileInfo(path).absoluteFilePath());
}

void ExportStage::commit()
{
    for (qsizetype i = 0; i < staged.size(); ++i) {
        const QString &temp = staged[i].first;
        const QString &target = staged[i].second;
        const bool existed = QFileInfo::exists(target) || QFileInfo(target).isSymLink();
        // rename() replaces an existing target in one step, which QFile's
        // rename refuses to do.
        if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) != 0) {
            const QString error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target),
                                                              QString::fromLocal8Bit(std::strerror(errno)));
            staged.remove(0, i);
            rollback();
            throw std::runtime_error(error.toUtf8().toStdString());
        }
        if (!existed)
            created.append(target);
    }
    staged.clear();
    done = true;
}

void ExportStage::rollback()
{
    for (const auto &s : std::as_const(staged))
        QFile::remove(s.first);
    staged.clear();
    for (qsizetype i = created.size() - 1; i >= 0; --i) {
        const QFileInfo info(created[i]);
        if (info.isDir() && !info.isSymLink())
            removeDirRecursively(created[i]);
        else
            QFile::remove(created[i]);
    }
    created.clear();
    done = true;
}
