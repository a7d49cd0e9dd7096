#include "ios/itunescachesmsthread.h"

#include "app/datafolder.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "store/containedpath.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

const char *const kLibraryInCache = "file-relay/var/mobile/Library";
constexpr quint16 kFileTypeMask = 0xF000;
constexpr quint16 kFileTypeFolder = 0x4000;

// The node's path in the backup's tree, for messages.
QString treePath(const _BackupFileNode *node)
{
    QStringList names;
    for (; node && node->parent; node = node->parent)
        names.prepend(node->name);
    return names.join(QLatin1Char('/'));
}

bool isSpecialName(const QString &name)
{
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..");
}

[[noreturn]] void refuseName(const _BackupFileNode *node)
{
    throw std::runtime_error(QStringLiteral("The backup lists \"%1\", whose name cannot be copied into the "
                                            "cache folder without leaving it.")
                                 .arg(treePath(node))
                                 .toUtf8()
                                 .toStdString());
}

QString joined(const QString &folder, const QString &name)
{
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

} // namespace

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest *manifest, ProgressForm *form, QObject *parent)
    : ITunesCacheSMSThread(manifest,
                           QDir(appDataDir().absoluteFilePath(QStringLiteral("itunes_cache/") + manifest->cacheId())),
                           form, parent)
{
}

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest *manifest, const QDir &cacheDir, ProgressForm *form,
                                           QObject *parent)
    : QThread(parent),
      manifest(manifest),
      form(form),
      m_cacheDir(cacheDir.absolutePath()),
      cacheDb(m_cacheDir.absoluteFilePath(QStringLiteral("manifest.db")))
{
}

// cacheDb goes first and commits the dates of a run that was not discarded.
ITunesCacheSMSThread::~ITunesCacheSMSThread() = default;

bool ITunesCacheSMSThread::isFolder(const _BackupFileNode *node)
{
    // By length alone an empty file would count as a folder; the mode tells
    // them apart wherever the record has one.
    const quint16 mode = node->record.mode;
    if (mode != 0)
        return (mode & kFileTypeMask) == kFileTypeFolder;
    return node->record.isDirectory();
}

void ITunesCacheSMSThread::run()
{
    form->postUpdateProgress(tr("IDS_LOADING_ITUNES_BACKUP"), 99, QString());

    // An app's folders whose own record is missing hang under the root too,
    // and app domains sort first: the phone's Library is the first one that
    // is not an app's.
    const _BackupFileNode *library = nullptr;
    for (const _BackupFileNode *child : manifest->root.children) {
        if (child->name.compare(QLatin1String("Library"), Qt::CaseInsensitive) == 0
            && !child->record.domain.toQString().startsWith(QLatin1String("AppDomain-"))) {
            library = child;
            break;
        }
    }
    const _BackupFileNode *sms = nullptr;
    const _BackupFileNode *addressBook = nullptr;
    if (library) {
        for (const _BackupFileNode *child : library->children) {
            if (child->name.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0)
                sms = child;
            else if (child->name.compare(QLatin1String("AddressBook"), Qt::CaseInsensitive) == 0)
                addressBook = child;
            if (sms && addressBook)
                break;
        }
    }
    if (!sms) {
        form->postErrorOccurred(tr("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP"));
        return;
    }

    // The readers open these two folders by their exact names, and this file
    // system, unlike the phone's, tells case apart.
    const QString smsFolder = QStringLiteral("SMS");
    const QString addressBookFolder = QStringLiteral("AddressBook");
    const QString libraryPath = m_cacheDir.absoluteFilePath(QLatin1String(kLibraryInCache));
    QStringList copied{QDir(libraryPath).absoluteFilePath(smsFolder)};
    if (addressBook)
        copied << QDir(libraryPath).absoluteFilePath(addressBookFolder);
    try {
        if (!QDir().mkpath(libraryPath))
            throw std::runtime_error(tr("IDS_CANNOT_CREATE_FOLDER_%1").arg(libraryPath).toUtf8().toStdString());
        const ContainedPath contained(libraryPath);
        cacheNode(sms, QString(), contained, smsFolder);
        if (addressBook)
            cacheNode(addressBook, QString(), contained, addressBookFolder);
        form->postSucceed(QString());
    } catch (int) {
        // The dialog has ended: only the log can tell of what stayed.
        const QString stayed = discard(copied);
        if (!stayed.isEmpty())
            qWarning("%s", stayed.toUtf8().constData());
    } catch (const std::exception &e) {
        const QString stayed = discard(copied);
        form->postErrorOccurred(QString::fromUtf8(e.what()) + (stayed.isEmpty() ? QString() : QLatin1Char(' ') + stayed));
    }
}

void ITunesCacheSMSThread::cacheNode(const _BackupFileNode *node, const QString &target,
                                     const ContainedPath &contained, const QString &asName)
{
    form->postUpdateProgress(QString(), -1, tr("IDS_CACHING_BACKUP_FILE_%1").arg(node->name));
    if (form->failed)
        throw -1;

    if (isFolder(node)) {
        const QString name = asName.isEmpty() ? node->name : asName;
        if (isSpecialName(name))
            refuseName(node);
        const QString folder = joined(target, name);
        const QString path = contained.target(folder);
        if (path.isEmpty())
            refuseName(node);
        if (!QDir().mkpath(path))
            throw std::runtime_error(tr("IDS_CANNOT_CREATE_FOLDER_%1").arg(path).toUtf8().toStdString());
        for (const _BackupFileNode *child : node->children)
            cacheNode(child, folder, contained);
        return;
    }

    QString name = asName.isEmpty() ? node->name : asName;
    name = validFileName(name);
    if (isSpecialName(name))
        refuseName(node);
    const QString dest = contained.target(joined(target, name));
    if (dest.isEmpty())
        refuseName(node);

    const QString fileId = mbdb_record_file_id(node->record);
    const qint32 mtime = qint32(node->record.mtime);
    // A copy deleted from the cache is made again even when its date stayed.
    const std::optional<qint32> stored = cacheDb.lastDate(fileId);
    if (stored && *stored == mtime && QFileInfo::exists(dest))
        return;
    // A file the backup lists but does not hold is skipped, and no date is kept.
    if (!QFileInfo::exists(manifest->folder.absoluteFilePath(fileId)))
        return;
    manifest->extractFile(node, dest);
    cacheDb.setLastDate(fileId, mtime);
}

QString ITunesCacheSMSThread::discard(const QStringList &copied)
{
    // Closed before it goes, so that no date of a removed copy is committed
    // afterwards; the next run then copies everything again. Only what this
    // copy makes is removed: the cache folder may hold the store of recovered
    // messages and the contacts cache beside it.
    cacheDb.close();
    QFile::remove(cacheDb.path);
    QFile::remove(cacheDb.path + QStringLiteral("-journal"));
    QString left;
    for (const QString &path : copied) {
        const QFileInfo info(path);
        QString stayed;
        if (info.isDir() && !info.isSymLink()) {
            if (!removeDirRecursively(path, &stayed) && left.isEmpty())
                left = stayed;
        } else if ((info.exists() || info.isSymLink()) && !QFile::remove(path) && left.isEmpty()) {
            left = path;
        }
    }
    if (left.isEmpty())
        return QString();
    return QStringLiteral("The unfinished copy in the cache cannot be removed: %1 stays.").arg(left);
}
