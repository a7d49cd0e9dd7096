#pragma once
// The keybag of an encrypted iTunes backup: the "BackupKeyBag" data of
// Manifest.plist. It holds one key per protection class, each wrapped
// (RFC 3394) either under a key derived from the backup password or under a
// key that only the phone has. Every backed-up file is encrypted under a key of
// its own, stored wrapped under its class's key in the file's record.
//
// The keybag is a run of records, one after the other up to the end of the
// data; numbers are big-endian:
//
//   OFFSET   SIZE   DESCRIPTION
//      0       4    Tag, four ASCII characters.
//      4       4    L, the length of the value.
//      8       L    Value. The next record starts right after it.
//
// The first "UUID" names the keybag itself; every later "UUID" begins a class
// entry. Tags as the phone writes them:
//
//   header  VERS, TYPE, UUID, HMCK, WRAP, SALT (PBKDF2 salt, used whole),
//           ITER (PBKDF2 iteration count, 4 bytes); from iOS 10.2 also DPWT,
//           DPIC and DPSL (count and salt of a first PBKDF2-HMAC-SHA256 stage)
//   class   UUID, CLAS (class number, 4 bytes), WRAP (4 bytes; value 2 set
//           means wrapped under the password key), KTYP, WPKY (the wrapped
//           class key, 40 bytes for 32), PBKY
//
// Example: 43 4C 41 53 00 00 00 04 00 00 00 03 is CLAS = 3.
//
// Neither a password, nor a salt, nor any key is ever logged, shown or written
// anywhere by this code.
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <functional>

// One record while the keybag is read.
struct _KeyBagItem
{
    QString tag;
    QByteArray value;
};

struct _BackupKeyBag
{
    // The header records, by tag.
    QMap<QString, QByteArray> attributes;
    // One map of tag -> value per class entry, by the entry's CLAS number.
    // keybag_unlock adds "KEY", the unwrapped 32-byte class key, to each class
    // it unlocks.
    QMap<int, QMap<QString, QByteArray>> classKeys;
    // Set when a record runs past the end of the data or a CLAS value is
    // shorter than 4 bytes. What could be read is kept, but such a keybag
    // never unlocks.
    bool malformed = false;
};

// The highest iteration count of a derivation stage that is run. Phones use
// up to 10,000,000 (the first stage of later backups); ten times that leaves
// headroom and still ends within minutes. A crafted keybag asking for more
// would hold the user for hours: it is refused before any work.
constexpr quint32 kKeybagMaxIterations = 100000000;

// A class or file key wrapped with RFC 3394: 32 bytes of AES-256 key and the
// 8-byte integrity value.
constexpr int kKeybagWrappedKeyBytes = 40;

// How keybag_unlock_stages ended.
enum class KeybagUnlock {
    Unlocked,          // every class wrapped under the password key unwrapped
    WrongPassword,     // a class did not unwrap
    Malformed,         // see keybag_unlock
    TooManyIterations, // a stage asks for more than kKeybagMaxIterations
    Cancelled,         // the progress callback answered false
};

// The hash of one PBKDF2 stage.
enum class KeybagHash { Sha1, Sha256 };

// One stage of the password key's derivation: PBKDF2 with HMAC over hash,
// keyed with the previous stage's output (the password's bytes for the
// first), over salt, iterations times, giving 32 bytes.
struct _KeyDerivationStage
{
    KeybagHash hash = KeybagHash::Sha1;
    QByteArray salt;
    quint32 iterations = 0;
};

// Told the share of the derivation done so far (0 to 100); answers false to
// stop it. Called from the thread that derives, every few thousand rounds.
using KeybagProgress = std::function<bool(int percent)>;

// RFC 2898 PBKDF2 with HMAC over hash: length bytes into out. Stops early
// and answers false when progress answers false; out is then not meaningful.
bool keybag_pbkdf2(KeybagHash hash, const QByteArray &password, const QByteArray &salt, quint32 iterations,
                   int length, QByteArray &out, const KeybagProgress &progress = {});

// The stages the keybag asks for, in the order they run: today SHA-1 over
// SALT and ITER. Empty when they cannot be read (no 4-byte ITER of at least 1).
QList<_KeyDerivationStage> keybag_derivation_stages(const _BackupKeyBag &bag);

// Reads the whole blob; never fails. A later class entry with the same CLAS
// number replaces an earlier one, a tag given twice in one entry keeps its
// last value, and an entry without CLAS is dropped. Depends on nothing but the
// bytes given.
_BackupKeyBag keybag_parse(const QByteArray &blob);

// Derives the password key (PBKDF2 with HMAC-SHA-1 over the password's UTF-8
// bytes, SALT and ITER, 32 bytes; when the keybag has DPSL, over the 32 bytes
// of PBKDF2-HMAC-SHA256(password, DPSL, DPIC) instead) and unwraps, in ascending class order, every
// class key wrapped under it. True when every such class was unwrapped (also
// when there is none, so any password opens a keybag without one); false at
// the first class that does not unwrap, which is how a wrong password shows.
// Classes before it keep their key. Also false for a malformed keybag: one
// keybag_parse marked, one without a 4-byte ITER of at least 1, a class with a
// wrapped key but no 4-byte WRAP, or a class key that does not unwrap to 32
// bytes.
bool keybag_unlock(_BackupKeyBag &bag, const QByteArray &password);
// The same, telling how it ended: refused before any work when a stage asks
// for more than kKeybagMaxIterations, stopped when progress answers false
// (no class then gets a key).
KeybagUnlock keybag_unlock_stages(_BackupKeyBag &bag, const QByteArray &password,
                                  const KeybagProgress &progress = {});

// The 32-byte file key that wrappedKey (exactly 40 bytes) holds under the key
// of protectionClass; empty when the class is unknown or was not unlocked, the
// wrapped key has another length, or it does not unwrap.
QByteArray keybag_file_key(const _BackupKeyBag &bag, int protectionClass, const QByteArray &wrappedKey);

// The first four bytes of the tag's value as a big-endian number; 0 when the
// value is shorter. A missing tag is inserted with an empty value.
uint keybag_u32(QMap<QString, QByteArray> &entries, const QString &tag);
