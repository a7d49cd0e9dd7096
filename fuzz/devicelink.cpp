// The device-link services' receive side: the bytes arrive as a device's
// frames on a socket pair and are read by the program's clients, each over its
// own conversation, chosen by the input's first byte:
//   0  the device-link handshake, then device-link messages until one fails
//   1  mobilebackup2's handshake and "Hello", then its responses
//   2  mobilesync: handshake, every record of a data class, changes sent and
//      remapped, all records cleared, the session finished
//   3  a house-arrest container vended, then notifications relayed
// Requests the program sends meanwhile are read and dropped by the peer. As
// in devicemsg, the values come through the CoreFoundation stand-in, and one
// still alive after an input is reported as a leak.
#include "devicelink/devicelinkservice.h"
#include "devicelink/housearrest.h"
#include "devicelink/mobilebackup2.h"
#include "devicelink/mobilesync.h"
#include "devicelink/notificationproxy.h"
#include "fuzz/devicestandins.h"
#include "fuzz/fuzzenv.h"

#include <stdexcept>

namespace {

// A conversation of a few messages.
constexpr int kMaxMessages = 8;
// Per wait for more of a frame; the peer ends its stream, so none is long.
constexpr int kWaitMs = 2000;

const char *const kTarget = "devicelink";
qint64 g_liveAtStart = 0;

quint64 textOf(const CFType &value)
{
    return quint64(mobiledevice_message_text(value).size());
}

quint64 deviceLink(int socket)
{
    quint64 sum = 0;
    mobiledevice_link_sc_version_exchange(socket);
    for (int i = 0; i < kMaxMessages; ++i) {
        CFType message;
        QString name;
        if (i % 2 == 0) {
            mobiledevice_backup2_recv(socket, message, name);
        } else {
            CFType whole;
            const CFType parameter = mobiledevice_link_sc_recv_process_message(socket, CFType(), &whole);
            sum += textOf(parameter);
            message = whole;
        }
        sum += quint64(name.size()) + textOf(message);
    }
    return sum;
}

quint64 backup2(int socket)
{
    quint64 sum = 0;
    mobiledevice_link_sc_version_exchange(socket);
    const double versions[] = {2.0, 2.1};
    const double agreed = mobiledevice_backup2_version_exchange(socket, versions, 2);
    sum += quint64(agreed == agreed ? 1 : 2);
    for (int i = 0; i < kMaxMessages; ++i) {
        int errorCode = 0;
        CFType whole;
        const CFType response = mobiledevice_backup2_recv_response(socket, errorCode, CFType(), &whole);
        sum += quint64(errorCode) + textOf(response) + textOf(whole);
    }
    return sum;
}

quint64 sync(int socket)
{
    quint64 sum = 0;
    const QString dataClass = QStringLiteral("com.apple.Contacts");
    mobiledevice_link_sc_version_exchange(socket);
    for (const CFType &record : mobiledevice_sync_get_all_records(socket, dataClass))
        sum += textOf(record);
    CFType records = CFType::newDictionary();
    records.setValue(CFType::fromString(QStringLiteral("1")), CFType::newDictionary());
    sum += textOf(mobiledevice_sync_process_changes(socket, records, dataClass, CFType::newDictionary()));
    mobiledevice_sync_clear_all_records(socket, dataClass);
    mobiledevice_sync_finish(socket, dataClass);
    return sum;
}

quint64 containerAndNotifications(int socket)
{
    quint64 sum = 0;
    mobiledevice_house_arrest_vend_container(socket, QStringLiteral("com.example.chat"));
    for (int i = 0; i < kMaxMessages; ++i)
        sum += quint64(mobiledevice_notification_get_throw(socket).size());
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    g_liveAtStart = devicestandins::load(kTarget, kWaitMs);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    quint64 sum = 0;
    {
        fuzzenv::Peer device(data + 1, size - 1);
        try {
            switch (data[0] % 4) {
            case 0:
                sum = deviceLink(device.socket());
                break;
            case 1:
                sum = backup2(device.socket());
                break;
            case 2:
                sum = sync(device.socket());
                break;
            default:
                sum = containerAndNotifications(device.socket());
                break;
            }
        } catch (const std::runtime_error &e) {
            sum += quint64(std::char_traits<char>::length(e.what()));
        }
    }
    devicestandins::checkNothingLeft(kTarget, g_liveAtStart);
    fuzzenv::keep(sum);
    return 0;
}
