#include "tests/support/encryptedbackupfixture.h"

#include <QCryptographicHash>

#include <mbedtls/aes.h>
#include <mbedtls/md.h>

#include <stdexcept>

namespace testsupport {

namespace {

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

QByteArray hmac(mbedtls_md_type_t type, const QByteArray &key, const QByteArray &message)
{
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(type);
    QByteArray mac(int(mbedtls_md_get_size(info)), '\0');
    if (mbedtls_md_hmac(info, bytes(key), size_t(key.size()), bytes(message), size_t(message.size()),
                        reinterpret_cast<unsigned char *>(mac.data()))
        != 0)
        throw std::runtime_error("HMAC failed");
    return mac;
}

// The AES block function in the encrypt direction, one block at a time.
class AesEncryptor
{
public:
    explicit AesEncryptor(const QByteArray &key)
    {
        mbedtls_aes_init(&m_aes);
        if (mbedtls_aes_setkey_enc(&m_aes, bytes(key), unsigned(key.size()) * 8) != 0)
            throw std::runtime_error("bad AES key size");
    }
    ~AesEncryptor() { mbedtls_aes_free(&m_aes); }
    AesEncryptor(const AesEncryptor &) = delete;
    AesEncryptor &operator=(const AesEncryptor &) = delete;

    QByteArray block(const QByteArray &in)
    {
        QByteArray out(16, '\0');
        mbedtls_aes_crypt_ecb(&m_aes, MBEDTLS_AES_ENCRYPT, bytes(in),
                              reinterpret_cast<unsigned char *>(out.data()));
        return out;
    }

private:
    mbedtls_aes_context m_aes;
};

QByteArray xorBytes(QByteArray a, const QByteArray &b)
{
    for (int i = 0; i < a.size(); ++i)
        a[i] = char(a[i] ^ b[i]);
    return a;
}

QByteArray digest(const QByteArray &seed, QCryptographicHash::Algorithm algorithm)
{
    return QCryptographicHash::hash(seed, algorithm);
}

} // namespace

// RFC 2898, 5.2: T_i = U_1 ^ ... ^ U_c with U_1 = PRF(P, S || INT(i)) and
// U_j = PRF(P, U_{j-1}); the output is T_1 || T_2 || ... cut to length.
static QByteArray pbkdf2(mbedtls_md_type_t type, const QByteArray &password, const QByteArray &salt,
                         quint32 iterations, int length)
{
    QByteArray out;
    for (quint32 block = 1; out.size() < length; ++block) {
        QByteArray u = hmac(type, password, salt + bigEndian32(block));
        QByteArray t = u;
        for (quint32 j = 1; j < iterations; ++j) {
            u = hmac(type, password, u);
            t = xorBytes(t, u);
        }
        out += t;
    }
    return out.left(length);
}

QByteArray pbkdf2HmacSha1(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                          int length)
{
    return pbkdf2(MBEDTLS_MD_SHA1, password, salt, iterations, length);
}

QByteArray pbkdf2HmacSha256(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                            int length)
{
    return pbkdf2(MBEDTLS_MD_SHA256, password, salt, iterations, length);
}

// RFC 3394, 2.2.1, the index-based form:
//   A = IV, R[i] = P[i]
//   for j = 0 to 5, for i = 1 to n:
//       B = AES(K, A | R[i]); A = MSB64(B) ^ t with t = n*j + i; R[i] = LSB64(B)
//   C = A | R[1] | ... | R[n]
QByteArray aesKeyWrap(const QByteArray &kek, const QByteArray &keyData)
{
    if (keyData.size() % 8 != 0 || keyData.size() < 16)
        throw std::runtime_error("key data to wrap must be whole 64-bit blocks, at least two");
    AesEncryptor aes(kek);
    const int n = int(keyData.size() / 8);
    QByteArray a(8, char(0xA6));
    QList<QByteArray> r;
    for (int i = 0; i < n; ++i)
        r.append(keyData.mid(i * 8, 8));
    for (int j = 0; j <= 5; ++j) {
        for (int i = 1; i <= n; ++i) {
            const QByteArray b = aes.block(a + r[i - 1]);
            const quint64 t = quint64(n) * quint64(j) + quint64(i);
            QByteArray tBytes(8, '\0');
            for (int k = 0; k < 8; ++k)
                tBytes[7 - k] = char((t >> (8 * k)) & 0xFF);
            a = xorBytes(b.left(8), tBytes);
            r[i - 1] = b.mid(8);
        }
    }
    QByteArray out = a;
    for (const QByteArray &block : r)
        out += block;
    return out;
}

QByteArray aesCbcEncrypt(const QByteArray &key, const QByteArray &iv, const QByteArray &plain)
{
    if (plain.size() % 16 != 0 || iv.size() != 16)
        throw std::runtime_error("CBC takes whole blocks and a 16-byte IV");
    AesEncryptor aes(key);
    QByteArray chain = iv;
    QByteArray out;
    out.reserve(plain.size());
    for (qsizetype pos = 0; pos < plain.size(); pos += 16) {
        chain = aes.block(xorBytes(plain.mid(pos, 16), chain));
        out += chain;
    }
    return out;
}

QByteArray encryptBackupFile(const QByteArray &fileKey, const QByteArray &plain)
{
    const int pad = 16 - int(plain.size() % 16);
    return aesCbcEncrypt(fileKey, QByteArray(16, '\0'), plain + QByteArray(pad, char(pad)));
}

QByteArray keybagBytes(const QList<KeybagRecord> &records)
{
    QByteArray out;
    for (const KeybagRecord &record : records)
        out += record.tag + bigEndian32(quint32(record.value.size())) + record.value;
    return out;
}

EncryptedBackupKeys::EncryptedBackupKeys(const QByteArray &pw, quint32 iter)
    : password(pw)
    , salt(digest("salt:" + pw, QCryptographicHash::Sha1))
    , iterations(iter)
    , uuid(digest("keybag:" + pw, QCryptographicHash::Md5))
{
    for (quint32 number = 1; number <= 11; ++number) {
        ProtectionClass c;
        c.number = number;
        c.key = digest("class key " + QByteArray::number(number) + ':' + uuid, QCryptographicHash::Sha256);
        if (number == 2) {
            c.keyType = 1;
            c.publicKey = digest("public key:" + uuid, QCryptographicHash::Sha256);
        }
        classes.append(c);
    }
}

QByteArray EncryptedBackupKeys::passwordKey() const
{
    // iOS 10.2 and later first stretch the password with SHA-256 over the
    // keybag's DPSL and DPIC, then derive as before from that.
    const QByteArray first = dpsl.isEmpty() ? password : pbkdf2HmacSha256(password, dpsl, dpic, 32);
    return pbkdf2HmacSha1(first, salt, iterations, 32);
}

void EncryptedBackupKeys::useTwoStageKey(quint32 sha256Iterations)
{
    dpsl = digest("dpsl:" + password, QCryptographicHash::Sha1);
    dpic = sha256Iterations;
}

QByteArray EncryptedBackupKeys::classKey(quint32 number) const
{
    for (const ProtectionClass &c : classes) {
        if (c.number == number)
            return c.key;
    }
    return QByteArray();
}

QList<KeybagRecord> EncryptedBackupKeys::keybagRecords() const
{
    // A class not under the password is wrapped under a key that only the
    // phone would know.
    const QByteArray deviceKey = digest("device key:" + uuid, QCryptographicHash::Sha256);
    const QByteArray pwKey = passwordKey();
    QList<KeybagRecord> records{
        {"VERS", bigEndian32(3)},
        {"TYPE", bigEndian32(1)}, // a backup keybag
        {"UUID", uuid},
        {"HMCK", digest("hmck:" + uuid, QCryptographicHash::Sha256) + QByteArray(8, '\x5A')},
        {"WRAP", bigEndian32(0)},
        {"SALT", salt},
        {"ITER", bigEndian32(iterations)},
    };
    if (!dpsl.isEmpty()) {
        records.append({"DPWT", bigEndian32(1)});
        records.append({"DPIC", bigEndian32(dpic)});
        records.append({"DPSL", dpsl});
    }
    for (const ProtectionClass &c : classes) {
        const QByteArray kek = (c.wrap & kWrapPassword) ? pwKey : deviceKey;
        records.append({"UUID", digest("class uuid " + QByteArray::number(c.number) + ':' + uuid,
                                       QCryptographicHash::Md5)});
        records.append({"CLAS", bigEndian32(c.number)});
        records.append({"WRAP", bigEndian32(c.wrap)});
        records.append({"KTYP", bigEndian32(c.keyType)});
        records.append({"WPKY", aesKeyWrap(kek, c.key)});
        if (!c.publicKey.isEmpty())
            records.append({"PBKY", c.publicKey});
    }
    return records;
}

QByteArray EncryptedBackupKeys::wrappedFileKey(quint32 number, const QByteArray &fileKey) const
{
    const QByteArray key = classKey(number);
    return key.isEmpty() ? QByteArray() : aesKeyWrap(key, fileKey);
}

QByteArray EncryptedBackupKeys::recordEncryptionKey(quint32 number, const QByteArray &fileKey) const
{
    return littleEndian32(number) + wrappedFileKey(number, fileKey);
}

QByteArray EncryptedBackupKeys::fileKeyFor(const QByteArray &seed)
{
    return digest("file key:" + seed, QCryptographicHash::Sha256);
}

} // namespace testsupport
