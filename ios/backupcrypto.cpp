#include "ios/backupcrypto.h"

#include <mbedtls/platform_util.h>

#include <cstring>

namespace {

constexpr int kAes256KeyBytes = 32;
constexpr int kAesBlockBytes = 16;
constexpr int kWrapBlockBytes = 8; // RFC 3394 works on 64-bit blocks

// RFC 3394, 2.2.3.1: the default initial value, which a correct unwrap gives
// back as A.
const unsigned char kDefaultIv[kWrapBlockBytes] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};

// Keys and their intermediate blocks do not outlive the call that needs them.
struct WipedBuffer
{
    unsigned char *data;
    size_t size;
    ~WipedBuffer() { mbedtls_platform_zeroize(data, size); }
};

} // namespace

aes_context::aes_context()
{
    mbedtls_aes_init(&aes);
}

aes_context::~aes_context()
{
    mbedtls_aes_free(&aes); // zeroes the round keys
}

// RFC 3394, 2.2.2, the index-based form of the unwrap:
//
//   A = C[0];  R[i] = C[i] for i = 1..n
//   for j = 5 down to 0, for i = n down to 1:
//       B = AES-1(K, (A ^ t) | R[i])  with t = n*j + i as a 64-bit big-endian number
//       A = the first 8 bytes of B;  R[i] = the last 8 bytes of B
//   the key data is R[1..n] when A is A6A6A6A6A6A6A6A6.
//
// Example (RFC 3394, 4.6): KEK 000102...1F and C = 28C9F404C4B810F4 ... FB988B9B7A02DD21
// (five blocks) give the key data 00112233...EEFF 0001...0E0F.
QByteArray aes_key_unwrap(const QByteArray &kek, const QByteArray &wrapped)
{
    if (kek.size() < kAes256KeyBytes)
        return QByteArray();
    const qsizetype n = wrapped.size() / kWrapBlockBytes - 1;
    if (n < 2)
        return QByteArray();

    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    if (mbedtls_aes_setkey_dec(&aes, reinterpret_cast<const unsigned char *>(kek.constData()),
                               kAes256KeyBytes * 8) != 0) {
        mbedtls_aes_free(&aes);
        return QByteArray();
    }

    unsigned char a[kWrapBlockBytes];
    unsigned char block[kAesBlockBytes];
    const WipedBuffer wipeA{a, sizeof a};
    const WipedBuffer wipeBlock{block, sizeof block};
    std::memcpy(a, wrapped.constData(), kWrapBlockBytes);
    QByteArray r(wrapped.constData() + kWrapBlockBytes, n * kWrapBlockBytes);
    auto *rData = reinterpret_cast<unsigned char *>(r.data());

    for (int j = 5; j >= 0; --j) {
        for (qsizetype i = n; i >= 1; --i) {
            quint64 t = quint64(n) * quint64(j) + quint64(i);
            std::memcpy(block, a, kWrapBlockBytes);
            for (int k = kWrapBlockBytes - 1; k >= 0; --k, t >>= 8)
                block[k] ^= static_cast<unsigned char>(t & 0xFF);
            unsigned char *ri = rData + (i - 1) * kWrapBlockBytes;
            std::memcpy(block + kWrapBlockBytes, ri, kWrapBlockBytes);
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_DECRYPT, block, block);
            std::memcpy(a, block, kWrapBlockBytes);
            std::memcpy(ri, block + kWrapBlockBytes, kWrapBlockBytes);
        }
    }
    mbedtls_aes_free(&aes);

    // Compared without an early exit, so the time taken says nothing about
    // how much of the check matched.
    unsigned char diff = 0;
    for (int k = 0; k < kWrapBlockBytes; ++k)
        diff |= static_cast<unsigned char>(a[k] ^ kDefaultIv[k]);
    if (diff != 0) {
        mbedtls_platform_zeroize(rData, size_t(r.size()));
        return QByteArray();
    }
    return r;
}

bool aes256_set_decrypt_key(aes_context &ctx, const QByteArray &key)
{
    ctx.hasKey = false;
    if (key.size() < kAes256KeyBytes)
        return false;
    ctx.hasKey = mbedtls_aes_setkey_dec(&ctx.aes, reinterpret_cast<const unsigned char *>(key.constData()),
                                        kAes256KeyBytes * 8)
        == 0;
    return ctx.hasKey;
}

QByteArray aes_cbc_decrypt(aes_context &ctx, unsigned char iv[16], const char *data, int length)
{
    if (!ctx.hasKey || length < 0 || length % kAesBlockBytes != 0 || (length > 0 && !data))
        return QByteArray();
    QByteArray plain(length, Qt::Uninitialized);
    if (length == 0)
        return plain;
    if (mbedtls_aes_crypt_cbc(&ctx.aes, MBEDTLS_AES_DECRYPT, size_t(length), iv,
                              reinterpret_cast<const unsigned char *>(data),
                              reinterpret_cast<unsigned char *>(plain.data()))
        != 0)
        return QByteArray();
    return plain;
}
