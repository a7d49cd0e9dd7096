#pragma once
// The AFC operations: one request and one reply each (reading and writing a
// file repeat them chunk by chunk), on a service socket of the device layer
// (ios/mobiledevice.h). The packet layout is in afcpacketheader.h.
//
// A reply is read as: its 40 header bytes, then entire length - 40 payload
// bytes, the entire length taken from the low 32 bits of its field as a
// signed number (nothing when that is 40 or less). Magic, this length and
// packet number are not judged. Before a byte of payload is read, a payload
// over kAfcMaxPayload, or a data-carrying reply (2, 14, 19) longer than the
// caller can take, is refused: a peer's length is never trusted for an
// allocation or a copy.
//
// By operation: 2, 14 and 19 hand out the payload; 1 (status) carries the u64
// code in its first 8 bytes (a shorter status fails like a short payload);
// any other code fails. A field that lies partly past a shorter payload reads
// the missing bytes as 0.
//
// Every failure is a std::runtime_error with a UTF-8 text; every raw send and
// receive waits at most kAfcTimeoutMs. After a failure the socket is out of
// step with the device and only fit to be closed.
#include "devicelink/afcpacketheader.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

constexpr int kAfcTimeoutMs = 60000;
// No reply of a device comes near it: reads are asked in chunks of 64 KiB.
constexpr qint64 kAfcMaxPayload = 64 * 1024 * 1024;
constexpr quint64 kAfcReadChunk = 65536;
constexpr quint64 kAfcWriteChunk = 32768;

// Open modes and lock operations the device knows.
constexpr int kAfcModeReadOnly = 1;
constexpr int kAfcModeWriteTruncate = 3;

// Magic, the socket's packet number and the operation; both lengths are left
// for the caller.
void mobiledevice_afc_header_init(AfcPacketHeader &header, int socket, quint64 operation);
// The header, then the parameters (none when length is 0).
void mobiledevice_afc_send(int socket, const AfcPacketHeader &header, const char *parameters, int length);
// One reply's payload; header receives the reply's header. With status given,
// a status reply stores its code's low 32 bits there instead of failing.
// dataLimit, when not negative, is the longest data-carrying payload taken.
QByteArray mobiledevice_afc_recv(int socket, AfcPacketHeader &header, int *status = nullptr, qint64 dataLimit = -1);

// The handle; 0 when the reply carries none.
quint64 mobiledevice_afc_file_open(int socket, const QString &path, int mode);
void mobiledevice_afc_file_close(int socket, quint64 handle);
// Up to length bytes into buffer, in requests of at most kAfcReadChunk; stops
// early at a reply without data (the end of the file). Answers the count read.
unsigned mobiledevice_afc_file_read(int socket, quint64 handle, void *buffer, unsigned length);
// All of data, in packets of at most kAfcWriteChunk data bytes, each answered
// before the next; a chunk the socket took in part is completed first.
unsigned mobiledevice_afc_file_write(int socket, quint64 handle, const char *data, unsigned length);
// The device's status code, never thrown; 0 when the reply is not a status.
int mobiledevice_afc_file_lock(int socket, quint64 handle, int operation);
void mobiledevice_afc_remove_path(int socket, const QString &path);
void mobiledevice_afc_make_directory(int socket, const QString &path);
void mobiledevice_afc_rename_path(int socket, const QString &from, const QString &to);
// The names in the device's order, "." and ".." included; none when the
// device answers with a bare success status.
QStringList mobiledevice_afc_read_directory(int socket, const QString &path);
// Key and value strings; none when the device answers with a bare success
// status.
QMap<QString, QString> mobiledevice_afc_get_file_info(int socket, const QString &path);

// The payload parsers, on bytes. Names: the UTF-8 text before each NUL, an
// empty one included; bytes after the last NUL are dropped. File
// information: those strings read as key, value, key, value...; an empty
// string where a key belongs is skipped, a key without a value at the end is
// dropped, a repeated key keeps its last value.
QStringList mobiledevice_afc_parse_names(const QByteArray &payload);
QMap<QString, QString> mobiledevice_afc_parse_file_info(const QByteArray &payload);
