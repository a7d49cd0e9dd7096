#include "tlsserver.h"

#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

EVP_PKEY *newKey(unsigned int bits)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *key = nullptr;
    if (ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, int(bits)) > 0)
        EVP_PKEY_generate(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

} // namespace

TlsServer &TlsServer::instance()
{
    static TlsServer *server = new TlsServer;
    return *server;
}

TlsServer::TlsServer()
{
    context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
    SSL_CTX_set_cipher_list(context, "ALL:@SECLEVEL=0");
    EVP_PKEY *key = newKey(2048);
    X509 *certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 60L * 60 * 24 * 365);
    X509_set_pubkey(certificate, key);
    X509_NAME *name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Virtual iPhone"),
                               -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    SSL_CTX_use_certificate(context, certificate);
    SSL_CTX_use_PrivateKey(context, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
}

SSL *TlsServer::accept(int fd)
{
    SSL *ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

std::string TlsServer::newDevicePublicKey()
{
    EVP_PKEY *key = newKey(1024);
    std::string pem;
    OSSL_ENCODER_CTX *encoder =
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    unsigned char *data = nullptr;
    size_t length = 0;
    if (encoder && OSSL_ENCODER_to_data(encoder, &data, &length) == 1) {
        pem.assign(reinterpret_cast<char *>(data), length);
        OPENSSL_free(data);
    }
    OSSL_ENCODER_CTX_free(encoder);
    EVP_PKEY_free(key);
    return pem;
}
