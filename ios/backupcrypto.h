#pragma once
// The AES primitives of encrypted iTunes backups: the RFC 3394 key unwrap that
// opens class keys and file keys, and the AES-256-CBC decryption that a file's
// copy runs block by block, carrying the IV from one read to the next.
//
// mbedTLS has no key-wrap module in the library Debian ships (nist_kw.h is
// installed, its functions are not built in), so the unwrap is written here
// over AES in ECB mode. No key handled here is ever logged or shown.
#include <QByteArray>

#include <mbedtls/aes.h>

// An AES decryption key schedule, set by aes256_set_decrypt_key. The round
// keys are wiped when it goes. A context whose key was never set decrypts
// nothing.
struct aes_context
{
    aes_context();
    ~aes_context();
    aes_context(const aes_context &) = delete;
    aes_context &operator=(const aes_context &) = delete;

    mbedtls_aes_context aes;
    bool hasKey = false;
};

// RFC 3394 key unwrap with AES-256 under the first 32 bytes of kek. wrapped is
// read as 64-bit blocks (a trailing part of a block is ignored): the check
// block A, then the key data R1..Rn. Returns R1..Rn (n * 8 bytes) when the
// unwrapped A is the default initial value A6A6A6A6A6A6A6A6, otherwise a null
// array; also null for a kek shorter than 32 bytes or fewer than two key
// blocks (n < 2, which the RFC does not define).
QByteArray aes_key_unwrap(const QByteArray &kek, const QByteArray &wrapped);

// Builds the AES-256 decryption schedule from the first 32 bytes of key.
// False, and a context that decrypts nothing, when key is shorter than that.
bool aes256_set_decrypt_key(aes_context &ctx, const QByteArray &key);

// AES-CBC decryption of length bytes of data. Returns length decrypted bytes
// and leaves iv holding the last ciphertext block, so that the next call goes
// on with the chain. A null array, with iv untouched, when length is not a
// multiple of 16 (the library's invalid-input-length error), is negative, or
// the context has no key.
QByteArray aes_cbc_decrypt(aes_context &ctx, unsigned char iv[16], const char *data, int length);
