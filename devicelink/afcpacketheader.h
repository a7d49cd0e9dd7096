#pragma once
// The packet header of AFC, the file service an iPhone speaks on a
// "com.apple.afc" socket (and on a "com.apple.mobile.house_arrest" socket once
// an app's container has been vended). 40 bytes, every field little-endian:
//
//   offset  size  field           holds
//   0       8     magic           the ASCII bytes "CFA6LPAA"
//   8       8     entire length   40 + parameter bytes + data bytes
//   16      8     this length     40 + parameter bytes (data that follows the
//                                 parameters is not counted)
//   24      8     packet number   the socket's number sign-extended from 32 bits;
//                                 socket 0 goes as 0x00000000FFFFFFFF. The same in
//                                 every packet of a connection
//   32      8     operation       an AFC_OP_* code
//
// Parameters follow the header: numbers as u64 little-endian (a 32-bit
// argument fills the low half), paths as UTF-8 ended by one NUL. A reply's
// payload is everything after its 40 header bytes.
//
// Worked example: a close of handle 7 on socket 12 is the 48 bytes
//   43 46 41 36 4C 50 41 41  30 00 00 00 00 00 00 00  30 00 00 00 00 00 00 00
//   0C 00 00 00 00 00 00 00  14 00 00 00 00 00 00 00  07 00 00 00 00 00 00 00
#include <QByteArray>
#include <QString>
#include <QtGlobal>

struct AfcPacketHeader
{
    static constexpr int kSize = 40;

    char magic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
    quint64 entireLength = 0;
    quint64 thisLength = 0;
    quint64 packetNumber = 0;
    quint64 operation = 0;

    // The 40 bytes as they go on the wire.
    QByteArray toBytes() const;
    // The header in the first 40 bytes of bytes (missing bytes read as 0).
    // Nothing is checked: the caller judges the fields.
    static AfcPacketHeader fromBytes(const QByteArray &bytes);
    // The packet number a connection on socket uses.
    static quint64 packetNumberFor(int socket);
};

// Operation codes the client sends or accepts.
constexpr quint64 AFC_OP_STATUS = 1;
constexpr quint64 AFC_OP_DATA = 2;
constexpr quint64 AFC_OP_READ_DIR = 3;
constexpr quint64 AFC_OP_REMOVE_PATH = 8;
constexpr quint64 AFC_OP_MAKE_DIR = 9;
constexpr quint64 AFC_OP_GET_FILE_INFO = 10;
constexpr quint64 AFC_OP_FILE_OPEN = 13;
constexpr quint64 AFC_OP_FILE_OPEN_RES = 14;
constexpr quint64 AFC_OP_FILE_READ = 15;
constexpr quint64 AFC_OP_FILE_WRITE = 16;
constexpr quint64 AFC_OP_FILE_TELL_RES = 19;
constexpr quint64 AFC_OP_FILE_CLOSE = 20;
constexpr quint64 AFC_OP_RENAME_PATH = 24;
constexpr quint64 AFC_OP_FILE_LOCK = 27;

// The status codes a device answers in an AFC_OP_STATUS packet.
enum class AfcStatus : quint32 {
    Success = 0,
    UnknownError = 1,
    OpHeaderInvalid = 2,
    NoResources = 3,
    ReadError = 4,
    WriteError = 5,
    UnknownPacketType = 6,
    InvalidArgument = 7,
    ObjectNotFound = 8,
    ObjectIsDir = 9,
    PermissionDenied = 10,
    ServiceNotConnected = 11,
    OpTimeout = 12,
    TooMuchData = 13,
    EndOfData = 14,
    OpNotSupported = 15,
    ObjectExists = 16,
    ObjectBusy = 17,
    NoSpaceLeft = 18,
    OpWouldBlock = 19,
    IoError = 20,
    OpInterrupted = 21,
    OpInProgress = 22,
    InternalError = 23,
    MuxError = 30,
    NoMemory = 31,
    NotEnoughData = 32,
    DirNotEmpty = 33,
};
// Every status above, for tables.
extern const AfcStatus kAllAfcStatuses[28];
// What the status means, e.g. "object not found"; "unknown status <n>" for a
// code outside the list.
QString toText(AfcStatus status);
