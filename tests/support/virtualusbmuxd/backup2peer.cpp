#include "backup2peer.h"

#include "platform/mobiledevice/backup2emulator.h"
#include "platform/mobiledevice/devicelinkpeer.h"
#include "platform/mobiledevice/servicesetup.h"
#include "tests/support/virtualphonebackup.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>

#include <exception>

namespace {

constexpr qint64 kChunk = 64 * 1024;
constexpr char kFileData = 0x0C;
constexpr char kSuccess = 0x00;
constexpr char kLocalError = 0x06;
constexpr char kRemoteError = 0x0B;
constexpr uint32_t kMaxPath = 4096;
constexpr int kUploadBatch = 4;
constexpr int kDownloadBatch = 16;
// The codes a phone ends a backup or restore with.
constexpr int64_t kComputerFailed = 104;
constexpr int64_t kNoSpace = 105;
constexpr int64_t kBadBackup = 205;
// What a phone keeps free beyond the restored files.
constexpr quint64 kRestoreReserve = quint64(1) << 30;

// The phone's backup domain says its backups are encrypted.
bool willEncrypt(const QString &phoneFolder)
{
    QFile file(phoneFolder + "/device.plist");
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    plist_t device = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &device);
    const PlistOwned owned(device);
    plist_t domain = plistwire::valueOf(plistwire::valueOf(device, "Domains"), "com.apple.mobile.backup");
    plist_t value = plistwire::valueOf(domain, "WillEncrypt");
    uint8_t on = 0;
    if (value && plist_get_node_type(value) == PLIST_BOOLEAN)
        plist_get_bool_val(value, &on);
    return on != 0;
}

class Session
{
public:
    Session(ServiceChannel &channel, const std::string &phoneFolder, plist_t setup)
        : peer(channel, phoneFolder, Backup2Peer::kService, setup), channel(channel),
          folder(QString::fromStdString(phoneFolder)), setup(setup)
    {
        unplugAfter = int(plistwire::integerOf(plistwire::valueOf(setup, "UnplugAfterFiles"), 0));
    }

    DeviceLinkPeer peer;

    // Each false when the computer left or broke the protocol: the service ends.
    bool backup(plist_t request);
    bool restore(plist_t request);

private:
    struct Upload
    {
        QString backupPath; // relative to the computer's backup root
        QString localFile;
    };

    bool status(int64_t *code, PlistOwned *value);
    bool ask(plist_t message, PlistOwned *value = nullptr);
    bool finish(int64_t code, const QString &description);
    bool word(uint32_t value);
    bool name(const QByteArray &text);
    bool readWord(uint32_t *value);
    bool upload(const QList<Upload> &files, quint64 total);
    bool download(const QString &source, QStringList files, const QString &into);
    void unplug();

    ServiceChannel &channel;
    const QString folder;
    plist_t setup;
    int unplugAfter = 0;
    int sentFiles = 0;
    quint64 sentBytes = 0;
    bool failed = false; // the computer answered a step with an error
};

bool Session::status(int64_t *code, PlistOwned *value)
{
    PlistOwned message;
    if (!peer.receive(&message) || DeviceLinkPeer::nameOf(message.get()) != "DLMessageStatusResponse")
        return false;
    *code = plistwire::integerOf(plistwire::itemAt(message.get(), 1), -1);
    if (value)
        value->reset(plistwire::copy(plistwire::itemAt(message.get(), 3)));
    return true;
}

// Sends message and reads its status response; failed is set when the
// computer answered with an error.
bool Session::ask(plist_t message, PlistOwned *value)
{
    if (!peer.send(message))
        return false;
    int64_t code = 0;
    if (!status(&code, value))
        return false;
    failed = failed || code != 0;
    return true;
}

bool Session::finish(int64_t code, const QString &description)
{
    plist_t result = plistwire::dictionary({{"ErrorCode", plistwire::integer(code)}});
    if (code != 0)
        plist_dict_set_item(result, "ErrorDescription", plistwire::text(description.toStdString()));
    return peer.send(plistwire::array({plistwire::text("DLMessageProcessMessage"), result}));
}

bool Session::word(uint32_t value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return channel.write(bytes, 4);
}

bool Session::name(const QByteArray &text)
{
    return word(uint32_t(text.size())) && channel.write(text.constData(), size_t(text.size()));
}

bool Session::readWord(uint32_t *value)
{
    unsigned char bytes[4];
    if (!channel.read(reinterpret_cast<char *>(bytes), 4))
        return false;
    *value = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    return true;
}

// The phone leaves as a pulled cable takes it: its device.plist goes, the
// muxer shuts its connections, and this service waits for its end.
void Session::unplug()
{
    QFile::remove(folder + "/device.plist");
    char byte;
    while (channel.read(&byte, 1)) {
    }
}

bool Session::upload(const QList<Upload> &files, quint64 total)
{
    const double progress = total ? 100.0 * double(sentBytes) / double(total) : 0;
    if (!peer.send(plistwire::array({plistwire::text("DLMessageUploadFiles"), plist_new_dict(),
                                     plistwire::real(progress), plistwire::integer(int64_t(total))})))
        return false;
    for (const Upload &file : files) {
        QFile in(file.localFile);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        if (!name(file.backupPath.section('/', 1).toUtf8()) || !name(file.backupPath.toUtf8()))
            return false;
        for (;;) {
            const QByteArray chunk = in.read(kChunk);
            if (chunk.isEmpty())
                break;
            if (!word(uint32_t(chunk.size()) + 1) || !channel.write(&kFileData, 1)
                || !channel.write(chunk.constData(), size_t(chunk.size())))
                return false;
            sentBytes += quint64(chunk.size());
        }
        if (!word(1) || !channel.write(&kSuccess, 1))
            return false;
        if (unplugAfter > 0 && ++sentFiles == unplugAfter) {
            unplug();
            return false;
        }
    }
    int64_t code = 0;
    if (!word(0) || !status(&code, nullptr))
        return false;
    failed = failed || code != 0;
    return true;
}

bool Session::backup(plist_t request)
{
    const testsupport::VirtualPhoneInfo phone = testsupport::readVirtualPhone(folder);
    QString target = QString::fromStdString(plistwire::textOf(plistwire::valueOf(request, "TargetIdentifier")));
    if (target.isEmpty())
        target = phone.udid;
    QTemporaryDir snapshot;
    QByteArray password;
    if (willEncrypt(folder)) {
        password = QByteArray::fromStdString(plistwire::textOf(plistwire::valueOf(setup, "Password")));
        if (password.isEmpty())
            return finish(kBadBackup, "The phone encrypts its backups but knows no password.");
    }
    try {
        if (!snapshot.isValid())
            throw std::runtime_error("no room for the snapshot");
        testsupport::writeVirtualPhoneBackup(phone, snapshot.path(), password);
    } catch (const std::exception &e) {
        return finish(kBadBackup, QString::fromUtf8(e.what()));
    }
    const QStringList manifestNames{"Manifest.db", "Manifest.mbdb", "Manifest.plist"};
    QStringList data, manifests;
    quint64 total = 0;
    QDirIterator it(snapshot.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(snapshot.path()).relativeFilePath(it.next());
        total += quint64(it.fileInfo().size());
        if (manifestNames.contains(relative))
            manifests << relative;
        else if (relative != "Status.plist")
            data << relative;
    }
    data.sort();

    PlistOwned value;
    if (!ask(plistwire::array({plistwire::text("DLMessageGetFreeDiskSpace")}), &value))
        return false;
    const quint64 room = quint64(plistwire::integerOf(value.get(), 0));
    if (failed || room < total)
        return finish(kNoSpace,
                      QStringLiteral("Not enough free disk space on the computer (%1 < %2)").arg(room).arg(total));

    // What an earlier backup left: files the new one does not hold go.
    PlistOwned listing;
    if (!ask(plistwire::array({plistwire::text("DLContentsOfDirectory"), plistwire::text(target.toStdString())}),
             &listing))
        return false;
    QStringList stale;
    if (plistwire::isDictionary(listing.get())) {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(listing.get(), &iter);
        for (;;) {
            char *key = nullptr;
            plist_t entry = nullptr;
            plist_dict_next_item(listing.get(), iter, &key, &entry);
            if (!key)
                break;
            const QString entryName = QString::fromUtf8(key);
            free(key);
            if (plistwire::textOf(plistwire::valueOf(entry, "DLFileType")) == "DLFileTypeRegular"
                && entryName != "Info.plist" && entryName != "Status.plist" && !data.contains(entryName)
                && !manifests.contains(entryName))
                stale << target + "/" + entryName;
        }
        free(iter);
    }

    QStringList folders{target + "/Snapshot"};
    for (const QString &file : data) {
        if (file.contains('/') && !folders.contains(target + "/" + file.section('/', 0, 0)))
            folders << target + "/" + file.section('/', 0, 0);
    }
    for (const QString &dir : folders) {
        if (!ask(plistwire::array({plistwire::text("DLMessageCreateDirectory"), plistwire::text(dir.toStdString())})))
            return false;
    }
    if (failed)
        return finish(kComputerFailed, "The computer could not make the backup's folders.");

    for (int i = 0; i < data.size(); i += kUploadBatch) {
        QList<Upload> batch;
        for (const QString &file : data.mid(i, kUploadBatch))
            batch.append({target + "/" + file, snapshot.filePath(file)});
        if (!upload(batch, total))
            return false;
    }
    QList<Upload> manifestBatch;
    plist_t moves = plist_new_dict();
    for (const QString &file : manifests) {
        manifestBatch.append({target + "/Snapshot/" + file, snapshot.filePath(file)});
        plist_dict_set_item(moves, (target + "/Snapshot/" + file).toUtf8().constData(),
                            plistwire::text((target + "/" + file).toStdString()));
    }
    if (!upload(manifestBatch, total)) {
        plist_free(moves);
        return false;
    }
    if (!ask(plistwire::array({plistwire::text("DLMessageMoveItems"), moves, plist_new_dict(),
                               plistwire::real(99.0)})))
        return false;
    plist_t removals = plistwire::array({plistwire::text((target + "/Snapshot").toStdString())});
    for (const QString &file : stale)
        plist_array_append_item(removals, plistwire::text(file.toStdString()));
    if (!ask(plistwire::array({plistwire::text("DLMessageRemoveItems"), removals, plist_new_dict(),
                               plistwire::real(99.0)})))
        return false;
    if (failed)
        return finish(kComputerFailed, "The computer could not store the backup.");
    // Last: only a backup that arrived whole says it finished.
    if (!upload({{target + "/Status.plist", snapshot.filePath("Status.plist")}}, total))
        return false;
    if (failed)
        return finish(kComputerFailed, "The computer could not store the backup.");
    return finish(0, QString());
}

bool Session::download(const QString &source, QStringList files, const QString &into)
{
    while (!files.isEmpty()) {
        const QStringList batch = files.mid(0, kDownloadBatch);
        plist_t paths = plist_new_array();
        for (const QString &file : batch)
            plist_array_append_item(paths, plistwire::text((source + "/" + file).toStdString()));
        if (!peer.send(plistwire::array({plistwire::text("DLMessageDownloadFiles"), paths, plist_new_dict(),
                                         plistwire::real(50.0)})))
            return false;
        QSet<QString> done;
        for (;;) {
            uint32_t length = 0;
            if (!readWord(&length))
                return false;
            if (length == 0)
                break;
            if (length > kMaxPath)
                return false;
            QByteArray path(int(length), '\0');
            if (!channel.read(path.data(), length))
                return false;
            const QString asked = QString::fromUtf8(path);
            if (!asked.startsWith(source + "/") || !batch.contains(asked.mid(source.size() + 1)))
                return false;
            const QString relative = asked.mid(source.size() + 1);
            const QString local = into + "/" + relative;
            QDir().mkpath(QFileInfo(local).absolutePath());
            QFile out(local);
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return false;
            for (;;) {
                uint32_t size = 0;
                char code = 0;
                if (!readWord(&size) || size == 0 || size > ServiceChannel::kMaxFrame || !channel.read(&code, 1))
                    return false;
                QByteArray payload(int(size - 1), '\0');
                if (size > 1 && !channel.read(payload.data(), size - 1))
                    return false;
                if (code == kFileData) {
                    if (out.write(payload) != payload.size())
                        return false;
                    continue;
                }
                if (code == kLocalError || code == kRemoteError)
                    out.remove();
                else if (code != kSuccess)
                    return false;
                break;
            }
            done.insert(relative);
        }
        int64_t code = 0;
        if (!status(&code, nullptr))
            return false;
        // The computer stops a list at a file it cannot send: the rest is
        // asked for again.
        QStringList rest;
        for (const QString &file : files) {
            if (!done.contains(file))
                rest << file;
        }
        if (rest.size() == files.size())
            return false;
        files = rest;
    }
    return true;
}

bool Session::restore(plist_t request)
{
    const testsupport::VirtualPhoneInfo phone = testsupport::readVirtualPhone(folder);
    QString source = QString::fromStdString(plistwire::textOf(plistwire::valueOf(request, "SourceIdentifier")));
    if (source.isEmpty())
        source = QString::fromStdString(plistwire::textOf(plistwire::valueOf(request, "TargetIdentifier")));
    if (source.isEmpty())
        source = phone.udid;
    QTemporaryDir into;
    if (!into.isValid())
        return finish(kBadBackup, "no room for the restored files");
    PlistOwned listing;
    if (!ask(plistwire::array({plistwire::text("DLContentsOfDirectory"), plistwire::text(source.toStdString())}),
             &listing))
        return false;
    QStringList manifests;
    for (const char *file : {"Manifest.plist", "Status.plist", "Manifest.db", "Manifest.mbdb"}) {
        if (plistwire::valueOf(listing.get(), file))
            manifests << QString::fromLatin1(file);
    }
    if (!download(source, manifests, into.path()))
        return false;
    try {
        const QStringList files = testsupport::virtualPhoneRestoreFiles(into.path());
        if (!download(source, files, into.path()))
            return false;
        quint64 needed = kRestoreReserve;
        for (const QString &file : files)
            needed += quint64(QFileInfo(into.filePath(file)).size());
        if (phone.amountDataAvailable < needed)
            return finish(kNoSpace, QStringLiteral("Insufficient free disk space on device to restore (%1 < %2)")
                                        .arg(phone.amountDataAvailable)
                                        .arg(needed));
        testsupport::restoreVirtualPhoneBackup(phone, into.path());
    } catch (const std::exception &e) {
        return finish(kBadBackup, QString::fromUtf8(e.what()));
    }
    return finish(0, QString());
}

} // namespace

void Backup2Peer::serve(int socket, const std::string &phoneFolder)
{
    ServiceChannel channel(socket);
    const PlistOwned setup = ServiceSetup::read(phoneFolder, kService);
    Session session(channel, phoneFolder, setup.get());
    if (!session.peer.handshake())
        return;
    plist_t scripted = plistwire::valueOf(setup.get(), "ErrorCodes");
    for (;;) {
        PlistOwned message;
        if (!session.peer.receive(&message))
            return;
        const std::string name = DeviceLinkPeer::nameOf(message.get());
        if (name == "DLMessageDisconnect")
            return;
        if (name != "DLMessageProcessMessage")
            continue;
        plist_t request = plistwire::itemAt(message.get(), 1);
        const std::string requestName = plistwire::textOf(plistwire::valueOf(request, "MessageName"));
        const bool answered = plistwire::valueOf(scripted, requestName.c_str()) != nullptr;
        if (requestName == "Backup" && !answered) {
            if (!session.backup(request))
                return;
            continue;
        }
        if (requestName == "Restore" && !answered) {
            if (!session.restore(request))
                return;
            continue;
        }
        if (!session.peer.send(Backup2Emulator::response(request, setup.get())))
            return;
    }
}
