#include "ios/backupkeybag.h"

#include "ios/backupcrypto.h"

#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

namespace {

constexpr qsizetype kRecordHeaderBytes = 8; // tag and length
constexpr int kKeyBytes = 32;               // password key, class keys, file keys: AES-256
constexpr qsizetype kWrappedKeyBytes = kKeyBytes + 8;
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

// PBKDF2 with HMAC of the given digest (SHA-1 unless told), 32 bytes into key.
bool derivePasswordKey(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                       unsigned char key[kKeyBytes], mbedtls_md_type_t digest = MBEDTLS_MD_SHA1)
{
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(digest);
    if (!info)
        return false;
    mbedtls_md_context_t hmac;
    mbedtls_md_init(&hmac);
    bool ok = mbedtls_md_setup(&hmac, info, 1) == 0
        && mbedtls_pkcs5_pbkdf2_hmac(&hmac, reinterpret_cast<const unsigned char *>(password.constData()),
                                     size_t(password.size()),
                                     reinterpret_cast<const unsigned char *>(salt.constData()),
                                     size_t(salt.size()), iterations, kKeyBytes, key)
            == 0;
    mbedtls_md_free(&hmac);
    return ok;
}

} // namespace

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
    if (bag.malformed)
        return false;
    quint32 iterations = 0;
    if (!readU32(bag.attributes, kIterTag, iterations) || iterations == 0)
        return false;
    // The password key lives only inside this call.
    unsigned char passwordKey[kKeyBytes];
    struct Wipe
    {
        unsigned char *key;
        ~Wipe() { mbedtls_platform_zeroize(key, kKeyBytes); }
    } wipe{passwordKey};
    // Keybags of iOS 10.2 and later first stretch the password with
    // PBKDF2-HMAC-SHA256 over DPSL and DPIC; the SHA-1 stage then runs on that.
    QByteArray stretched = password;
    if (bag.attributes.contains(kDpslTag)) {
        quint32 dpic = 0;
        if (!readU32(bag.attributes, kDpicTag, dpic) || dpic == 0)
            return false;
        unsigned char first[kKeyBytes];
        const bool derived = derivePasswordKey(password, bag.attributes.value(kDpslTag), dpic, first,
                                               MBEDTLS_MD_SHA256);
        stretched = QByteArray(reinterpret_cast<const char *>(first), kKeyBytes);
        mbedtls_platform_zeroize(first, kKeyBytes);
        if (!derived)
            return false;
    }
    struct WipeStretched
    {
        QByteArray &bytes;
        ~WipeStretched() { mbedtls_platform_zeroize(bytes.data(), size_t(bytes.size())); }
    } wipeStretched{stretched};
    if (!derivePasswordKey(stretched, bag.attributes.value(kSaltTag), iterations, passwordKey))
        return false;
    const QByteArray kek = QByteArray::fromRawData(reinterpret_cast<const char *>(passwordKey), kKeyBytes);

    for (auto it = bag.classKeys.begin(); it != bag.classKeys.end(); ++it) {
        QMap<QString, QByteArray> &entry = it.value();
        if (!entry.contains(kWrappedKeyTag))
            continue;
        quint32 wrap = 0;
        if (!readU32(entry, kWrapTag, wrap))
            return false;
        if (!(wrap & kWrapPasswordBit))
            continue; // wrapped under the phone's own key: stays locked
        const QByteArray classKey = aes_key_unwrap(kek, entry.value(kWrappedKeyTag));
        if (classKey.size() != kKeyBytes)
            return false;
        entry.insert(kClassKeyEntry, classKey);
    }
    return true;
}

QByteArray keybag_file_key(const _BackupKeyBag &bag, int protectionClass, const QByteArray &wrappedKey)
{
    const auto it = bag.classKeys.constFind(protectionClass);
    if (it == bag.classKeys.constEnd() || wrappedKey.size() != kWrappedKeyBytes)
        return QByteArray();
    const QByteArray classKey = it->value(kClassKeyEntry);
    if (classKey.size() != kKeyBytes)
        return QByteArray();
    return aes_key_unwrap(classKey, wrappedKey);
}
