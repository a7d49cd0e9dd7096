#include "ios/backupmanifest.h"

#include "app/datafolder.h"
#include "ios/backupcrypto.h"
#include "platform/plist/plistnode.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstring>
#include <stdexcept>

namespace {

constexpr qint64 kBlockBytes = 8192;
// A Manifest.plist holds a few kilobytes of values and a keybag; older ones
// list the installed apps too. Anything near this size is not a manifest, and
// reading it whole (a link to an endless device, say) would never end.
constexpr qint64 kMaxManifestPlistBytes = 64LL * 1024 * 1024;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

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
            fail(source.errorString());
        if (got == 0) {
            // Without this the copy would ask again for ever.
            fail(errorText(source, QStringLiteral("%1: the backed-up file gave no more bytes before its end.")
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
        fail(dest.errorString());
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

void BackupManifest::refuseNewerLayout() const
{
    // The newer layout has no Manifest.mbdb and keeps its files in
    // sub-folders, so reading on would find nothing and report it as success.
    if (QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.db"))))
        fail(QStringLiteral("%1 is a backup of iOS 10 or later (its file list is Manifest.db). "
                            "Only backups with Manifest.mbdb, made by iOS 9 and earlier, can be read.")
                 .arg(QDir::toNativeSeparators(folder.absolutePath())));
}

void BackupManifest::loadManifestPlist()
{
    const QString path = folder.absoluteFilePath(QStringLiteral("Manifest.plist"));
    if (!QFileInfo::exists(path))
        fail(QStringLiteral("Cannot find ") + path);
    refuseNewerLayout();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(file.errorString());
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
        fail(file.errorString());
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
    refuseNewerLayout();
    const QString path = folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"));
    if (!QFileInfo::exists(path))
        fail(QStringLiteral("Cannot find ") + path);
    root.buildTree(mbdb_read(path));
}

void BackupManifest::extractFile(const _BackupFileNode *node, const QString &destPath) const
{
    const _MbdbRecord &record = node->record;
    const QString fileId = mbdb_record_file_id(record);
    QFile source(folder.absoluteFilePath(fileId));
    if (!source.open(QIODevice::ReadOnly))
        fail(source.errorString());

    aes_context ctx;
    bool decrypt = false;
    if (info.isEncrypted && source.size() > 0) {
        // The first four bytes of the stored key are not part of the wrapped key.
        const QByteArray fileKey =
            keybag_file_key(keyBag, record.protectionClass, record.encryptionKey.bytes.mid(4));
        // Copying the ciphertext under the plain name instead would leave an
        // unreadable file that the cache then takes for a good copy.
        if (fileKey.isEmpty() || !aes256_set_decrypt_key(ctx, fileKey))
            fail(QStringLiteral("%1: no key opens this file of the encrypted backup "
                                "(its protection class is locked or its key is damaged).")
                     .arg(fileId));
        decrypt = true;
    }

    QFile dest(destPath);
    if (!dest.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(dest.errorString());
    copyData(source, dest, decrypt ? &ctx : nullptr, record.fileLength, fileId);
    if (!dest.flush())
        fail(dest.errorString());
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
        if (!ctx) {
            writeAll(dest, block.constData(), block.size());
            continue;
        }
        const QByteArray plain = aes_cbc_decrypt(*ctx, iv, block.constData(), int(block.size()));
        if (plain.isNull())
            fail(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.").arg(fileId));
        // The content was padded to whole blocks before encryption: the last
        // block runs 1 to 16 bytes past the recorded length.
        const qint64 over = total - fileLength;
        const qint64 keep = (over >= 1 && over <= 16) ? qMax<qint64>(0, plain.size() - over) : plain.size();
        writeAll(dest, plain.constData(), keep);
    }
}
