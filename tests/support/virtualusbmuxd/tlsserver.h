#pragma once
// The TLS side of the virtual phone (OpenSSL). A phone's certificate is never
// checked by libimobiledevice, so any self-signed one serves. Below iOS 10
// libimobiledevice caps itself at TLS 1.0 with OpenSSL's security level 0,
// so the server accepts every version from TLS 1.0 up, at security level 0
// (set on the context and in the cipher string), whatever the system's
// OpenSSL configuration asks for.
#include <openssl/ssl.h>

#include <string>

class TlsServer
{
public:
    static TlsServer &instance();

    // The server end of a TLS handshake on fd, or nullptr when it failed.
    SSL *accept(int fd);
    // A new RSA key's public half as PEM ("RSA PUBLIC KEY", PKCS#1), as a
    // phone's DevicePublicKey: libimobiledevice signs the pairing
    // certificates for it.
    static std::string newDevicePublicKey();

private:
    TlsServer();
    SSL_CTX *context = nullptr;
};
