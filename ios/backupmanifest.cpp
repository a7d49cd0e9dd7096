#include "ios/backupmanifest.h"

#include "app/datafolder.h"
#include "app/failure.h"
#include "app/regularfile.h"
#include "ios/backupcrypto.h"
#include "ios/backupswapjournal.h"
#include "ios/manifestdbfilelist.h"
#include "ios/mbdbfilelist.h"
#include "platform/plist/plistnode.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr qint64 kBlockBytes = 8192;

// The device's own error text when it has one, else fallback.
QString errorText(const QIODevice &device, const QString &fallback)
{
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    return file && file->error() != QFileDevice::NoError ? file->errorString() : fallback;
}

// Up to max bytes, fewer only at the end of the device. Empty with atEnd
// false means the device stopped giving bytes before its end.
QByteArray readBlock(QIODevice &source, qint64 max, const QString &fileId)
{
    QByteArray block(qsizetype(max), Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < max && !source.atEnd()) {
        const qint64 got = source.read(block.data() + filled, max - filled);
        if (got < 0)
            throwError(source.errorString());
        if (got == 0) {
            // Without this the copy would ask again for ever.
            throwError(errorText(source, QStringLiteral("%1: the backed-up file gave no more bytes before its end.")
                                             .arg(fileId)));
        }
        filled += got;
    }
    block.truncate(qsizetype(filled));
    return block;
}

void writeAll(QIODevice &dest, const char *data, qint64 length)
{
    if (length > 0 && dest.write(data, length) != length)
        throwError(dest.errorString());
}

} // namespace

BackupManifest::BackupManifest(const QString &folderPath, QObject *parent)
    : QObject(parent), folder(folderPath)
{
}

BackupManifest::~BackupManifest() = default;

QDir BackupManifest::defaultBackupRoot()
{
    const QDir dataHome(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    return QDir(dataHome.absoluteFilePath(QStringLiteral("Apple Computer/MobileSync/Backup")));
}

QString BackupManifest::cacheId() const
{
    return md5Hex(QDir::cleanPath(folder.absolutePath()));
}

bool BackupManifest::isNewerLayout() const
{
    return QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.db")));
}

std::unique_ptr<BackupFileList> BackupManifest::fileList() const
{
    if (!isNewerLayout())
        return std::make_unique<MbdbFileList>(folder);
    // The plain copy of an encrypted list goes where the backup's cached
    // files go, never into the backup.
    const QString scratch = appDataDir().absoluteFilePath(QStringLiteral("itunes_cache/") + cacheId());
    return std::make_unique<ManifestDbFileList>(folder, &keyBag, info.isEncrypted ? info.manifestKey : QByteArray(),
                                                scratch);
}

QString BackupManifest::fileIdOf(const _BackupFileNode *node)
{
    return node->fileId.isEmpty() ? mbdb_record_file_id(node->record) : node->fileId;
}

QString BackupManifest::dataFilePath(const _BackupFileNode *node) const
{
    const QString id = fileIdOf(node);
    if (!isNewerLayout())
        return folder.absoluteFilePath(id);
    return folder.absoluteFilePath(id.left(2) + QLatin1Char('/') + id);
}

void BackupManifest::loadManifestPlist()
{
    const QString path = folder.absoluteFilePath(QStringLiteral("Manifest.plist"));
    if (!QFileInfo::exists(path))
        throwError(QStringLiteral("Cannot find ") + path);
    // Apple's tool writes Status.plist last; a newer backup without it was
    // never finished (or was trimmed), and its file list cannot be trusted.
    const QString status = folder.absoluteFilePath(QStringLiteral("Status.plist"));
    if (isNewerLayout() && !QFileInfo::exists(status))
        throwError(QStringLiteral("Cannot find ") + status);
    // Only a regular file: a FIFO would hold the window up for ever.
    QFile file;
    RegularFile::open(file, path);
    // Read in steps: one read of the whole limit would ask for its size in
    // memory whatever the file's size.
    QByteArray bytes;
    while (!file.atEnd() && bytes.size() <= kMaxManifestPlistBytes) {
        const QByteArray step = file.read(64 * 1024);
        if (step.isEmpty())
            break;
        bytes += step;
    }
    if (file.error() != QFileDevice::NoError)
        throwError(file.errorString());
    // An oversized file counts as one that does not parse.
    const PlistNode top = bytes.size() > kMaxManifestPlistBytes ? PlistNode() : PlistNode::parse(bytes);
    const PlistNode lockdown = top.value(QStringLiteral("Lockdown"));

    info.udid = lockdown.value(QStringLiteral("UniqueDeviceID")).toString();
    info.deviceName = lockdown.value(QStringLiteral("DeviceName")).toString();
    info.date = top.value(QStringLiteral("Date")).toDateTime();
    info.productType = lockdown.value(QStringLiteral("ProductType")).toString();
    info.productVersion = lockdown.value(QStringLiteral("ProductVersion")).toString();
    info.serialNumber = lockdown.value(QStringLiteral("SerialNumber")).toString();
    info.isEncrypted = top.value(QStringLiteral("IsEncrypted")).toBool();
    info.backupKeyBag = top.value(QStringLiteral("BackupKeyBag")).toByteArray();
    info.manifestKey = top.value(QStringLiteral("ManifestKey")).toByteArray();

    // Apple names a backup folder after the udid, sometimes with a date stamp
    // after it. An empty udid is found in every name, and replacing it would
    // put the device name between every two characters.
    const QString name = folder.dirName();
    if (!info.udid.isEmpty() && name.contains(info.udid))
        displayName = QString(name).replace(info.udid, info.deviceName);
    else
        displayName = info.deviceName + QLatin1Char('-') + name;
}

bool BackupManifest::unlock(const QString &password)
{
    return unlock(password, KeybagProgress()) == KeybagUnlock::Unlocked;
}

KeybagUnlock BackupManifest::unlock(const QString &password, const KeybagProgress &progress)
{
    keyBag = keybag_parse(info.backupKeyBag);
    KeybagUnlock result = keybag_unlock_stages(keyBag, password.toUtf8(), progress);
    if (result == KeybagUnlock::Unlocked) {
        // keybag_unlock answers true for any password when no class is
        // wrapped under it; such a keybag opens no file.
        bool opened = false;
        for (const QMap<QString, QByteArray> &entry : std::as_const(keyBag.classKeys))
            opened = opened || entry.contains(QStringLiteral("KEY"));
        if (!opened)
            result = KeybagUnlock::WrongPassword;
    }
    if (result != KeybagUnlock::Unlocked)
        keyBag = _BackupKeyBag(); // no key of a failed attempt stays usable
    return result;
}

void BackupManifest::loadMbdb()
{
    if (!root.children.isEmpty())
        return;
    // A swap of the message database and the file list that a killed run
    // left unfinished is settled first, so the tree shows a matching pair.
    BackupSwapJournal::recover(folder);
    // Each record goes straight into the node that may hold it.
    std::vector<std::unique_ptr<_BackupFileNode>> nodes;
    fileList()->readEach(
        [&](const QString &fileId, _MbdbRecord &&record) {
            auto node = std::make_unique<_BackupFileNode>();
            node->record = std::move(record);
            node->fileId = fileId;
            nodes.push_back(std::move(node));
        },
        [&](qint64 count) { nodes.reserve(size_t(count)); });
    root.buildTreeFromNodes(std::move(nodes));
}

void BackupManifest::extractFile(const _BackupFileNode *node, const QString &destPath) const
{
    const _MbdbRecord &record = node->record;
    const QString fileId = fileIdOf(node);
    // Only a regular file: a FIFO would block the copy beyond cancel, a link
    // to a device would give endless or no bytes.
    QFile source;
    RegularFile::open(source, dataFilePath(node));
    // Plain content is as long as its record says; encrypted content is
    // padded to whole blocks, 1 to 16 bytes past it.
    const qint64 stored = source.size();
    const bool lengthFits = info.isEncrypted && stored > 0
                                ? stored > record.fileLength && stored <= record.fileLength + 16
                                : stored == record.fileLength;
    if (!lengthFits)
        throwError(QStringLiteral("%1: the backup's file holds %2 bytes, but its record says %3 bytes. The backup is "
                                  "incomplete or damaged.")
                       .arg(fileId)
                       .arg(stored)
                       .arg(record.fileLength));

    aes_context ctx;
    bool decrypt = false;
    if (info.isEncrypted && source.size() > 0) {
        // The first four bytes of the stored key are not part of the wrapped key.
        const QByteArray fileKey =
            keybag_file_key(keyBag, record.protectionClass, record.encryptionKey.bytes.mid(4));
        // Copying the ciphertext under the plain name instead would leave an
        // unreadable file that the cache then takes for a good copy.
        if (fileKey.isEmpty() || !aes256_set_decrypt_key(ctx, fileKey))
            throwError(QStringLiteral("%1: no key opens this file of the encrypted backup "
                                      "(its protection class is locked or its key is damaged).")
                           .arg(fileId));
        decrypt = true;
    }

    QFile dest(destPath);
    // Unbuffered: every write reports its own failure, a full disk by name.
    if (!dest.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        throwError(dest.errorString());
    copyData(source, dest, decrypt ? &ctx : nullptr, record.fileLength, fileId);
    if (!dest.flush())
        throwError(dest.errorString());
    // The file may have changed while it was read.
    if (dest.size() != record.fileLength)
        throwError(QStringLiteral("%1: the copy holds %2 bytes, but the record says %3 bytes. The backup is incomplete "
                                  "or damaged.")
                       .arg(fileId)
                       .arg(dest.size())
                       .arg(record.fileLength));
    const QDateTime modified = QDateTime::fromSecsSinceEpoch(qint64(record.mtime), Qt::UTC);
    // The times are a courtesy to the user's file manager; the cache keeps
    // its own record of them.
    dest.setFileTime(modified, QFileDevice::FileAccessTime);
    dest.setFileTime(modified, QFileDevice::FileModificationTime);
    dest.close();
}

void BackupManifest::copyData(QIODevice &source, QIODevice &dest, aes_context *ctx, qint64 fileLength,
                              const QString &fileId)
{
    unsigned char iv[16];
    std::memset(iv, 0, sizeof iv);
    qint64 total = 0;
    while (!source.atEnd()) {
        const QByteArray block = readBlock(source, kBlockBytes, fileId);
        if (block.isEmpty())
            break;
        total += block.size();
        // A source that grows without end (a file still being written) stops
        // here instead of filling the disk.
        if (total > fileLength + 16 + kBlockBytes)
            throwError(QStringLiteral("%1: the backed-up file holds more bytes than its record says (%2).")
                           .arg(fileId)
                           .arg(fileLength));
        if (!ctx) {
            writeAll(dest, block.constData(), block.size());
            continue;
        }
        const QByteArray plain = aes_cbc_decrypt(*ctx, iv, block.constData(), int(block.size()));
        if (plain.isNull())
            throwError(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.").arg(fileId));
        // The content was padded to whole blocks before encryption: the last
        // block runs 1 to 16 bytes past the recorded length.
        const qint64 over = total - fileLength;
        const qint64 keep = (over >= 1 && over <= 16) ? qMax<qint64>(0, plain.size() - over) : plain.size();
        writeAll(dest, plain.constData(), keep);
    }
}
