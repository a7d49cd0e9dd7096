#include "ios/backupkeybag.h"

#include "ios/backupcrypto.h"

#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

#include <cstring>

namespace {

constexpr qsizetype kRecordHeaderBytes = 8; // tag and length
constexpr int kKeyBytes = 32;               // password key, class keys, file keys: AES-256
static_assert(kKeybagWrappedKeyBytes == kKeyBytes + 8, "RFC 3394 adds 8 bytes to the key it wraps");
constexpr quint32 kWrapPasswordBit = 2;

// A tag found anywhere in this text belongs to the current class entry.
const QString kClassTags = QStringLiteral("CLAS WRAP WPKY KTYP PBKY");
const QString kUuidTag = QStringLiteral("UUID");
const QString kWrapTag = QStringLiteral("WRAP");
const QString kClassTag = QStringLiteral("CLAS");
const QString kIterTag = QStringLiteral("ITER");
const QString kSaltTag = QStringLiteral("SALT");
const QString kDpslTag = QStringLiteral("DPSL"); // salt of the SHA-256 stage (iOS 10.2 and later)
const QString kDpicTag = QStringLiteral("DPIC"); // its iteration count, 4 bytes
const QString kWrappedKeyTag = QStringLiteral("WPKY");
const QString kClassKeyEntry = QStringLiteral("KEY");

quint32 bigEndian32(const char *bytes)
{
    return (quint32(quint8(bytes[0])) << 24) | (quint32(quint8(bytes[1])) << 16)
        | (quint32(quint8(bytes[2])) << 8) | quint32(quint8(bytes[3]));
}

// The tag's value as a number, when it is there with at least four bytes.
bool readU32(const QMap<QString, QByteArray> &entries, const QString &tag, quint32 &number)
{
    const auto it = entries.constFind(tag);
    if (it == entries.constEnd() || it->size() < 4)
        return false;
    number = bigEndian32(it->constData());
    return true;
}

// The record at pos, moving pos past it; false when the data ends inside it.
bool readItem(const QByteArray &blob, qsizetype &pos, _KeyBagItem &item)
{
    const qsizetype left = blob.size() - pos;
    if (left < kRecordHeaderBytes)
        return false;
    const char *record = blob.constData() + pos;
    const quint32 length = bigEndian32(record + 4);
    if (quint64(length) > quint64(left - kRecordHeaderBytes))
        return false;
    item.tag = QString::fromLatin1(record, 4);
    item.value = QByteArray(record + kRecordHeaderBytes, qsizetype(length));
    pos += kRecordHeaderBytes + qsizetype(length);
    return true;
}

// Files the entry under its class number, replacing an earlier entry of that
// number; an entry without CLAS is not filed.
void storeClass(_BackupKeyBag &bag, const QMap<QString, QByteArray> &entry)
{
    if (!entry.contains(kClassTag))
        return;
    quint32 number = 0;
    if (!readU32(entry, kClassTag, number)) {
        bag.malformed = true;
        return;
    }
    bag.classKeys.insert(int(number), entry);
}

// Rounds between two calls of the progress callback: a few milliseconds.
constexpr quint64 kRoundsPerReport = 4096;

mbedtls_md_type_t mdType(KeybagHash hash)
{
    return hash == KeybagHash::Sha256 ? MBEDTLS_MD_SHA256 : MBEDTLS_MD_SHA1;
}

} // namespace

bool keybag_pbkdf2(KeybagHash hash, const QByteArray &password, const QByteArray &salt, quint32 iterations,
                   int length, QByteArray &out, const KeybagProgress &progress)
{
    out = QByteArray(length, '\0');
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(mdType(hash));
    if (!info || iterations == 0 || length <= 0)
        return false;
    const int hashBytes = mbedtls_md_get_size(info);
    unsigned char u[MBEDTLS_MD_MAX_SIZE];
    unsigned char t[MBEDTLS_MD_MAX_SIZE];
    mbedtls_md_context_t hmac;
    mbedtls_md_init(&hmac);
    struct Wipe
    {
        unsigned char *u, *t;
        mbedtls_md_context_t *hmac;
        ~Wipe()
        {
            mbedtls_platform_zeroize(u, MBEDTLS_MD_MAX_SIZE);
            mbedtls_platform_zeroize(t, MBEDTLS_MD_MAX_SIZE);
            mbedtls_md_free(hmac);
        }
    } wipe{u, t, &hmac};
    if (mbedtls_md_setup(&hmac, info, 1) != 0
        || mbedtls_md_hmac_starts(&hmac, reinterpret_cast<const unsigned char *>(password.constData()),
                                  size_t(password.size()))
            != 0)
        return false;

    // T_i = U_1 ^ ... ^ U_c with U_1 = HMAC(P, S || INT(i)), U_j = HMAC(P, U_j-1).
    const int blocks = (length + hashBytes - 1) / hashBytes;
    const quint64 total = quint64(blocks) * iterations;
    quint64 done = 0;
    for (int block = 1; block <= blocks; ++block) {
        const unsigned char index[4] = {quint8(block >> 24), quint8(block >> 16), quint8(block >> 8),
                                        quint8(block)};
        if (mbedtls_md_hmac_reset(&hmac) != 0
            || mbedtls_md_hmac_update(&hmac, reinterpret_cast<const unsigned char *>(salt.constData()),
                                      size_t(salt.size()))
                != 0
            || mbedtls_md_hmac_update(&hmac, index, 4) != 0 || mbedtls_md_hmac_finish(&hmac, u) != 0)
            return false;
        std::memcpy(t, u, size_t(hashBytes));
        for (quint32 round = 1; round < iterations; ++round) {
            if (mbedtls_md_hmac_reset(&hmac) != 0 || mbedtls_md_hmac_update(&hmac, u, size_t(hashBytes)) != 0
                || mbedtls_md_hmac_finish(&hmac, u) != 0)
                return false;
            for (int k = 0; k < hashBytes; ++k)
                t[k] ^= u[k];
            if (++done % kRoundsPerReport == 0 && progress && !progress(int(done * 100 / total)))
                return false;
        }
        ++done;
        const int offset = (block - 1) * hashBytes;
        std::memcpy(out.data() + offset, t, size_t(qMin(hashBytes, length - offset)));
    }
    return true;
}

QList<_KeyDerivationStage> keybag_derivation_stages(const _BackupKeyBag &bag)
{
    quint32 iterations = 0;
    if (!readU32(bag.attributes, kIterTag, iterations) || iterations == 0)
        return {};
    QList<_KeyDerivationStage> stages;
    // Keybags of iOS 10.2 and later first stretch the password with
    // PBKDF2-HMAC-SHA256 over DPSL and DPIC; the SHA-1 stage then runs on that.
    if (bag.attributes.contains(kDpslTag)) {
        quint32 dpic = 0;
        if (!readU32(bag.attributes, kDpicTag, dpic) || dpic == 0)
            return {};
        stages.append({KeybagHash::Sha256, bag.attributes.value(kDpslTag), dpic});
    }
    stages.append({KeybagHash::Sha1, bag.attributes.value(kSaltTag), iterations});
    return stages;
}

uint keybag_u32(QMap<QString, QByteArray> &entries, const QString &tag)
{
    const QByteArray &value = entries[tag];
    return value.size() < 4 ? 0 : bigEndian32(value.constData());
}

_BackupKeyBag keybag_parse(const QByteArray &blob)
{
    _BackupKeyBag bag;
    QMap<QString, QByteArray> current;
    _KeyBagItem item;
    qsizetype pos = 0;
    while (pos < blob.size()) {
        if (!readItem(blob, pos, item)) {
            bag.malformed = true;
            break;
        }
        if (item.tag == kUuidTag && !bag.attributes.contains(kUuidTag)) {
            bag.attributes.insert(item.tag, item.value); // the keybag's own UUID
        } else if (item.tag == kWrapTag && !bag.attributes.contains(kWrapTag)) {
            bag.attributes.insert(item.tag, item.value);
        } else if (item.tag != kUuidTag) {
            if (kClassTags.contains(item.tag))
                current.insert(item.tag, item.value);
            else
                bag.attributes.insert(item.tag, item.value);
        } else {
            // A later UUID begins the next class entry; the one before was
            // filed after its last record.
            current.clear();
            current.insert(item.tag, item.value);
        }
        // Filed after every record, so the last entry needs no closing record.
        storeClass(bag, current);
    }
    return bag;
}

bool keybag_unlock(_BackupKeyBag &bag, const QByteArray &password)
{
    return keybag_unlock_stages(bag, password) == KeybagUnlock::Unlocked;
}

KeybagUnlock keybag_unlock_stages(_BackupKeyBag &bag, const QByteArray &password, const KeybagProgress &progress)
{
    if (bag.malformed)
        return KeybagUnlock::Malformed;
    const QList<_KeyDerivationStage> stages = keybag_derivation_stages(bag);
    if (stages.isEmpty())
        return KeybagUnlock::Malformed;
    quint64 rounds = 0;
    for (const _KeyDerivationStage &stage : stages) {
        if (stage.iterations > kKeybagMaxIterations)
            return KeybagUnlock::TooManyIterations;
        rounds += stage.iterations;
    }

    // The password key lives only inside this call; each stage keys the next.
    QByteArray key = password;
    struct Wipe
    {
        QByteArray &key;
        ~Wipe() { mbedtls_platform_zeroize(key.data(), size_t(key.size())); }
    } wipe{key};
    quint64 before = 0; // rounds of the stages already run
    bool cancelled = false;
    for (const _KeyDerivationStage &stage : stages) {
        const KeybagProgress overall = [&](int percent) {
            if (!progress)
                return true;
            const quint64 share = before + stage.iterations * quint64(percent) / 100;
            cancelled = !progress(int(share * 100 / rounds));
            return !cancelled;
        };
        QByteArray next;
        const bool derived = keybag_pbkdf2(stage.hash, key, stage.salt, stage.iterations, kKeyBytes, next, overall);
        key.swap(next);
        mbedtls_platform_zeroize(next.data(), size_t(next.size())); // the stage's input
        if (cancelled)
            return KeybagUnlock::Cancelled;
        if (!derived)
            return KeybagUnlock::Malformed;
        before += stage.iterations;
    }

    for (auto it = bag.classKeys.begin(); it != bag.classKeys.end(); ++it) {
        QMap<QString, QByteArray> &entry = it.value();
        if (!entry.contains(kWrappedKeyTag))
            continue;
        quint32 wrap = 0;
        if (!readU32(entry, kWrapTag, wrap))
            return KeybagUnlock::Malformed;
        if (!(wrap & kWrapPasswordBit))
            continue; // wrapped under the phone's own key: stays locked
        const QByteArray classKey = aes_key_unwrap(key, entry.value(kWrappedKeyTag));
        if (classKey.isEmpty())
            return KeybagUnlock::WrongPassword;
        if (classKey.size() != kKeyBytes)
            return KeybagUnlock::Malformed;
        entry.insert(kClassKeyEntry, classKey);
    }
    return KeybagUnlock::Unlocked;
}

QByteArray keybag_file_key(const _BackupKeyBag &bag, int protectionClass, const QByteArray &wrappedKey)
{
    const auto it = bag.classKeys.constFind(protectionClass);
    if (it == bag.classKeys.constEnd() || wrappedKey.size() != kKeybagWrappedKeyBytes)
        return QByteArray();
    const QByteArray classKey = it->value(kClassKeyEntry);
    if (classKey.size() != kKeyBytes)
        return QByteArray();
    return aes_key_unwrap(classKey, wrappedKey);
}
