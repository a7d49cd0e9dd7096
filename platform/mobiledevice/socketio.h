#pragma once
// Whole reads and writes on a blocking service socket, retried when a signal
// interrupts them. Writes never raise SIGPIPE: a caller that closed its end
// only ends the write.
#include <cstddef>

namespace socketio {

// false when the peer closed (or the phone left) before length bytes came.
bool recvAll(int socket, char *buffer, size_t length);
// The bytes that went out before the peer went away: length when all did.
size_t sendAll(int socket, const char *buffer, size_t length);

} // namespace socketio
