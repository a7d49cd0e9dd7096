// AFC, an iPhone's file service: its packet header and the payload parsers on
// the raw bytes, then the bytes as a device's replies on a socket pair, read
// by an AFC client the way the media and app-container copies use it: a
// directory listing and the file information of every entry in it, one
// file's information, and a file opened, read and locked. A reply's lengths
// are the device's word: nothing the client allocates or copies may follow
// them past what it asked for.
#include "devicelink/afcclient.h"
#include "devicelink/afcfile.h"
#include "devicelink/afcoperations.h"
#include "devicelink/afcpacketheader.h"
#include "fuzz/fuzzenv.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

namespace {

// A read as the copies ask for it: several chunks of the protocol.
constexpr int kReadLength = 3 * int(kAfcReadChunk) + 17;

[[noreturn]] void fault(const char *what)
{
    std::fprintf(stderr, "afc: %s\n", what);
    std::abort();
}

quint64 parsers(const QByteArray &bytes)
{
    const AfcPacketHeader header = AfcPacketHeader::fromBytes(bytes);
    QByteArray padded = bytes.left(AfcPacketHeader::kSize);
    padded.append(QByteArray(AfcPacketHeader::kSize - padded.size(), '\0'));
    if (header.toBytes() != padded)
        fault("the header does not write back as read");
    quint64 sum = header.entireLength + header.thisLength + header.packetNumber + header.operation;
    sum += quint64(toText(AfcStatus(quint32(header.operation))).size());

    const QStringList names = mobiledevice_afc_parse_names(bytes);
    if (names.size() != bytes.count('\0'))
        fault("a name for every NUL");
    for (const QString &name : names)
        sum += quint64(name.size());
    const QMap<QString, QString> info = mobiledevice_afc_parse_file_info(bytes);
    if (info.contains(QString()))
        fault("an empty key");
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        sum += quint64(it.key().size() + it.value().size());
    return sum;
}

quint64 info(const AfcFileInfo &entry)
{
    return quint64(entry.name.size()) + quint64(entry.size) + quint64(entry.type.size()) + entry.isValid()
           + entry.isFile() + entry.isDir() + quint64(entry.modified.isValid() ? entry.modified.toMSecsSinceEpoch() : 0);
}

quint64 client(const uint8_t *data, size_t size)
{
    fuzzenv::Peer device(data, size);
    quint64 sum = 0;
    {
        AfcClient afc(nullptr);
        afc.socket = device.socket();
        device.released();
        const QString folder = QStringLiteral("/var/mobile/Media/DCIM/100APPLE");
        for (const AfcFileInfo &entry : afc.entryInfoList(folder)) {
            if (!entry.isFile() && !entry.isDir())
                fault("an entry neither file nor folder");
            sum += info(entry);
        }
        sum += info(afc.fileInfo(folder + QStringLiteral("/IMG_0001.JPG")));
        AfcFile file;
        if (afc.openForRead(QStringLiteral("/Library/SMS/sms.db"), file)) {
            std::vector<char> buffer(size_t(kReadLength) + 1, '\x5a');
            const int n = file.read(buffer.data(), kReadLength);
            if (n > kReadLength || buffer[size_t(kReadLength)] != '\x5a')
                fault("read past the buffer");
            sum += quint64(n);
            try {
                sum += quint64(mobiledevice_afc_file_lock(afc.socket, file.handle, 2));
            } catch (const std::exception &e) {
                sum += quint64(std::char_traits<char>::length(e.what()));
            }
            file.close();
        }
        // The client closes the socket as it goes.
    }
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
    fuzzenv::keep(parsers(bytes) + client(data, size));
    return 0;
}
