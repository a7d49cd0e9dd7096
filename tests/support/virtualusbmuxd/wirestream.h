#pragma once
// One connection of the virtual usbmuxd: its socket, with TLS on top once a
// lockdown session or a service asks for it. Reads wait without a limit (the
// peer closing, or the phone leaving, ends them).
#include <openssl/ssl.h>
#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <string>

class WireStream
{
public:
    explicit WireStream(int fd) : fd(fd) {}
    ~WireStream();
    WireStream(const WireStream &) = delete;
    WireStream &operator=(const WireStream &) = delete;

    const int fd;

    // Takes ssl; every later read and write goes through it.
    void useTls(SSL *ssl);
    bool hasTls() const { return ssl != nullptr; }
    // Ends TLS after the peer's close_notify; the socket goes on in plain.
    void dropTls();
    // Decrypted bytes waiting inside TLS, which poll cannot see.
    bool pending() const;

    bool read(char *buffer, size_t length);
    // Some bytes (at most length): 0 when the peer closed.
    size_t readSome(char *buffer, size_t length);
    bool write(const char *data, size_t length);

    // Lockdown's frame: a 4-byte big-endian length, then an XML or binary
    // property list. nullptr when none came whole or it did not parse.
    plist_t readPlist();
    bool writePlist(plist_t message);

private:
    SSL *ssl = nullptr;
};
