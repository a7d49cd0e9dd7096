#include "app/datafolder.h"

#include "app/durablefile.h"
#include "platform/desktop/desktopopener.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

const char *const kMakerFolder = "QuillMarten";
const char *const kProductId = "6B2E8D41A7C9430F9E15D2B8C4F70A93";

namespace {
// Written once by the first appDataDir call (GUI thread, before any worker).
QString s_dataDirPath;

QString dataRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}
} // namespace

QString defaultDataRoot()
{
    return QDir(dataRoot()).absoluteFilePath(QLatin1String(kMakerFolder));
}

QString dataRedirectFile()
{
    return QDir(defaultDataRoot()).absoluteFilePath(QLatin1String(kProductId) + ".redirect");
}

QString readDataRedirect()
{
    QFile file(dataRedirectFile());
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString folder = QString::fromUtf8(bytes);
    // Only a folder can hold the data folder: a redirect to a plain file would
    // make every later save fail.
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return QString();
    return folder;
}

void writeDataRedirect(const QString &folder)
{
    // An empty or half-written redirect would send the next start to the
    // default folder, where the user's databases seem to have vanished.
    QDir().mkpath(defaultDataRoot());
    DurableFile::write(dataRedirectFile(), folder.toUtf8());
}

QString resolveDataDirPath()
{
    QString root = readDataRedirect();
    if (root.isEmpty())
        root = defaultDataRoot();
    return QDir(QDir(root).absolutePath()).absoluteFilePath(QLatin1String(kProductId));
}

QDir appDataDir()
{
    if (s_dataDirPath.isEmpty())
        s_dataDirPath = resolveDataDirPath();
    QDir().mkpath(s_dataDirPath);
    return QDir(s_dataDirPath);
}

QDir localDatabasesDir()
{
    const QString path = appDataDir().absoluteFilePath("local_databases");
    if (!QFileInfo::exists(path))
        QDir().mkpath(path);
    return QDir(path);
}

void openInExplorer(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    desktop::openUrl(QUrl::fromLocalFile(folder));
}

void shellOpen(const QString &target)
{
    const QUrl url = QUrl::fromUserInput(target, QDir::currentPath(), QUrl::AssumeLocalFile);
    desktop::openUrl(url);
}

QString validFileName(QString &name)
{
    static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    name.removeIf([](QChar c) { return forbidden.contains(c); });
    return name.trimmed();
}

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

namespace {

bool isGone(const QFileInfo &info)
{
    return !info.exists() && !info.isSymLink();
}

// Removes one entry: a link or a file is unlinked, a folder emptied first.
// Notes the first entry that stayed in left.
void removeEntry(const QFileInfo &entry, QString &left)
{
    const QString path = entry.absoluteFilePath();
    if (entry.isDir() && !entry.isSymLink()) {
        // Hidden entries are the program's too (a file manager's index, a
        // phone's dot files): a folder that keeps one comes back at the next
        // start as if nothing had been deleted.
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QFileInfo &child : entries)
            removeEntry(child, left);
        QDir().rmdir(path);
    } else {
        QFile::remove(path);
    }
    if (left.isEmpty() && !isGone(QFileInfo(path)))
        left = path;
}

} // namespace

bool removeDirRecursively(const QString &path, QString *left)
{
    const QFileInfo top(path);
    if (isGone(top))
        return true;
    // A plain file is not a folder tree: it is not the caller's to remove here.
    if (!top.isDir() && !top.isSymLink()) {
        if (left)
            *left = top.absoluteFilePath();
        return false;
    }
    QString stayed;
    removeEntry(top, stayed);
    if (left)
        *left = stayed;
    return stayed.isEmpty();
}

QString uniqueFilePath(const QString &path)
{
    if (!QFileInfo::exists(path))
        return path;
    const QFileInfo info(path);
    const QString base = info.baseName();
    const QString fileName = info.fileName();
    const QString suffix = fileName.contains('.') ? info.suffix() : QString();
    for (int n = 1;; ++n) {
        QString name = QStringLiteral("%1(%2)").arg(base, QString::number(n));
        if (!suffix.isNull())
            name += '.' + suffix;
        const QString candidate = info.dir().absoluteFilePath(name);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

QStringList subFolders(const QDir &dir)
{
    return dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}
