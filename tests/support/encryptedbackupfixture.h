#pragma once
// The keys of an encrypted iTunes backup, made the way a phone makes them and
// written independently of the program's reader: the keybag (class keys
// wrapped under a PBKDF2-HMAC-SHA1 key of the backup password), file keys
// wrapped under class keys, and files encrypted with AES-256-CBC. mbedTLS
// gives only HMAC-SHA-1 and the AES block function; PBKDF2, the RFC 3394 wrap
// and the CBC chain are written out here.
#include "tests/support/bytesfixture.h"

#include <QByteArray>
#include <QList>

namespace testsupport {

// RFC 2898 PBKDF2 with HMAC-SHA-1: length bytes.
QByteArray pbkdf2HmacSha1(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                          int length);
// The same with HMAC-SHA-256 (the first stage of keys since iOS 10.2).
QByteArray pbkdf2HmacSha256(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                            int length);
// RFC 3394 key wrap with the default initial value: 8 bytes longer than
// keyData (a multiple of 8, at least 16 bytes). kek has 16, 24 or 32 bytes.
QByteArray aesKeyWrap(const QByteArray &kek, const QByteArray &keyData);
// AES-CBC encryption of whole 16-byte blocks, no padding; key of 16, 24 or 32 bytes.
QByteArray aesCbcEncrypt(const QByteArray &key, const QByteArray &iv, const QByteArray &plain);
// A data file of an encrypted backup: AES-256-CBC with an IV of zeros, after
// PKCS#7 padding of 1 to 16 bytes, so always 1 to 16 bytes longer than plain.
QByteArray encryptBackupFile(const QByteArray &fileKey, const QByteArray &plain);


// One keybag record: a four-character tag and its value.
struct KeybagRecord
{
    QByteArray tag;
    QByteArray value;
};
// The records one after the other: tag, value length (4 bytes, big-endian), value.
QByteArray keybagBytes(const QList<KeybagRecord> &records);

class EncryptedBackupKeys
{
public:
    static constexpr quint32 kWrapDevice = 1;   // under the phone's own key only
    static constexpr quint32 kWrapPassword = 2; // under the backup password's key

    struct ProtectionClass
    {
        quint32 number = 0;
        quint32 wrap = kWrapPassword;
        quint32 keyType = 0;   // KTYP: 0 AES, 1 Curve25519 (with a public key)
        QByteArray key;        // the 32-byte class key
        QByteArray publicKey;  // PBKY when not empty
    };

    // A backup keybag as phones write one: classes 1 to 11, all under the
    // password key, class 2 with a Curve25519 public key. password is the
    // UTF-8 bytes the user types; every key is fixed by the arguments, so two
    // builders made alike hold the same keys.
    explicit EncryptedBackupKeys(const QByteArray &password, quint32 iterations = 10);

    QByteArray password;
    QByteArray salt;      // 20 bytes
    quint32 iterations;
    QByteArray uuid;      // 16 bytes
    QList<ProtectionClass> classes;
    // Set by useTwoStageKey: the salt and count of the SHA-256 stage that
    // keybags of iOS 10.2 and later carry as DPSL and DPIC (with DPWT 1).
    QByteArray dpsl;
    quint32 dpic = 0;

    // Makes the password key two-staged, as iOS 10.2 and later do:
    // PBKDF2-HMAC-SHA256(password, DPSL, DPIC, 32), then PBKDF2-HMAC-SHA1 of
    // that over SALT and ITER.
    void useTwoStageKey(quint32 sha256Iterations = 7);

    // The 32-byte key derived from password, salt and iterations (after the
    // SHA-256 stage when dpsl is set).
    QByteArray passwordKey() const;
    // The class key of number; empty when there is no such class.
    QByteArray classKey(quint32 number) const;

    // The keybag's records in the order a phone writes them: VERS, TYPE,
    // UUID, HMCK, WRAP, SALT, ITER (then DPWT, DPIC, DPSL when two-staged),
    // then for each class UUID, CLAS, WRAP,
    // KTYP, WPKY and (with a public key) PBKY. Tests edit these to make
    // damaged keybags.
    QList<KeybagRecord> keybagRecords() const;
    QByteArray keybag() const { return keybagBytes(keybagRecords()); }

    // fileKey wrapped under the key of class number: 40 bytes for 32 (empty
    // for an unknown class).
    QByteArray wrappedFileKey(quint32 number, const QByteArray &fileKey) const;
    // The encryption key as a file's manifest record stores it: the class
    // number (4 bytes, little-endian), then the wrapped file key.
    QByteArray recordEncryptionKey(quint32 number, const QByteArray &fileKey) const;

    // A fixed 32-byte key for seed, to use as a file key.
    static QByteArray fileKeyFor(const QByteArray &seed);
};

} // namespace testsupport
