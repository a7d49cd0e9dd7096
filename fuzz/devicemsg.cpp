// The messages a device sends on a service socket: the bytes arrive on one
// end of a socket pair and are read frame by frame with mobiledevice_recmsg,
// which parses each through the CoreFoundation library the program loaded
// (here the stand-in built with the program). Every value parsed is walked
// and released again; a value the library still holds after an input is a
// leak, reported as a fault.
#include "fuzz/devicestandins.h"
#include "fuzz/fuzzenv.h"

#include <QByteArray>

#include <stdexcept>
#include <vector>

namespace {

// Enough for every kind of value of a small message; bounds the walk over a
// binary list whose shared objects the parser copies for every reference.
constexpr int kMaxVisits = 4096;
// A conversation of a few messages: the frames after the first.
constexpr int kMaxFrames = 8;
// Per wait for more of a body: the peer ends its stream once the input is
// sent, so only a peer still filling the socket makes the reader wait at all.
constexpr int kBodyWaitMs = 2000;

// Keys of the answers the program looks up.
const char *const kKeys[] = {"", "MessageName", "Status", "Error", "Value", "Key", "Domain", "Request"};

const char *const kTarget = "devicemsg";
CFType *g_request = nullptr;
qint64 g_liveAtStart = 0;

void walk(const CFType &value, int &visits, quint64 &sum)
{
    if (++visits > kMaxVisits)
        return;
    sum += quint64(value.typeId());
    sum += value.isNumber() + value.isBoolean() + value.isString() + value.isData();
    sum += quint64(value.toInt32()) + quint64(value.toInt64()) + quint64(value.toDouble() != 0) + value.toBool();
    sum += quint64(value.stringLength()) + quint64(value.toQString().size());
    sum += quint64(value.dataLength()) + quint64(value.toByteArray().size());
    if (value.isArray()) {
        auto count = CFType::resolve<decltype(&CFArrayGetCount)>("CFArrayGetCount");
        const int size = count ? int(count(value.ref())) : 0;
        for (int i = 0; i < size && visits <= kMaxVisits; ++i)
            walk(value.at(i), visits, sum);
        sum += value.at(-1).isEmpty() + value.at(size).isEmpty();
    } else if (value.isDictionary()) {
        for (const char *key : kKeys)
            walk(value.value(QString::fromLatin1(key)), visits, sum);
        auto count = CFType::resolve<decltype(&CFDictionaryGetCount)>("CFDictionaryGetCount");
        auto entries = CFType::resolve<decltype(&CFDictionaryGetKeysAndValues)>("CFDictionaryGetKeysAndValues");
        const CFIndex size = count ? count(value.ref()) : 0;
        if (size <= 0 || !entries)
            return;
        std::vector<const void *> keys(static_cast<size_t>(size));
        std::vector<const void *> values(static_cast<size_t>(size));
        entries(value.ref(), keys.data(), values.data());
        for (CFIndex i = 0; i < size && visits <= kMaxVisits; ++i) {
            const CFType key(keys[size_t(i)], false);
            walk(key, visits, sum);
            walk(value.valueForCFKey(key), visits, sum);
            walk(CFType(values[size_t(i)], false), visits, sum);
        }
    }
}

// Reads frames until one fails; answers how many parsed.
quint64 readFrames(int socket)
{
    quint64 sum = 0;
    for (int frame = 0; frame < kMaxFrames; ++frame) {
        CFType message;
        try {
            message = mobiledevice_recmsg(socket, frame == 0 ? CFType() : *g_request, kBodyWaitMs);
        } catch (const std::runtime_error &e) {
            sum += quint64(std::char_traits<char>::length(e.what()));
            break;
        }
        int visits = 0;
        walk(message, visits, sum);
        // What the program does with a message it keeps or quotes: its own
        // copy, and its XML text.
        const CFType copy = CFType::deepCopy(message);
        walk(copy, visits, sum);
        sum += quint64(message.toPropertyListData(kCFPropertyListXMLFormat_v1_0).size());
        sum += quint64(message.toPropertyListData(kCFPropertyListBinaryFormat_v1_0).size());
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    // The request the second and later frames answer, quoted in their errors.
    static CFType request = CFType::newDictionary();
    request.setValue(CFType::fromString(QStringLiteral("Request")), CFType::fromString(QStringLiteral("GetValue")));
    request.setValue(CFType::fromString(QStringLiteral("Key")), CFType::fromString(QStringLiteral("ProductVersion")));
    g_request = &request;
    g_liveAtStart = devicestandins::load(kTarget, kBodyWaitMs);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quint64 sum = 0;
    {
        fuzzenv::Peer device(data, size);
        sum = readFrames(device.socket());
    }
    devicestandins::checkNothingLeft(kTarget, g_liveAtStart);
    fuzzenv::keep(sum);
    return 0;
}
