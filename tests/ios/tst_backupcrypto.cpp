#include "ios/backupcrypto.h"
#include "tests/support/encryptedbackupfixture.h"
#include "tests/support/testmain.h"

#include <QRandomGenerator>

#include <cstring>

namespace tst_backupcrypto {

using namespace testsupport;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// RFC 3394, 4.3, 4.5 and 4.6: the vectors with a 256-bit KEK.
const char *const kRfcKek = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
const char *const kRfc256Data = "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F";
const char *const kRfc256Wrapped = "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21";

// NIST SP 800-38A, F.2.5 and F.2.6: CBC-AES256.
const char *const kNistKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const char *const kNistIv = "000102030405060708090a0b0c0d0e0f";
const char *const kNistPlain = "6bc1bee22e409f96e93d7e117393172a"
                               "ae2d8a571e03ac9c9eb76fac45af8e51"
                               "30c81c46a35ce411e5fbc1191a0a52ef"
                               "f69f2445df4f9b17ad2b417be66c3710";
const char *const kNistCipher = "f58c4c04d6e5f1ba779eabfb5f7bfbd6"
                                "9cfc4e967edb808d679f777bc6702c7d"
                                "39f23369a9d9bacfa530e26304231461"
                                "b2eb05e2c39be9fcda6c19078c6a9d1b";

QByteArray flipBit(QByteArray data, int byte, int bit = 0)
{
    data[byte] = char(data[byte] ^ (1 << bit));
    return data;
}

QByteArray ivBytes(const unsigned char iv[16])
{
    return QByteArray(reinterpret_cast<const char *>(iv), 16);
}

} // namespace

class TestBackupCrypto : public QObject
{
    Q_OBJECT

private slots:
    // The fixture's own PBKDF2, against RFC 6070, so that the keybags it
    // builds carry keys derived the standard way.
    void fixturePbkdf2KnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<quint32>("iterations");
        QTest::addColumn<QByteArray>("derived");
        QTest::newRow("1 iteration") << QByteArray("password") << QByteArray("salt") << 1u
                                     << hex("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("2 iterations") << QByteArray("password") << QByteArray("salt") << 2u
                                      << hex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
        QTest::newRow("4096 iterations") << QByteArray("password") << QByteArray("salt") << 4096u
                                         << hex("4b007901b765489abead49d926f721d065a429c1");
        QTest::newRow("two output blocks")
            << QByteArray("passwordPASSWORDpassword") << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt")
            << 4096u << hex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
        QTest::newRow("NUL inside") << QByteArray("pass\0word", 9) << QByteArray("sa\0lt", 5) << 4096u
                                    << hex("56fa6aa75548099dcc37d7f03425e0c3");
    }
    void fixturePbkdf2KnownAnswers()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(quint32, iterations);
        QFETCH(QByteArray, derived);
        QCOMPARE(pbkdf2HmacSha1(password, salt, iterations, int(derived.size())).toHex(), derived.toHex());
    }

    void unwrapKnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("kek");
        QTest::addColumn<QByteArray>("keyData");
        QTest::addColumn<QByteArray>("wrapped");
        const QByteArray kek = hex(kRfcKek);
        QTest::newRow("4.3: 128-bit data") << kek << hex("00112233445566778899AABBCCDDEEFF")
                                           << hex("64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7");
        QTest::newRow("4.5: 192-bit data")
            << kek << hex("00112233445566778899AABBCCDDEEFF0001020304050607")
            << hex("A8F9BC1612C68B3FF6E6F4FBE30E71E4769C8B80A32CB8958CD5D17D6B254DA1");
        QTest::newRow("4.6: 256-bit data") << kek << hex(kRfc256Data) << hex(kRfc256Wrapped);
    }
    void unwrapKnownAnswers()
    {
        QFETCH(QByteArray, kek);
        QFETCH(QByteArray, keyData);
        QFETCH(QByteArray, wrapped);
        QCOMPARE(aes_key_unwrap(kek, wrapped).toHex(), keyData.toHex());
        // The fixture wraps the way the RFC does.
        QCOMPARE(aesKeyWrap(kek, keyData).toHex(), wrapped.toHex());
    }

    // Only the first 32 bytes of the KEK count, and a part block after the
    // last whole one is not read.
    void unwrapIgnoresExtraBytes()
    {
        QCOMPARE(aes_key_unwrap(hex(kRfcKek) + "tail", hex(kRfc256Wrapped)).toHex(), hex(kRfc256Data).toHex());
        QCOMPARE(aes_key_unwrap(hex(kRfcKek), hex(kRfc256Wrapped) + "1234567").toHex(),
                 hex(kRfc256Data).toHex());
    }

    void unwrapRefuses_data()
    {
        QTest::addColumn<QByteArray>("kek");
        QTest::addColumn<QByteArray>("wrapped");
        const QByteArray kek = hex(kRfcKek);
        const QByteArray wrapped = hex(kRfc256Wrapped);
        QTest::newRow("bit flipped in the check block") << kek << flipBit(wrapped, 0);
        QTest::newRow("bit flipped in the first key block") << kek << flipBit(wrapped, 8, 7);
        QTest::newRow("bit flipped in the last byte") << kek << flipBit(wrapped, 39, 3);
        QTest::newRow("other KEK") << flipBit(kek, 31) << wrapped;
        QTest::newRow("last block missing") << kek << wrapped.left(32);
        QTest::newRow("blocks swapped") << kek << wrapped.left(8) + wrapped.mid(16, 8) + wrapped.mid(8, 8)
                                                   + wrapped.mid(24);
        QTest::newRow("KEK of 31 bytes") << kek.left(31) << wrapped;
        QTest::newRow("empty KEK") << QByteArray() << wrapped;
        // One key block is below what the RFC defines; the default value alone
        // must not pass for an empty key.
        QTest::newRow("one key block") << kek << wrapped.left(16);
        QTest::newRow("check block only") << kek << QByteArray(8, char(0xA6));
        QTest::newRow("part of a block") << kek << QByteArray(7, char(0xA6));
        QTest::newRow("empty") << kek << QByteArray();
    }
    void unwrapRefuses()
    {
        QFETCH(QByteArray, kek);
        QFETCH(QByteArray, wrapped);
        const QByteArray key = aes_key_unwrap(kek, wrapped);
        QVERIFY(key.isNull());
    }

    void cbcKnownAnswer()
    {
        aes_context ctx;
        QVERIFY(aes256_set_decrypt_key(ctx, hex(kNistKey)));
        unsigned char iv[16];
        std::memcpy(iv, hex(kNistIv).constData(), 16);
        const QByteArray cipher = hex(kNistCipher);
        QCOMPARE(aes_cbc_decrypt(ctx, iv, cipher.constData(), int(cipher.size())).toHex(), hex(kNistPlain).toHex());
        QCOMPARE(ivBytes(iv).toHex(), cipher.right(16).toHex());
        // The fixture encrypts the way the standard does.
        QCOMPARE(aesCbcEncrypt(hex(kNistKey), hex(kNistIv), hex(kNistPlain)).toHex(), cipher.toHex());
    }

    // A file is decrypted in reads of 8192 bytes with one IV buffer carried
    // from read to read; the pieces must join into the one-pass result.
    void cbcChainsAcrossReads_data()
    {
        QTest::addColumn<QList<int>>("reads");
        QTest::newRow("8192 twice") << QList<int>{8192, 8192};
        QTest::newRow("one block, then the rest") << QList<int>{16, 16368};
        QTest::newRow("block by block at the seam") << QList<int>{8176, 16, 16, 8176};
    }
    void cbcChainsAcrossReads()
    {
        QFETCH(QList<int>, reads);
        const QByteArray key = EncryptedBackupKeys::fileKeyFor("Library/SMS/sms.db");
        QByteArray plain(16384 - 1, '\0');
        QRandomGenerator random(13);
        for (char &c : plain)
            c = char(random.bounded(256));
        const QByteArray stored = encryptBackupFile(key, plain);
        QCOMPARE(stored.size(), 16384);

        aes_context whole;
        QVERIFY(aes256_set_decrypt_key(whole, key));
        unsigned char wholeIv[16] = {};
        const QByteArray onePass = aes_cbc_decrypt(whole, wholeIv, stored.constData(), int(stored.size()));
        QCOMPARE(onePass.left(plain.size()), plain);
        QCOMPARE(onePass.right(1), QByteArray(1, '\x01')); // the padding

        aes_context pieces;
        QVERIFY(aes256_set_decrypt_key(pieces, key));
        unsigned char iv[16] = {};
        QByteArray joined;
        int at = 0;
        for (int length : reads) {
            joined += aes_cbc_decrypt(pieces, iv, stored.constData() + at, length);
            at += length;
        }
        QCOMPARE(at, int(stored.size()));
        QCOMPARE(joined, onePass);
        QCOMPARE(ivBytes(iv), ivBytes(wholeIv));
    }

    void cbcRefuses_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("keyed");
        QTest::newRow("15 bytes") << 15 << true;
        QTest::newRow("8191 bytes") << 8191 << true;
        QTest::newRow("one byte over a block") << 17 << true;
        QTest::newRow("negative length") << -16 << true;
        QTest::newRow("no key set") << 32 << false;
    }
    void cbcRefuses()
    {
        QFETCH(int, length);
        QFETCH(bool, keyed);
        aes_context ctx;
        if (keyed)
            QVERIFY(aes256_set_decrypt_key(ctx, hex(kNistKey)));
        const QByteArray data(8192, 'x');
        unsigned char iv[16];
        std::memcpy(iv, hex(kNistIv).constData(), 16);
        QVERIFY(aes_cbc_decrypt(ctx, iv, data.constData(), length).isNull());
        // The chain is left where it was.
        QCOMPARE(ivBytes(iv).toHex(), QByteArray(kNistIv));
    }

    // A key shorter than 32 bytes sets nothing (and leaves a context that had
    // a key without one); a longer key counts with its first 32 bytes.
    void decryptKeyLength()
    {
        aes_context ctx;
        QVERIFY(aes256_set_decrypt_key(ctx, hex(kNistKey)));
        QVERIFY(!aes256_set_decrypt_key(ctx, hex(kNistKey).left(31)));
        unsigned char iv[16] = {};
        const QByteArray cipher = hex(kNistCipher);
        QVERIFY(aes_cbc_decrypt(ctx, iv, cipher.constData(), 16).isNull());

        QVERIFY(aes256_set_decrypt_key(ctx, hex(kNistKey) + "more key bytes"));
        std::memcpy(iv, hex(kNistIv).constData(), 16);
        QCOMPARE(aes_cbc_decrypt(ctx, iv, cipher.constData(), int(cipher.size())).toHex(), hex(kNistPlain).toHex());
    }
};

QP_TEST_MAIN(TestBackupCrypto)

} // namespace tst_backupcrypto

#include "tst_backupcrypto.moc"
