// What an Android phone sends: the companion app's line protocol and the text
// adb prints about it.
//
// The input is the app's side of one connection, read from a buffer through
// the protocol's readers the way the services use them: command lines, a
// "$hello:" whose payload fills a device record (then asked for its cache
// folder name, which must stay one plain folder name), "$ready:" expected,
// and raw data after a "$data:<count>" line. The buffer is read-only, so the
// "$error:" a LocalException sends back fails as on a closed socket. The same
// bytes, as adb's output (Latin-1), go through the adb client's parsers.
#include "android/adbclient.h"
#include "android/androiddevice.h"
#include "android/simpleprotocol.h"
#include "fuzz/fuzzenv.h"

#include <QBuffer>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A session of the app: more lines reach nothing new.
constexpr int kMaxLines = 64;
// Raw data the target asks for at once; the protocol takes any length.
constexpr qint64 kMaxData = 1 << 16;

[[noreturn]] void fault(const char *what, const QString &value)
{
    std::fprintf(stderr, "androidline: %s: %s\n", what, qPrintable(value));
    std::abort();
}

quint64 session(const QByteArray &bytes)
{
    using namespace simpleprotocol;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    AndroidDevice device;
    device.serial = QStringLiteral("emulator-5554");
    quint64 sum = 0;
    std::vector<char> data;
    try {
        for (int i = 0; i < kMaxLines; ++i) {
            // Every fourth line is one the caller waits for by its token.
            const QString line = i % 4 == 3 ? expectCommand(&buffer, QStringLiteral("$ready:"), 0)
                                            : readCommand(&buffer, 0);
            sum += quint64(line.size());
            if (line.startsWith(QLatin1String("$hello:"))) {
                device.parseHello(line.mid(7));
                const QString folder = device.cacheFolderName();
                // An imei as it is, or a digest: never "..", "/" or empty.
                static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9-]{1,64}$"));
                if (!plain.match(folder).hasMatch())
                    fault("cache folder name", folder);
                sum += quint64(device.displayName().size()) + quint64(device.version) + quint64(device.sdkId);
            } else if (line.startsWith(QLatin1String("$data:"))) {
                const qint64 count = qBound<qint64>(0, line.mid(6).toLongLong(), kMaxData);
                data.resize(size_t(count) + 1);
                readData(&buffer, data.data(), count, 0);
                sum += quint64(count);
            } else if (i % 4 != 3) {
                sum += quint64(readLine(&buffer, 0).size());
            }
        }
    } catch (const SocketDataTransferException &e) {
        sum += quint64(std::char_traits<char>::length(e.what()));
    } catch (const RemoteException &e) {
        sum += quint64(std::char_traits<char>::length(e.what()));
    } catch (const LocalException &e) {
        sum += quint64(std::char_traits<char>::length(e.what()));
    }
    return sum;
}

quint64 adbOutput(const QByteArray &bytes)
{
    const QString output = QString::fromLatin1(bytes);
    quint64 sum = 0;
    static const QRegularExpression word(QStringLiteral("^[a-zA-Z0-9_-]+$"));
    for (const AdbDevice &device : AdbClient::parseDevices(output)) {
        // The serial goes to adb as "-s <serial>": one word, never an option.
        if (!word.match(device.serial).hasMatch() || !word.match(device.state).hasMatch())
            fault("device list entry", device.line);
        sum += quint64(device.line.size()) + device.isReady() + device.isOfflineOrUnauthorized();
    }
    for (const QString &package : AdbClient::parsePackages(output))
        sum += quint64(package.size());
    sum += AdbClient::hasSuccessLine(output) + AdbClient::hasErrorLine(output);
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    fuzzenv::keep(session(bytes) + adbOutput(bytes));
    return 0;
}
