#include "ios/backupcrypto.h"
#include "ios/backupkeybag.h"
#include "tests/support/encryptedbackupfixture.h"
#include "tests/support/testmain.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <functional>

namespace tst_backupkeybag {

using namespace testsupport;

namespace {

// What users type: not only ASCII. The keybag takes the UTF-8 bytes.
const QString kPassword = QStringLiteral("Pässwörd 🔑 1234");

QByteArray u32(quint32 value)
{
    return bigEndian32(value);
}

// A readable picture of a parsed keybag: the header records, then each class
// by number; printable values as text, others in hex.
QString describe(const _BackupKeyBag &bag)
{
    const auto entries = [](const QMap<QString, QByteArray> &map) {
        QStringList parts;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QByteArray &v = it.value();
            bool printable = true;
            for (char c : v)
                printable = printable && c >= 0x20 && c < 0x7F;
            parts << it.key() + '=' + (printable ? QString::fromLatin1(v) : "0x" + QString::fromLatin1(v.toHex()));
        }
        return parts.join(' ');
    };
    QStringList out{entries(bag.attributes)};
    for (auto it = bag.classKeys.cbegin(); it != bag.classKeys.cend(); ++it)
        out << QString::number(it.key()) + ": " + entries(it.value());
    if (bag.malformed)
        out << "malformed";
    return out.join(" | ");
}

QByteArray flipBit(QByteArray data, int byte)
{
    data[byte] = char(data[byte] ^ 0x01);
    return data;
}

// The records with the value of the index-th record of tag replaced (index
// counting from 0 over the records with that tag), or that record removed when
// value is null.
QList<KeybagRecord> edited(QList<KeybagRecord> records, const QByteArray &tag, int index, const QByteArray &value)
{
    for (int i = 0; i < records.size(); ++i) {
        if (records[i].tag != tag || index-- != 0)
            continue;
        if (value.isNull())
            records.removeAt(i);
        else
            records[i].value = value;
        break;
    }
    return records;
}

QByteArray recordValue(const QList<KeybagRecord> &records, const QByteArray &tag, int index)
{
    for (const KeybagRecord &r : records) {
        if (r.tag == tag && index-- == 0)
            return r.value;
    }
    return QByteArray();
}

// Where each record of records ends in their bytes.
QList<int> recordEnds(const QList<KeybagRecord> &records)
{
    QList<int> ends;
    int at = 0;
    for (const KeybagRecord &r : records) {
        at += 8 + int(r.value.size());
        ends << at;
    }
    return ends;
}

} // namespace

using KeybagEdit = std::function<QByteArray(const EncryptedBackupKeys &)>;
} // namespace tst_backupkeybag
Q_DECLARE_METATYPE(tst_backupkeybag::KeybagEdit)
namespace tst_backupkeybag {

class TestBackupKeyBag : public QObject
{
    Q_OBJECT

private slots:
    // A keybag as a phone writes it: the header, then eleven class entries,
    // each opened by its UUID, the last one closed by nothing but the end.
    void parsePhoneKeybag()
    {
        const EncryptedBackupKeys keys(kPassword.toUtf8());
        const _BackupKeyBag bag = keybag_parse(keys.keybag());
        QVERIFY(!bag.malformed);
        QCOMPARE(bag.attributes.keys(), (QStringList{"HMCK", "ITER", "SALT", "TYPE", "UUID", "VERS", "WRAP"}));
        QCOMPARE(bag.attributes.value("UUID"), keys.uuid);
        QCOMPARE(bag.attributes.value("SALT"), keys.salt);
        QCOMPARE(bag.attributes.value("WRAP"), u32(0));
        QCOMPARE(bag.classKeys.keys(), (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
        const QList<KeybagRecord> records = keys.keybagRecords();
        for (int number = 1; number <= 11; ++number) {
            const QMap<QString, QByteArray> &entry = bag.classKeys.value(number);
            const QStringList tags = number == 2 ? QStringList{"CLAS", "KTYP", "PBKY", "UUID", "WPKY", "WRAP"}
                                                 : QStringList{"CLAS", "KTYP", "UUID", "WPKY", "WRAP"};
            QCOMPARE(entry.keys(), tags);
            QCOMPARE(entry.value("CLAS"), u32(quint32(number)));
            QCOMPARE(entry.value("WPKY"), recordValue(records, "WPKY", number - 1));
        }
        // The last entry, with no record after it, is there whole.
        QCOMPARE(bag.classKeys.value(11).value("WPKY"), records.last().value);
    }

    void parseRules_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::addColumn<QString>("parsed");

        const QList<KeybagRecord> header{{"UUID", "bag"}, {"WRAP", u32(0)}, {"SALT", "pepper"}, {"ITER", u32(10)}};
        const auto bag = [&](const QList<KeybagRecord> &classes) { return keybagBytes(header + classes); };
        const QString head = "ITER=0x0000000a SALT=pepper UUID=bag WRAP=0x00000000";

        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("header and two classes, the last one kept")
            << bag({{"UUID", "c1"}, {"CLAS", u32(1)}, {"WRAP", u32(2)}, {"KTYP", u32(0)}, {"WPKY", "w1"},
                    {"UUID", "c3"}, {"CLAS", u32(3)}, {"WRAP", u32(3)}, {"WPKY", "w3"}, {"PBKY", "p3"}})
            << head + " | 1: CLAS=0x00000001 KTYP=0x00000000 UUID=c1 WPKY=w1 WRAP=0x00000002"
                      " | 3: CLAS=0x00000003 PBKY=p3 UUID=c3 WPKY=w3 WRAP=0x00000003";
        QTest::newRow("class without CLAS dropped")
            << bag({{"UUID", "c1"}, {"WRAP", u32(2)}, {"WPKY", "w1"}, {"UUID", "c2"}, {"CLAS", u32(2)}})
            << head + " | 2: CLAS=0x00000002 UUID=c2";
        QTest::newRow("last class without CLAS dropped")
            << bag({{"UUID", "c2"}, {"CLAS", u32(2)}, {"UUID", "c9"}, {"WPKY", "w9"}})
            << head + " | 2: CLAS=0x00000002 UUID=c2";
        QTest::newRow("a later class of the same number replaces the earlier")
            << bag({{"UUID", "old"}, {"CLAS", u32(4)}, {"WPKY", "w-old"}, {"KTYP", u32(0)},
                    {"UUID", "new"}, {"CLAS", u32(4)}, {"WPKY", "w-new"}})
            << head + " | 4: CLAS=0x00000004 UUID=new WPKY=w-new";
        QTest::newRow("a tag twice in one class keeps the last value")
            << bag({{"UUID", "c1"}, {"CLAS", u32(1)}, {"WPKY", "first"}, {"WPKY", "second"}})
            << head + " | 1: CLAS=0x00000001 UUID=c1 WPKY=second";
        QTest::newRow("other tags go to the header, even between classes")
            << bag({{"UUID", "c1"}, {"CLAS", u32(1)}, {"DPIC", u32(7)}, {"WPKY", "w1"}})
            << "DPIC=0x00000007 " + head + " | 1: CLAS=0x00000001 UUID=c1 WPKY=w1";
        QTest::newRow("a header without WRAP gives it the first class's")
            << keybagBytes({{"UUID", "bag"}, {"UUID", "c1"}, {"CLAS", u32(1)}, {"WRAP", u32(2)}, {"WPKY", "w1"}})
            << "UUID=bag WRAP=0x00000002 | 1: CLAS=0x00000001 UUID=c1 WPKY=w1";
        QTest::newRow("empty values")
            << bag({{"UUID", ""}, {"CLAS", u32(5)}, {"WPKY", ""}})
            << head + " | 5: CLAS=0x00000005 UUID= WPKY=";
        QTest::newRow("CLAS longer than 4 bytes counts by its first four")
            << bag({{"UUID", "c7"}, {"CLAS", u32(7) + "zz"}})
            << head + " | 7: CLAS=0x000000077a7a UUID=c7";

        // Damaged keybags: what was read before the damage is kept and the
        // keybag is marked.
        const QByteArray good = bag({{"UUID", "c1"}, {"CLAS", u32(1)}});
        const QString goodParsed = head + " | 1: CLAS=0x00000001 UUID=c1";
        QTest::newRow("value runs past the end")
            << good + "WPKY" + u32(41) + QByteArray(40, 'k') << goodParsed + " | malformed";
        QTest::newRow("length near 4 GB") << good + "WPKY" + u32(0xFFFFFFFF) + "kkkk" << goodParsed + " | malformed";
        QTest::newRow("record header cut after the tag") << good + "WPKY" << goodParsed + " | malformed";
        QTest::newRow("three stray bytes") << good + "WPK" << goodParsed + " | malformed";
        QTest::newRow("CLAS of 3 bytes")
            << bag({{"UUID", "c1"}, {"CLAS", QByteArray(3, '\0')}, {"UUID", "c2"}, {"CLAS", u32(2)}})
            << head + " | 2: CLAS=0x00000002 UUID=c2 | malformed";
    }
    void parseRules()
    {
        QFETCH(QByteArray, blob);
        QFETCH(QString, parsed);
        QCOMPARE(describe(keybag_parse(blob)), parsed);
    }

    void u32Values_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("present");
        QTest::addColumn<uint>("number");
        QTest::newRow("four bytes, big-endian") << QByteArray::fromHex("00002710") << true << 10000u;
        QTest::newRow("high bit set") << QByteArray::fromHex("80000001") << true << 0x80000001u;
        QTest::newRow("longer: the first four") << QByteArray::fromHex("0000000302ff") << true << 3u;
        QTest::newRow("three bytes") << QByteArray::fromHex("000003") << true << 0u;
        QTest::newRow("empty") << QByteArray("") << true << 0u;
        QTest::newRow("missing") << QByteArray() << false << 0u;
    }
    void u32Values()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, present);
        QFETCH(uint, number);
        QMap<QString, QByteArray> entries;
        if (present)
            entries.insert("ITER", value);
        QCOMPARE(keybag_u32(entries, "ITER"), number);
        QVERIFY(entries.contains("ITER")); // a missing tag is added, empty
        QCOMPARE(entries.value("ITER"), present ? value : QByteArray());
    }

    // The right password opens every class under the password key; a class
    // wrapped only under the phone's key stays locked.
    void unlockRightPassword()
    {
        EncryptedBackupKeys keys(kPassword.toUtf8());
        keys.classes[3].wrap = EncryptedBackupKeys::kWrapDevice;                               // class 4
        keys.classes[5].wrap = EncryptedBackupKeys::kWrapDevice | EncryptedBackupKeys::kWrapPassword; // class 6
        _BackupKeyBag bag = keybag_parse(keys.keybag());
        QVERIFY(keybag_unlock(bag, kPassword.toUtf8()));
        for (int number = 1; number <= 11; ++number) {
            const QMap<QString, QByteArray> &entry = bag.classKeys.value(number);
            if (number == 4) {
                QVERIFY(!entry.contains("KEY"));
            } else {
                QCOMPARE(entry.value("KEY").size(), 32);
                QCOMPARE(entry.value("KEY"), keys.classKey(quint32(number)));
            }
        }
    }

    void unlockWrongPassword_data()
    {
        QTest::addColumn<QByteArray>("typed");
        QTest::newRow("other password") << QByteArray("password");
        QTest::newRow("one letter off") << QString(kPassword).replace("ö", "o").toUtf8();
        QTest::newRow("same text in Latin-1") << QString(kPassword).remove("🔑").toLatin1();
        QTest::newRow("empty") << QByteArray();
    }
    void unlockWrongPassword()
    {
        QFETCH(QByteArray, typed);
        const EncryptedBackupKeys keys(QString(kPassword).remove("🔑").toUtf8());
        _BackupKeyBag bag = keybag_parse(keys.keybag());
        QVERIFY(!keybag_unlock(bag, typed));
        for (const auto &entry : std::as_const(bag.classKeys))
            QVERIFY(!entry.contains("KEY"));
    }

    // Kept as the keybag reader's contract: with no class under the password
    // key there is nothing to check the password against. The backup layer
    // above refuses such a keybag.
    void unlockWithoutPasswordClasses()
    {
        EncryptedBackupKeys keys(kPassword.toUtf8());
        for (auto &c : keys.classes)
            c.wrap = EncryptedBackupKeys::kWrapDevice;
        _BackupKeyBag bag = keybag_parse(keys.keybag());
        QVERIFY(keybag_unlock(bag, "anything at all"));
        for (const auto &entry : std::as_const(bag.classKeys))
            QVERIFY(!entry.contains("KEY"));
    }

    // Classes are opened in ascending order of their number, whatever the
    // order of their records; the first that fails stops the unlock, and those
    // before it keep their keys.
    void unlockStopsAtDamagedClass()
    {
        EncryptedBackupKeys keys(kPassword.toUtf8());
        std::reverse(keys.classes.begin(), keys.classes.end()); // records of class 11 first
        const QList<KeybagRecord> records = keys.keybagRecords();
        const int class4 = 11 - 4; // among the WPKY records
        QCOMPARE(recordValue(records, "CLAS", class4), u32(4));
        const QByteArray damaged = flipBit(recordValue(records, "WPKY", class4), 20);
        _BackupKeyBag bag = keybag_parse(keybagBytes(edited(records, "WPKY", class4, damaged)));
        QVERIFY(!keybag_unlock(bag, kPassword.toUtf8()));
        for (int number = 1; number <= 11; ++number)
            QCOMPARE(bag.classKeys.value(number).contains("KEY"), number < 4);
    }

    // With the right password, a keybag that is not whole does not unlock.
    void unlockRefusesMalformed_data()
    {
        QTest::addColumn<KeybagEdit>("edit");
        const auto records = [](const QByteArray &tag, int index, const QByteArray &value) {
            return KeybagEdit([=](const EncryptedBackupKeys &keys) {
                return keybagBytes(edited(keys.keybagRecords(), tag, index, value));
            });
        };
        QTest::newRow("ITER missing") << records("ITER", 0, QByteArray());
        QTest::newRow("ITER of 2 bytes") << records("ITER", 0, QByteArray(2, '\0'));
        QTest::newRow("ITER zero") << records("ITER", 0, u32(0));
        QTest::newRow("class WRAP missing") << records("WRAP", 3, QByteArray());
        QTest::newRow("class WRAP of 3 bytes") << records("WRAP", 3, QByteArray(3, '\0'));
        QTest::newRow("CLAS of 3 bytes") << records("CLAS", 2, QByteArray(3, '\0'));
        QTest::newRow("WPKY empty") << records("WPKY", 0, QByteArray(""));
        QTest::newRow("WPKY of 8 bytes") << records("WPKY", 0, QByteArray(8, char(0xA6)));
        QTest::newRow("WPKY of 16 bytes") << records("WPKY", 0, QByteArray(16, char(0xA6)));
        // Wrapped correctly under the password key, but not a 32-byte key.
        QTest::newRow("class key of 16 bytes") << KeybagEdit([](const EncryptedBackupKeys &keys) {
            return keybagBytes(edited(keys.keybagRecords(), "WPKY", 1,
                                      aesKeyWrap(keys.passwordKey(), keys.classKey(2).left(16))));
        });
        QTest::newRow("class key of 40 bytes") << KeybagEdit([](const EncryptedBackupKeys &keys) {
            return keybagBytes(edited(keys.keybagRecords(), "WPKY", 1,
                                      aesKeyWrap(keys.passwordKey(), keys.classKey(2) + "8 more..")));
        });
        QTest::newRow("last record cut short") << KeybagEdit([](const EncryptedBackupKeys &keys) {
            return keys.keybag().chopped(1);
        });
        QTest::newRow("stray byte at the end") << KeybagEdit([](const EncryptedBackupKeys &keys) {
            return keys.keybag() + 'x';
        });
    }
    void unlockRefusesMalformed()
    {
        QFETCH(KeybagEdit, edit);
        const EncryptedBackupKeys keys(kPassword.toUtf8());
        _BackupKeyBag bag = keybag_parse(edit(keys));
        QVERIFY(!keybag_unlock(bag, kPassword.toUtf8()));
    }

    // Every cut of a keybag parses without reading past its end. A cut inside
    // a record marks the keybag and it does not unlock; a cut between records
    // is a shorter keybag, which unlocks once it has its iteration count.
    void everyTruncationIsSafe()
    {
        const EncryptedBackupKeys keys(kPassword.toUtf8(), 2);
        const QList<KeybagRecord> records = keys.keybagRecords();
        const QByteArray whole = keybagBytes(records);
        const QList<int> ends = recordEnds(records);
        const int iterEnd = ends[6];
        QCOMPARE(records[6].tag, QByteArray("ITER"));
        for (int cut = 0; cut <= whole.size(); ++cut) {
            // Each cut in a buffer of its own, so a read past it is caught.
            const QByteArray blob(whole.constData(), cut);
            _BackupKeyBag bag = keybag_parse(blob);
            const bool boundary = cut == 0 || ends.contains(cut);
            QVERIFY2(bag.malformed == !boundary, qPrintable(QString::number(cut)));
            QVERIFY2(keybag_unlock(bag, kPassword.toUtf8()) == (boundary && cut >= iterEnd),
                     qPrintable(QString::number(cut)));
        }
    }

    // Bytes changed anywhere, lengths among them: never a crash, and never a
    // key that is not 32 bytes.
    void damagedBytesNeverCrash()
    {
        const EncryptedBackupKeys keys(kPassword.toUtf8(), 2);
        const QByteArray whole = keys.keybag();
        QRandomGenerator random(3107);
        for (int round = 0; round < 400; ++round) {
            QByteArray blob = whole;
            const int changes = 1 + random.bounded(4);
            for (int i = 0; i < changes; ++i)
                blob[random.bounded(int(blob.size()))] = char(random.bounded(256));
            _BackupKeyBag bag = keybag_parse(QByteArray(blob.constData(), blob.size()));
            // A changed iteration count could ask for hours of work.
            QMap<QString, QByteArray> header = bag.attributes;
            if (keybag_u32(header, "ITER") > 1000)
                continue;
            keybag_unlock(bag, kPassword.toUtf8());
            for (const auto &entry : std::as_const(bag.classKeys)) {
                if (entry.contains("KEY"))
                    QCOMPARE(entry.value("KEY").size(), 32);
            }
        }
    }

    // RFC 6070 (HMAC-SHA-1) and RFC 7914 (HMAC-SHA-256) test vectors; the
    // longer outputs take more than one block.
    void pbkdf2Vectors_data()
    {
        QTest::addColumn<bool>("sha256");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<quint32>("iterations");
        QTest::addColumn<QByteArray>("key");
        QTest::newRow("SHA-1, 1 round") << false << QByteArray("password") << QByteArray("salt") << 1u
                                        << QByteArray::fromHex("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("SHA-1, 4096 rounds") << false << QByteArray("password") << QByteArray("salt") << 4096u
                                            << QByteArray::fromHex("4b007901b765489abead49d926f721d065a429c1");
        QTest::newRow("SHA-1, 25 bytes") << false << QByteArray("passwordPASSWORDpassword")
                                         << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt") << 4096u
                                         << QByteArray::fromHex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
        QTest::newRow("SHA-1, NUL inside") << false << QByteArray("pass\0word", 9) << QByteArray("sa\0lt", 5)
                                           << 4096u << QByteArray::fromHex("56fa6aa75548099dcc37d7f03425e0c3");
        QTest::newRow("SHA-256, 64 bytes")
            << true << QByteArray("passwd") << QByteArray("salt") << 1u
            << QByteArray::fromHex("55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                                   "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    }
    void pbkdf2Vectors()
    {
        QFETCH(bool, sha256);
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(quint32, iterations);
        QFETCH(QByteArray, key);
        QByteArray out;
        QVERIFY(keybag_pbkdf2(sha256 ? KeybagHash::Sha256 : KeybagHash::Sha1, password, salt, iterations,
                              int(key.size()), out));
        QCOMPARE(out.toHex(), key.toHex());
    }

    // Counts up to the bound are worked on (here stopped at the first report);
    // above it the keybag is refused before a single round, whatever the
    // password.
    void iterationBound_data()
    {
        QTest::addColumn<quint32>("iterations");
        QTest::addColumn<int>("result");
        QTest::newRow("later phones' first stage") << 10000000u << int(KeybagUnlock::Cancelled);
        QTest::newRow("the bound") << 100000000u << int(KeybagUnlock::Cancelled);
        QTest::newRow("one above") << 100000001u << int(KeybagUnlock::TooManyIterations);
        QTest::newRow("the largest count") << 0xffffffffu << int(KeybagUnlock::TooManyIterations);
    }
    void iterationBound()
    {
        QFETCH(quint32, iterations);
        QFETCH(int, result);
        const EncryptedBackupKeys keys(kPassword.toUtf8());
        _BackupKeyBag bag = keybag_parse(keybagBytes(edited(keys.keybagRecords(), "ITER", 0, u32(iterations))));
        int reports = 0;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(keybag_unlock_stages(bag, kPassword.toUtf8(), [&reports](int) {
                     ++reports;
                     return false;
                 })),
                 result);
        QCOMPARE(reports, result == int(KeybagUnlock::Cancelled) ? 1 : 0);
        QVERIFY(clock.elapsed() < 5000);
        for (const auto &entry : std::as_const(bag.classKeys))
            QVERIFY(!entry.contains("KEY"));
    }

    // The reports climb to 100 and a run that is let go unlocks as before.
    void progressIsReported()
    {
        const EncryptedBackupKeys keys(kPassword.toUtf8(), 20000);
        _BackupKeyBag bag = keybag_parse(keys.keybag());
        QList<int> reports;
        QCOMPARE(int(keybag_unlock_stages(bag, kPassword.toUtf8(), [&reports](int percent) {
                     reports << percent;
                     return true;
                 })),
                 int(KeybagUnlock::Unlocked));
        QCOMPARE(bag.classKeys.value(1).value("KEY"), keys.classKey(1));
        QVERIFY(reports.size() >= 5);
        QVERIFY(std::is_sorted(reports.begin(), reports.end()));
        QVERIFY(reports.first() >= 0 && reports.last() <= 100 && reports.last() >= 90);
    }

    void fileKey_data()
    {
        QTest::addColumn<int>("protectionClass");
        QTest::addColumn<QByteArray>("wrappedKey");
        QTest::addColumn<bool>("opens");
        EncryptedBackupKeys keys(kPassword.toUtf8());
        const QByteArray fileKey = EncryptedBackupKeys::fileKeyFor("HomeDomain-Library/SMS/sms.db");
        const QByteArray wrapped = keys.wrappedFileKey(3, fileKey);
        QTest::newRow("40 bytes, class unlocked") << 3 << wrapped << true;
        QTest::newRow("the record's 44 bytes, not cut") << 3 << keys.recordEncryptionKey(3, fileKey) << false;
        QTest::newRow("36 bytes") << 3 << wrapped.left(36) << false;
        QTest::newRow("one bit changed") << 3 << flipBit(wrapped, 39) << false;
        QTest::newRow("wrapped under another class") << 4 << wrapped << false;
        QTest::newRow("class not in the keybag") << 12 << wrapped << false;
        QTest::newRow("class locked (phone key only)") << 5 << keys.wrappedFileKey(5, fileKey) << false;
    }
    void fileKey()
    {
        QFETCH(int, protectionClass);
        QFETCH(QByteArray, wrappedKey);
        QFETCH(bool, opens);
        EncryptedBackupKeys keys(kPassword.toUtf8());
        keys.classes[4].wrap = EncryptedBackupKeys::kWrapDevice; // class 5
        const QByteArray expected = EncryptedBackupKeys::fileKeyFor("HomeDomain-Library/SMS/sms.db");

        _BackupKeyBag bag = keybag_parse(keys.keybag());
        QVERIFY(keybag_file_key(bag, protectionClass, wrappedKey).isEmpty()); // nothing before the unlock
        QVERIFY(keybag_unlock(bag, kPassword.toUtf8()));
        QCOMPARE(keybag_file_key(bag, protectionClass, wrappedKey), opens ? expected : QByteArray());
    }

    // The whole road a backed-up file takes: the class number and wrapped key
    // from its record, the key bag opened with the password, then the stored
    // bytes decrypted in reads of 8192 bytes with the IV carried across.
    void decryptBackedUpFile_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty file: one block of padding") << 0;
        QTest::newRow("ends 8 bytes short of a block") << 8192 * 3 + 8;
        QTest::newRow("ends on a block: a whole block of padding") << 8192 * 2;
        QTest::newRow("one byte") << 1;
    }
    void decryptBackedUpFile()
    {
        QFETCH(int, size);
        const EncryptedBackupKeys keys(kPassword.toUtf8(), 10000); // what phones use
        QByteArray plain = QByteArray("SQLite format 3\0", 16).left(size);
        QRandomGenerator random{quint32(size)};
        while (plain.size() < size)
            plain += char(random.bounded(256));
        const QByteArray fileKey = EncryptedBackupKeys::fileKeyFor("3d0d7e5fb2ce288813306e4d4636395e047a3d28");
        const QByteArray stored = encryptBackupFile(fileKey, plain);
        const QByteArray recordKey = keys.recordEncryptionKey(3, fileKey);

        _BackupKeyBag bag = keybag_parse(keys.keybag());
        QVERIFY(keybag_unlock(bag, kPassword.toUtf8()));
        const QByteArray key = keybag_file_key(bag, 3, recordKey.mid(4));
        QCOMPARE(key.size(), 32);

        aes_context ctx;
        QVERIFY(aes256_set_decrypt_key(ctx, key));
        unsigned char iv[16] = {};
        QByteArray decrypted;
        for (int at = 0; at < stored.size(); at += 8192) {
            const int length = int(qMin<qsizetype>(8192, stored.size() - at));
            const QByteArray block = aes_cbc_decrypt(ctx, iv, stored.constData() + at, length);
            QCOMPARE(block.size(), length);
            decrypted += block;
        }
        const int pad = 16 - size % 16;
        QCOMPARE(decrypted.size(), size + pad);
        QCOMPARE(decrypted.left(size), plain);
        QCOMPARE(decrypted.mid(size), QByteArray(pad, char(pad)));
    }
};

QP_TEST_MAIN(TestBackupKeyBag)

} // namespace tst_backupkeybag

#include "tst_backupkeybag.moc"
