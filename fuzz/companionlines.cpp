// What the companion app says on a service connection: lines read as the
// Android threads read them, "$sms:" records turned into the records that go
// into a phone's cache, "$hello:" descriptions into the device record.
#include "android/androiddevice.h"
#include "android/androidloadsmsthread.h"
#include "android/simpleprotocol.h"
#include "fuzz/fuzzenv.h"
#include "store/countrylibdb.h"
#include "store/msgtext.h"

#include <QBuffer>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    _CountryInfo germany;
    germany.sn = QStringLiteral("DE");
    germany.pnum = QStringLiteral("49");
    germany.mmc = QStringLiteral("262");
    germany.numc = QStringLiteral("7,8,9,10,11,12");
    germany.mobilePattern = CountryLibDb::mobilePatternOf(QStringLiteral("1[5-7][0-9]{8,9}"));
    AndroidDevice device;
    quint64 sum = 0;
    try {
        for (;;) {
            const QString line = simpleprotocol::readCommand(&buffer, 0);
            if (line.startsWith(QLatin1String("$sms:"))) {
                _MsgHandle handle;
                _MsgChat chat;
                _MsgMessage message;
                if (AndroidLoadSMSThread::parseRecord(line.mid(5), germany, handle, chat, message))
                    sum += quint64(message.guid.size() + displayText(message).size() + chat.guid.size())
                           + quint64(message.date);
            } else if (line.startsWith(QLatin1String("$hello:"))) {
                device.parseHello(line.mid(7));
                sum += quint64(device.displayName().size() + device.cacheFolderName().size());
            } else if (line.startsWith(QLatin1String("$count:")) || line.startsWith(QLatin1String("$defsmsapp:"))) {
                sum += quint64(line.section(QLatin1Char(':'), 1).toInt());
            }
        }
    } catch (const std::exception &) {
        // Every input ends here: the buffer runs dry, or the app's line is refused.
    }
    fuzzenv::keep(sum);
    return 0;
}
