#include "devicelink/afcpacketheader.h"

#include <cstring>

namespace {

void putU64(char *out, quint64 value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = char(value >> (8 * i));
}

quint64 takeU64(const QByteArray &bytes, int offset)
{
    quint64 value = 0;
    for (int i = 0; i < 8; ++i) {
        const int at = offset + i;
        const quint64 byte = at < bytes.size() ? quint8(bytes[at]) : 0;
        value |= byte << (8 * i);
    }
    return value;
}

} // namespace

const AfcStatus kAllAfcStatuses[28] = {
    AfcStatus::Success,          AfcStatus::UnknownError,      AfcStatus::OpHeaderInvalid,
    AfcStatus::NoResources,      AfcStatus::ReadError,         AfcStatus::WriteError,
    AfcStatus::UnknownPacketType, AfcStatus::InvalidArgument,  AfcStatus::ObjectNotFound,
    AfcStatus::ObjectIsDir,      AfcStatus::PermissionDenied,  AfcStatus::ServiceNotConnected,
    AfcStatus::OpTimeout,        AfcStatus::TooMuchData,       AfcStatus::EndOfData,
    AfcStatus::OpNotSupported,   AfcStatus::ObjectExists,      AfcStatus::ObjectBusy,
    AfcStatus::NoSpaceLeft,      AfcStatus::OpWouldBlock,      AfcStatus::IoError,
    AfcStatus::OpInterrupted,    AfcStatus::OpInProgress,      AfcStatus::InternalError,
    AfcStatus::MuxError,         AfcStatus::NoMemory,          AfcStatus::NotEnoughData,
    AfcStatus::DirNotEmpty,
};

QByteArray AfcPacketHeader::toBytes() const
{
    QByteArray bytes(kSize, '\0');
    std::memcpy(bytes.data(), magic, 8);
    putU64(bytes.data() + 8, entireLength);
    putU64(bytes.data() + 16, thisLength);
    putU64(bytes.data() + 24, packetNumber);
    putU64(bytes.data() + 32, operation);
    return bytes;
}

AfcPacketHeader AfcPacketHeader::fromBytes(const QByteArray &bytes)
{
    AfcPacketHeader header;
    for (int i = 0; i < 8; ++i)
        header.magic[i] = i < bytes.size() ? bytes[i] : '\0';
    header.entireLength = takeU64(bytes, 8);
    header.thisLength = takeU64(bytes, 16);
    header.packetNumber = takeU64(bytes, 24);
    header.operation = takeU64(bytes, 32);
    return header;
}

quint64 AfcPacketHeader::packetNumberFor(int socket)
{
    if (socket == 0)
        return 0xFFFFFFFFull;
    return quint64(qint64(socket));
}

QString toText(AfcStatus status)
{
    switch (status) {
    case AfcStatus::Success:
        return QStringLiteral("success");
    case AfcStatus::UnknownError:
        return QStringLiteral("unknown error");
    case AfcStatus::OpHeaderInvalid:
        return QStringLiteral("invalid packet header");
    case AfcStatus::NoResources:
        return QStringLiteral("no resources");
    case AfcStatus::ReadError:
        return QStringLiteral("read error");
    case AfcStatus::WriteError:
        return QStringLiteral("write error");
    case AfcStatus::UnknownPacketType:
        return QStringLiteral("unknown packet type");
    case AfcStatus::InvalidArgument:
        return QStringLiteral("invalid argument");
    case AfcStatus::ObjectNotFound:
        return QStringLiteral("object not found");
    case AfcStatus::ObjectIsDir:
        return QStringLiteral("object is a directory");
    case AfcStatus::PermissionDenied:
        return QStringLiteral("permission denied");
    case AfcStatus::ServiceNotConnected:
        return QStringLiteral("service not connected");
    case AfcStatus::OpTimeout:
        return QStringLiteral("operation timed out");
    case AfcStatus::TooMuchData:
        return QStringLiteral("too much data");
    case AfcStatus::EndOfData:
        return QStringLiteral("end of data");
    case AfcStatus::OpNotSupported:
        return QStringLiteral("operation not supported");
    case AfcStatus::ObjectExists:
        return QStringLiteral("object exists");
    case AfcStatus::ObjectBusy:
        return QStringLiteral("object busy");
    case AfcStatus::NoSpaceLeft:
        return QStringLiteral("no space left");
    case AfcStatus::OpWouldBlock:
        return QStringLiteral("operation would block");
    case AfcStatus::IoError:
        return QStringLiteral("input/output error");
    case AfcStatus::OpInterrupted:
        return QStringLiteral("operation interrupted");
    case AfcStatus::OpInProgress:
        return QStringLiteral("operation in progress");
    case AfcStatus::InternalError:
        return QStringLiteral("internal error");
    case AfcStatus::MuxError:
        return QStringLiteral("connection error");
    case AfcStatus::NoMemory:
        return QStringLiteral("out of memory");
    case AfcStatus::NotEnoughData:
        return QStringLiteral("not enough data");
    case AfcStatus::DirNotEmpty:
        return QStringLiteral("directory not empty");
    }
    return QStringLiteral("unknown status %1").arg(quint32(status));
}
