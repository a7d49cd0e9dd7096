#include "ios/iosloadfilerelaythread.h"

#include "app/failure.h"
#include "app/progressform.h"
#include "ios/filerelay.h"
#include "ios/filerelayarchive.h"
#include "ios/iosdevice.h"
#include "ios/mobiledevice.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <exception>
#include <stdexcept>

namespace {

// The one transfer buffer of a run, for the stream and the unpacking alike.
const int kChunk = 0x80000;
std::atomic<int> s_receiveWaitMs{60000};

} // namespace

IOSLoadFileRelayThread::IOSLoadFileRelayThread(IOSDevice *device, ProgressForm *form, QObject *parent)
    : QThread(parent), device(device), form(form)
{
}

IOSLoadFileRelayThread::~IOSLoadFileRelayThread() = default;

int IOSLoadFileRelayThread::receiveWaitMs()
{
    return s_receiveWaitMs.load();
}

void IOSLoadFileRelayThread::setReceiveWaitMs(int ms)
{
    s_receiveWaitMs.store(ms);
}

void IOSLoadFileRelayThread::run()
{
    form->postUpdateProgress(QCoreApplication::translate("IOSLoadFileRelayThread", "IDS_LOADING_IOS_DATABASES"), 0,
                             QString());
    // -1, not 0, marks no socket: 0 is a descriptor like any other.
    int socket = -1;
    const QDir cacheDir = device->cacheDir();
    try {
        mobiledevice_file_relay_start(device->amDevice, &socket);
        mobiledevice_file_relay_request(socket, {QStringLiteral("UserDatabases")});

        if (!cacheDir.exists())
            QDir().mkpath(cacheDir.absolutePath());
        const QString archivePath = cacheDir.absoluteFilePath(QStringLiteral("file-relay.cpio"));
        QFile archive(archivePath);
        if (!archive.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throwError(QStringLiteral("create %1 failed. %2").arg(archivePath, archive.errorString()));

        QByteArray buffer(kChunk, Qt::Uninitialized);
        qint64 received = 0;
        for (;;) {
            // Less than a byte: the phone closed, or paused longer than the
            // wait; either ends the stream.
            const int got = mobiledevice_recv(socket, buffer.data(), kChunk, receiveWaitMs());
            if (got < 1)
                break;
            if (form->failed)
                throw -1;
            received += got;
            form->postUpdateProgress(QString(), 99, QStringLiteral("Received:%L1KB").arg(received / 1024));
            if (archive.write(buffer.constData(), got) != got)
                throwError(QStringLiteral("write %1 failed. %2").arg(archivePath, archive.errorString()));
        }
        // Buffered bytes that cannot reach the disk fail here, not silently
        // in close.
        if (!archive.flush())
            throwError(QStringLiteral("write %1 failed. %2").arg(archivePath, archive.errorString()));
        archive.close();
        mobiledevice_closesocket(socket);
        socket = -1;

        const ContainedPath folder = FileRelayArchive::extractionFolder(cacheDir);
        QDir().mkpath(folder.root());
        FileRelayArchive unpacker(folder);
        unpacker.entryStarted = [this](const QString &name) {
            if (form->failed)
                throw -1;
            form->postUpdateProgress(QStringLiteral("Extracting %1").arg(name), -1, QString());
        };
        unpacker.chunkStarted = [this](qint64 written, qint64 size) {
            if (form->failed)
                throw -1;
            form->postUpdateProgress(QString(), -1,
                                     QStringLiteral("Extracted: %L1KB / %L2KB").arg(written / 1024).arg(size / 1024));
        };
        unpacker.unpackFile(archivePath, buffer);
        QFile::remove(archivePath);
        form->postSucceed(QString());
    } catch (int) {
        // Cancelled: the dialog has closed already and shows nothing more.
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        form->postErrorOccurred(QString::fromUtf8(e.what()));
    }
    if (socket != -1)
        mobiledevice_closesocket(socket);
}
