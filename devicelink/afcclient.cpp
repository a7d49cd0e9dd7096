#include "devicelink/afcclient.h"

#include "devicelink/afcoperations.h"
#include "devicelink/housearrest.h"
#include "ios/mobiledevice.h"

#include <QDir>

#include <exception>

namespace {

const char *const kAfcService = "com.apple.afc";
const char *const kHouseArrestService = "com.apple.mobile.house_arrest";

template <typename Call>
bool succeeds(Call call)
{
    try {
        call();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace

AfcClient::AfcClient(void *device) : device(device)
{
}

AfcClient::~AfcClient()
{
    close();
}

void AfcClient::open(const QString &appIdentifier)
{
    // A connection opened before is not left behind.
    close();
    if (appIdentifier.isEmpty()) {
        mobiledevice_start_service(device, kAfcService, &socket);
        return;
    }
    mobiledevice_start_service(device, kHouseArrestService, &socket);
    mobiledevice_house_arrest_vend_container(socket, appIdentifier);
}

void AfcClient::close()
{
    if (socket != 0) {
        mobiledevice_closesocket(socket);
        socket = 0;
    }
}

bool AfcClient::makeDirectory(const QString &path)
{
    return succeeds([&] { mobiledevice_afc_make_directory(socket, path); });
}

bool AfcClient::removePath(const QString &path)
{
    return succeeds([&] { mobiledevice_afc_remove_path(socket, path); });
}

bool AfcClient::renamePath(const QString &from, const QString &to)
{
    return succeeds([&] { mobiledevice_afc_rename_path(socket, from, to); });
}

bool AfcClient::openFile(const QString &path, int mode, AfcFile &file)
{
    // A file still open would lose its handle on the device.
    if (file.isOpen())
        return false;
    quint64 handle = 0;
    if (!succeeds([&] { handle = mobiledevice_afc_file_open(socket, path, mode); }) || handle == 0)
        return false;
    file.socket = socket;
    file.handle = handle;
    return true;
}

bool AfcClient::openForRead(const QString &path, AfcFile &file)
{
    return openFile(path, kAfcModeReadOnly, file);
}

bool AfcClient::openForWrite(const QString &path, AfcFile &file)
{
    return openFile(path, kAfcModeWriteTruncate, file);
}

AfcFileInfo AfcClient::fileInfo(const QString &path)
{
    try {
        const QMap<QString, QString> map = mobiledevice_afc_get_file_info(socket, path);
        AfcFileInfo info(path);
        info.type = map.value(QStringLiteral("st_ifmt"));
        bool ok = false;
        const qint64 size = map.value(QStringLiteral("st_size")).toLongLong(&ok);
        info.size = ok ? size : 0;
        const auto mtime = map.constFind(QStringLiteral("st_mtime"));
        if (mtime != map.constEnd()) {
            // Nanoseconds since 1970 UTC; integer division truncates toward
            // zero, as the milliseconds should.
            const qint64 nanoseconds = mtime->toLongLong(&ok);
            if (ok)
                info.modified = QDateTime::fromMSecsSinceEpoch(nanoseconds / 1000000);
        }
        return info;
    } catch (const std::exception &) {
        return AfcFileInfo();
    }
}

QList<AfcFileInfo> AfcClient::entryInfoList(const QString &directory)
{
    QStringList names;
    if (!succeeds([&] { names = mobiledevice_afc_read_directory(socket, directory); }))
        return {};
    QList<AfcFileInfo> entries;
    for (const QString &name : names) {
        // An empty name would stand for the directory itself.
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const AfcFileInfo info = fileInfo(childPath(directory, name));
        if (info.isFile() || info.isDir())
            entries.append(info);
    }
    return entries;
}

QString AfcClient::childPath(const QString &directory, const QString &name)
{
    return QDir::cleanPath(directory + QLatin1Char('/') + name);
}
