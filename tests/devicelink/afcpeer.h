#pragma once
// AFC packets as a scripted device reads and writes them in the packet
// tests: built here byte by byte, independently of the client's own code.
#include "tests/support/socketpeer.h"

#include <QByteArray>
#include <QtGlobal>

namespace afcpeer {

inline QByteArray u64(quint64 value)
{
    QByteArray out;
    for (int i = 0; i < 8; ++i)
        out.append(char(value >> (8 * i)));
    return out;
}

inline quint64 u64At(const QByteArray &bytes, int offset)
{
    quint64 value = 0;
    for (int i = 0; i < 8 && offset + i < bytes.size(); ++i)
        value |= quint64(quint8(bytes[offset + i])) << (8 * i);
    return value;
}

inline QByteArray header(quint64 entire, quint64 thisLength, quint64 packetNumber, quint64 operation,
                         const QByteArray &magic = "CFA6LPAA")
{
    return magic + u64(entire) + u64(thisLength) + u64(packetNumber) + u64(operation);
}

// A reply as a device sends it: the lengths count the payload.
inline QByteArray reply(quint64 operation, const QByteArray &payload, quint64 packetNumber = 0)
{
    const quint64 entire = 40 + quint64(payload.size());
    return header(entire, entire, packetNumber, operation) + payload;
}

inline QByteArray status(quint64 code)
{
    return reply(1, u64(code));
}

struct Request
{
    QByteArray raw;        // every byte of the packet
    quint64 operation = 0;
    quint64 entire = 0;
    quint64 thisLength = 0;
    quint64 packetNumber = 0;
    QByteArray parameters;
    QByteArray data;
    bool complete = false;
};

// One request packet, read by its own lengths (capped for the tests' sake).
inline Request readRequest(testsupport::PeerSocket &peer, int timeoutMs = 10000)
{
    Request request;
    request.raw = peer.read(40, timeoutMs);
    if (request.raw.size() < 40)
        return request;
    request.entire = u64At(request.raw, 8);
    request.thisLength = u64At(request.raw, 16);
    request.packetNumber = u64At(request.raw, 24);
    request.operation = u64At(request.raw, 32);
    if (request.entire < 40 || request.thisLength < 40 || request.entire > (1u << 24))
        return request;
    const QByteArray rest = peer.read(int(request.entire - 40), timeoutMs);
    request.raw += rest;
    request.parameters = rest.left(int(request.thisLength - 40));
    request.data = rest.mid(int(request.thisLength - 40));
    request.complete = rest.size() == int(request.entire - 40);
    return request;
}

} // namespace afcpeer
