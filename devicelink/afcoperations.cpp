#include "devicelink/afcoperations.h"

#include "app/failure.h"
#include "ios/mobiledevice.h"

#include <QDebug>

#include <cstring>
#include <stdexcept>

namespace {

void putU64(QByteArray &out, quint64 value)
{
    for (int i = 0; i < 8; ++i)
        out.append(char(value >> (8 * i)));
}

// The u64 at the start of payload, missing bytes read as 0.
quint64 firstU64(const QByteArray &payload)
{
    quint64 value = 0;
    for (int i = 0; i < 8 && i < payload.size(); ++i)
        value |= quint64(quint8(payload[i])) << (8 * i);
    return value;
}

QByteArray pathBytes(const QString &path)
{
    QByteArray bytes = path.toUtf8();
    bytes.append('\0');
    return bytes;
}

bool carriesData(quint64 operation)
{
    return operation == AFC_OP_DATA || operation == AFC_OP_FILE_OPEN_RES || operation == AFC_OP_FILE_TELL_RES;
}

// One request whose parameters are all counted in this length, and its reply.
QByteArray exchange(int socket, quint64 operation, const QByteArray &parameters, AfcPacketHeader *reply = nullptr,
                    int *status = nullptr)
{
    AfcPacketHeader header;
    mobiledevice_afc_header_init(header, socket, operation);
    header.entireLength = header.thisLength = quint64(AfcPacketHeader::kSize + parameters.size());
    mobiledevice_afc_send(socket, header, parameters.constData(), int(parameters.size()));
    AfcPacketHeader answered;
    const QByteArray payload = mobiledevice_afc_recv(socket, answered, status);
    if (reply)
        *reply = answered;
    return payload;
}

QByteArray u64Parameters(quint64 first, quint64 second)
{
    QByteArray parameters;
    putU64(parameters, first);
    putU64(parameters, second);
    return parameters;
}

} // namespace

void mobiledevice_afc_header_init(AfcPacketHeader &header, int socket, quint64 operation)
{
    std::memcpy(header.magic, "CFA6LPAA", 8);
    header.packetNumber = AfcPacketHeader::packetNumberFor(socket);
    header.operation = operation;
}

void mobiledevice_afc_send(int socket, const AfcPacketHeader &header, const char *parameters, int length)
{
    const QByteArray bytes = header.toBytes();
    if (mobiledevice_send(socket, bytes.constData(), AfcPacketHeader::kSize, kAfcTimeoutMs) != AfcPacketHeader::kSize)
        throwError(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
    if (length > 0 && mobiledevice_send(socket, parameters, length, kAfcTimeoutMs) != length)
        throwError(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
}

QByteArray mobiledevice_afc_recv(int socket, AfcPacketHeader &header, int *status, qint64 dataLimit)
{
    QByteArray bytes(AfcPacketHeader::kSize, Qt::Uninitialized);
    if (mobiledevice_recv(socket, bytes.data(), AfcPacketHeader::kSize, kAfcTimeoutMs) < AfcPacketHeader::kSize)
        throwError(QStringLiteral("read AFC header failed."));
    header = AfcPacketHeader::fromBytes(bytes);

    const qint64 length = qint64(qint32(quint32(header.entireLength & 0xFFFFFFFFu))) - AfcPacketHeader::kSize;
    // Judged before anything is allocated or read: the length is the peer's word.
    if (length > kAfcMaxPayload || (dataLimit >= 0 && carriesData(header.operation) && length > dataLimit))
        throwError(QStringLiteral("read AFC file block data failed."));
    // Read as it comes, never allocated ahead at the size the peer claims.
    QByteArray payload;
    if (length > 0) {
        payload = mobiledevice_recv_bytes(socket, int(length), kAfcTimeoutMs);
        if (payload.size() < length)
            throwError(QStringLiteral("read AFC file block data failed."));
    }

    if (carriesData(header.operation))
        return payload;
    if (header.operation == AFC_OP_STATUS) {
        if (payload.size() < 8)
            throwError(QStringLiteral("read AFC file block data failed."));
        const quint64 code = firstU64(payload);
        if (status) {
            *status = int(quint32(code & 0xFFFFFFFFu));
            return payload;
        }
        if (code != 0) {
            qDebug("AFC status %llu: %s", static_cast<unsigned long long>(code),
                   qPrintable(toText(AfcStatus(quint32(code)))));
            throwError(QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(code));
        }
        return payload;
    }
    throwError(QStringLiteral("read AFC failed, Unknown operation code received %1, param1=%2.")
                   .arg(header.operation)
                   .arg(firstU64(payload)));
}

quint64 mobiledevice_afc_file_open(int socket, const QString &path, int mode)
{
    QByteArray parameters;
    putU64(parameters, quint64(quint32(mode)));
    parameters += pathBytes(path);
    return firstU64(exchange(socket, AFC_OP_FILE_OPEN, parameters));
}

void mobiledevice_afc_file_close(int socket, quint64 handle)
{
    QByteArray parameters;
    putU64(parameters, handle);
    exchange(socket, AFC_OP_FILE_CLOSE, parameters);
}

unsigned mobiledevice_afc_file_read(int socket, quint64 handle, void *buffer, unsigned length)
{
    unsigned done = 0;
    while (done < length) {
        const quint64 count = qMin<quint64>(length - done, kAfcReadChunk);
        AfcPacketHeader header;
        mobiledevice_afc_header_init(header, socket, AFC_OP_FILE_READ);
        header.entireLength = header.thisLength = AfcPacketHeader::kSize + 16;
        const QByteArray parameters = u64Parameters(handle, count);
        mobiledevice_afc_send(socket, header, parameters.constData(), int(parameters.size()));
        AfcPacketHeader reply;
        const QByteArray payload = mobiledevice_afc_recv(socket, reply, nullptr, qint64(count));
        // A success status carries a code, not file data: like an empty
        // payload, it ends the read.
        if (reply.operation == AFC_OP_STATUS || payload.isEmpty())
            break;
        const auto n = unsigned(qMin<quint64>(quint64(payload.size()), count));
        std::memcpy(static_cast<char *>(buffer) + done, payload.constData(), n);
        done += n;
    }
    return done;
}

unsigned mobiledevice_afc_file_write(int socket, quint64 handle, const char *data, unsigned length)
{
    unsigned written = 0;
    while (written < length) {
        const auto chunk = unsigned(qMin<quint64>(length - written, kAfcWriteChunk));
        AfcPacketHeader header;
        mobiledevice_afc_header_init(header, socket, AFC_OP_FILE_WRITE);
        header.entireLength = AfcPacketHeader::kSize + 8 + chunk;
        header.thisLength = AfcPacketHeader::kSize + 8;
        QByteArray parameters;
        putU64(parameters, handle);
        mobiledevice_afc_send(socket, header, parameters.constData(), int(parameters.size()));
        // The header announced the whole chunk, and the device waits for all
        // of it before it answers.
        unsigned sent = 0;
        while (sent < chunk) {
            const int n = mobiledevice_send(socket, data + written + sent, int(chunk - sent), kAfcTimeoutMs);
            if (n <= 0)
                throwError(QStringLiteral("write AFC file error."));
            sent += unsigned(n);
        }
        AfcPacketHeader reply;
        mobiledevice_afc_recv(socket, reply);
        written += chunk;
    }
    return written;
}

int mobiledevice_afc_file_lock(int socket, quint64 handle, int operation)
{
    int status = 0;
    AfcPacketHeader reply;
    exchange(socket, AFC_OP_FILE_LOCK, u64Parameters(handle, quint64(quint32(operation))), &reply, &status);
    return reply.operation == AFC_OP_STATUS ? status : 0;
}

void mobiledevice_afc_remove_path(int socket, const QString &path)
{
    exchange(socket, AFC_OP_REMOVE_PATH, pathBytes(path));
}

void mobiledevice_afc_make_directory(int socket, const QString &path)
{
    exchange(socket, AFC_OP_MAKE_DIR, pathBytes(path));
}

void mobiledevice_afc_rename_path(int socket, const QString &from, const QString &to)
{
    exchange(socket, AFC_OP_RENAME_PATH, pathBytes(from) + pathBytes(to));
}

QStringList mobiledevice_afc_read_directory(int socket, const QString &path)
{
    AfcPacketHeader reply;
    const QByteArray payload = exchange(socket, AFC_OP_READ_DIR, pathBytes(path), &reply);
    // A success status carries a code, not names.
    return reply.operation == AFC_OP_STATUS ? QStringList() : mobiledevice_afc_parse_names(payload);
}

QMap<QString, QString> mobiledevice_afc_get_file_info(int socket, const QString &path)
{
    AfcPacketHeader reply;
    const QByteArray payload = exchange(socket, AFC_OP_GET_FILE_INFO, pathBytes(path), &reply);
    return reply.operation == AFC_OP_STATUS ? QMap<QString, QString>() : mobiledevice_afc_parse_file_info(payload);
}

QStringList mobiledevice_afc_parse_names(const QByteArray &payload)
{
    QStringList names;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = payload.indexOf('\0', start);
        if (end < 0)
            break;
        names.append(QString::fromUtf8(payload.constData() + start, end - start));
        start = end + 1;
    }
    return names;
}

QMap<QString, QString> mobiledevice_afc_parse_file_info(const QByteArray &payload)
{
    QMap<QString, QString> info;
    QString key;
    for (const QString &text : mobiledevice_afc_parse_names(payload)) {
        if (key.isEmpty()) {
            key = text;
        } else {
            info.insert(key, text);
            key.clear();
        }
    }
    return info;
}
