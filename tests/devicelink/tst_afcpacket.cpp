// AFC packets against a scripted device at the far end of a socketpair: the
// bytes of every request, how replies are read and judged, the read and write
// loops, and replies crafted to overrun or exhaust the client.
#include "devicelink/afcoperations.h"
#include "tests/devicelink/afcpeer.h"
#include "tests/devicelink/cfmessages.h"
#include "tests/support/testmain.h"

#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>

namespace tst_afcpacket {

using afcpeer::Request;
using afcpeer::u64;
using cfmessages::thrown;
using testsupport::PeerSocket;
using testsupport::SocketPeer;

namespace {

enum class Op { Open, Close, Lock, Remove, MakeDir, Rename, ReadDir, FileInfo };

const QString kPath = QString::fromUtf8("/DCIM/100APPLE/Grüße \U0001F389.JPG");
const QString kOther = QString::fromUtf8("/Downloads/caf\u00e9.txt");

QByteArray nulEnded(const QString &text)
{
    return text.toUtf8() + QByteArray(1, '\0');
}

using InfoMap = QMap<QString, QString>;

} // namespace

} // namespace tst_afcpacket
Q_DECLARE_METATYPE(tst_afcpacket::Op)
namespace tst_afcpacket {

class TestAfcPacket : public QObject
{
    Q_OBJECT

private slots:
    void headersCarryTheSocketAsPacketNumber_data()
    {
        QTest::addColumn<int>("socket");
        QTest::addColumn<quint64>("packetNumber");
        QTest::newRow("socket 0 (none)") << 0 << quint64(0x00000000FFFFFFFFull);
        QTest::newRow("socket 1234") << 1234 << quint64(1234);
        QTest::newRow("a negative number, sign-extended") << -2 << quint64(0xFFFFFFFFFFFFFFFEull);
    }
    void headersCarryTheSocketAsPacketNumber()
    {
        QFETCH(int, socket);
        QFETCH(quint64, packetNumber);
        AfcPacketHeader header;
        mobiledevice_afc_header_init(header, socket, AFC_OP_FILE_CLOSE);
        header.entireLength = header.thisLength = 48;
        QCOMPARE(header.toBytes(), afcpeer::header(48, 48, packetNumber, 20));
        const AfcPacketHeader back = AfcPacketHeader::fromBytes(header.toBytes());
        QCOMPARE(QByteArray(back.magic, 8), QByteArray("CFA6LPAA"));
        QCOMPARE(back.packetNumber, packetNumber);
        QCOMPARE(back.operation, AFC_OP_FILE_CLOSE);
        // Bytes a peer cut short read as 0.
        QCOMPARE(AfcPacketHeader::fromBytes(header.toBytes().left(30)).operation, quint64(0));
    }

    void everyRequestGoesAsTheProtocolSays_data()
    {
        QTest::addColumn<Op>("op");
        QTest::addColumn<quint64>("operation");
        QTest::addColumn<QByteArray>("parameters");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray ok = afcpeer::status(0);
        // Mode and lock operation are 32-bit arguments in the low half.
        QTest::newRow("open") << Op::Open << quint64(13) << u64(3) + nulEnded(kPath)
                              << afcpeer::reply(14, u64(0x1122334455667788ull));
        QTest::newRow("close") << Op::Close << quint64(20) << u64(0x1122334455667788ull) << ok;
        QTest::newRow("lock") << Op::Lock << quint64(27) << u64(0x1122334455667788ull) + u64(6) << ok;
        QTest::newRow("remove") << Op::Remove << quint64(8) << nulEnded(kPath) << ok;
        QTest::newRow("make directory") << Op::MakeDir << quint64(9) << nulEnded(kPath) << ok;
        QTest::newRow("rename") << Op::Rename << quint64(24) << nulEnded(kPath) + nulEnded(kOther) << ok;
        QTest::newRow("read directory") << Op::ReadDir << quint64(3) << nulEnded(kPath)
                                        << afcpeer::reply(2, QByteArray(".\0..\0a\0", 7));
        QTest::newRow("file information") << Op::FileInfo << quint64(10) << nulEnded(kPath)
                                          << afcpeer::reply(2, QByteArray("st_size\0" "5\0", 10));
        QTest::newRow("an empty path is one NUL") << Op::MakeDir << quint64(9) << QByteArray(1, '\0') << ok;
    }
    void everyRequestGoesAsTheProtocolSays()
    {
        QFETCH(Op, op);
        QFETCH(quint64, operation);
        QFETCH(QByteArray, parameters);
        QFETCH(QByteArray, reply);
        Request seen;
        SocketPeer peer([&](PeerSocket &device) {
            seen = afcpeer::readRequest(device);
            device.write(reply);
        });
        const int s = peer.socket();
        const QString path = parameters.size() == 1 ? QString() : kPath;
        switch (op) {
        case Op::Open:
            QCOMPARE(mobiledevice_afc_file_open(s, path, 3), quint64(0x1122334455667788ull));
            break;
        case Op::Close:
            mobiledevice_afc_file_close(s, 0x1122334455667788ull);
            break;
        case Op::Lock:
            QCOMPARE(mobiledevice_afc_file_lock(s, 0x1122334455667788ull, 6), 0);
            break;
        case Op::Remove:
            mobiledevice_afc_remove_path(s, path);
            break;
        case Op::MakeDir:
            mobiledevice_afc_make_directory(s, path);
            break;
        case Op::Rename:
            mobiledevice_afc_rename_path(s, path, kOther);
            break;
        case Op::ReadDir:
            QCOMPARE(mobiledevice_afc_read_directory(s, path), QStringList({".", "..", "a"}));
            break;
        case Op::FileInfo:
            QCOMPARE(mobiledevice_afc_get_file_info(s, path).value("st_size"), QString("5"));
            break;
        }
        peer.join();
        const quint64 length = 40 + quint64(parameters.size());
        QCOMPARE(seen.raw, afcpeer::header(length, length, quint64(s), operation) + parameters);
    }

    void repliesAreTakenWhateverTheirMagicOrPacketNumber()
    {
        SocketPeer peer([](PeerSocket &device) {
            afcpeer::readRequest(device);
            device.write(afcpeer::header(48, 48, 999, 1, "XXXXXXXX") + u64(0));
        });
        mobiledevice_afc_remove_path(peer.socket(), "/a");
    }

    void statusReplies_data()
    {
        QTest::addColumn<Op>("op");
        QTest::addColumn<quint64>("code");
        QTest::addColumn<QString>("error");
        const QString failed = "read AFC failed, received AFC_OP_STATUS, param1=%1.";
        for (const auto &row : QList<QPair<const char *, Op>>{
                 {"remove", Op::Remove}, {"make directory", Op::MakeDir}, {"rename", Op::Rename}, {"close", Op::Close}}) {
            QTest::addRow("%s, 0", row.first) << row.second << quint64(0) << QString();
            QTest::addRow("%s, 8", row.first) << row.second << quint64(8) << failed.arg(8);
        }
        QTest::newRow("a code past 32 bits") << Op::Remove << quint64(0x100000008ull) << failed.arg(0x100000008ull);
    }
    void statusReplies()
    {
        QFETCH(Op, op);
        QFETCH(quint64, code);
        QFETCH(QString, error);
        SocketPeer peer([&](PeerSocket &device) {
            afcpeer::readRequest(device);
            device.write(afcpeer::status(code));
        });
        QCOMPARE(thrown([&] {
                     if (op == Op::Remove)
                         mobiledevice_afc_remove_path(peer.socket(), "/a");
                     else if (op == Op::MakeDir)
                         mobiledevice_afc_make_directory(peer.socket(), "/a");
                     else if (op == Op::Rename)
                         mobiledevice_afc_rename_path(peer.socket(), "/a", "/b");
                     else
                         mobiledevice_afc_file_close(peer.socket(), 1);
                 }),
                 error);
    }

    void repliesOfEveryKind_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("withStatus");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        const QByteArray twelve("abcdefghijkl");
        for (quint64 op : {2, 14, 19})
            QTest::addRow("operation %llu hands out its payload", op) << afcpeer::reply(op, twelve) << false << twelve
                                                                      << -1 << QString();
        QTest::newRow("status 0 hands out its code bytes") << afcpeer::status(0) << false << u64(0) << -1 << QString();
        QTest::newRow("a status output takes any code") << afcpeer::status(0x700000013ull) << true
                                                        << u64(0x700000013ull) << 0x13 << QString();
        QTest::newRow("no payload") << afcpeer::header(40, 40, 0, 2) << false << QByteArray() << -1 << QString();
        QTest::newRow("an entire length below 40") << afcpeer::header(12, 12, 0, 2) << false << QByteArray() << -1
                                                   << QString();
        // Only the low 32 bits count: 2^32 + 48 is a payload of 8.
        QTest::newRow("an entire length past 32 bits") << afcpeer::header(0x100000030ull, 48, 0, 2) + twelve.left(8)
                                                       << false << twelve.left(8) << -1 << QString();
        const QString unknown = "read AFC failed, Unknown operation code received %1, param1=%2.";
        QTest::newRow("operation 0") << afcpeer::reply(0, u64(77)) << false << QByteArray() << -1 << unknown.arg(0).arg(77);
        QTest::newRow("operation 5") << afcpeer::reply(5, u64(77)) << false << QByteArray() << -1 << unknown.arg(5).arg(77);
        QTest::newRow("all 64 bits of the operation count") << afcpeer::reply(0x100000002ull, twelve) << false
                                                            << QByteArray() << -1
                                                            << unknown.arg(0x100000002ull).arg(0x6867666564636261ull);
        // A field partly past the payload reads the missing bytes as 0.
        QTest::newRow("an unknown operation with 2 bytes") << afcpeer::reply(6, "\x01\x02") << false << QByteArray()
                                                           << -1 << unknown.arg(6).arg(0x0201);
        QTest::newRow("a status of 4 bytes is a short payload") << afcpeer::reply(1, "\0\0\0\0") << true
                                                                << QByteArray() << -1
                                                                << "read AFC file block data failed.";
        QTest::newRow("an empty status") << afcpeer::reply(1, QByteArray()) << false << QByteArray() << -1
                                         << "read AFC file block data failed.";
    }
    void repliesOfEveryKind()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, withStatus);
        QFETCH(QByteArray, payload);
        QFETCH(int, status);
        QFETCH(QString, error);
        SocketPeer peer([&](PeerSocket &device) { device.write(reply); });
        AfcPacketHeader header;
        int code = -1;
        QByteArray got;
        QCOMPARE(thrown([&] { got = mobiledevice_afc_recv(peer.socket(), header, withStatus ? &code : nullptr); }),
                 error);
        QCOMPARE(got, payload);
        QCOMPARE(code, status);
    }

    // A crafted length is refused before anything is allocated or awaited:
    // the device keeps its end open, and no wait may run its 60 s.
    void lengthsThePeerCannotBeTrustedWith_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<qint64>("dataLimit");
        QTest::addRow("2 GiB") << afcpeer::header(0x7FFFFFFF, 40, 0, 2) << qint64(-1);
        QTest::addRow("one byte past 64 MiB") << afcpeer::header(40 + (64 << 20) + 1, 40, 0, 1) << qint64(-1);
        QTest::addRow("data one byte longer than asked") << afcpeer::header(40 + 1001, 40, 0, 2) << qint64(1000);
        QTest::addRow("a handle longer than asked") << afcpeer::header(40 + 9, 40, 0, 14) << qint64(8);
    }
    void lengthsThePeerCannotBeTrustedWith()
    {
        QFETCH(QByteArray, reply);
        QFETCH(qint64, dataLimit);
        SocketPeer peer([&](PeerSocket &device) {
            device.write(reply);
            device.closedByClient(20000);
        });
        QElapsedTimer clock;
        clock.start();
        AfcPacketHeader header;
        QCOMPARE(thrown([&] { mobiledevice_afc_recv(peer.socket(), header, nullptr, dataLimit); }),
                 QString("read AFC file block data failed."));
        QVERIFY(clock.elapsed() < 5000);
        shutdown(peer.socket(), SHUT_RDWR);
    }

    void cutShortReplies_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("error");
        QTest::newRow("20 header bytes") << afcpeer::status(0).left(20) << "read AFC header failed.";
        QTest::newRow("nothing") << QByteArray() << "read AFC header failed.";
        QTest::newRow("10 of 100 payload bytes") << afcpeer::header(140, 140, 0, 2) + QByteArray(10, 'x')
                                                 << "read AFC file block data failed.";
    }
    void cutShortReplies()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, error);
        SocketPeer peer([&](PeerSocket &device) {
            device.write(sent);
            device.shutdownWrite();
        });
        AfcPacketHeader header;
        QCOMPARE(thrown([&] { mobiledevice_afc_recv(peer.socket(), header); }), error);
    }

    void readingAsksInChunksAndStopsAtTheEnd_data()
    {
        QTest::addColumn<unsigned>("length");
        QTest::addColumn<QList<int>>("replySizes"); // -1: a success status
        QTest::addColumn<QList<quint64>>("asked");
        QTest::addColumn<unsigned>("read");
        QTest::newRow("100000 bytes") << 100000u << QList<int>{65536, 34464} << QList<quint64>{65536, 34464} << 100000u;
        QTest::newRow("a short first reply") << 100000u << QList<int>{1000, 65536, 33464}
                                             << QList<quint64>{65536, 65536, 33464} << 100000u;
        QTest::newRow("the end of the file") << 100000u << QList<int>{65536, 0} << QList<quint64>{65536, 34464}
                                             << 65536u;
        // A success status carries a code, not data: nothing of it is kept.
        QTest::newRow("a success status") << 100u << QList<int>{10, -1} << QList<quint64>{100, 90} << 10u;
        QTest::newRow("nothing asked") << 0u << QList<int>{} << QList<quint64>{} << 0u;
    }
    void readingAsksInChunksAndStopsAtTheEnd()
    {
        QFETCH(unsigned, length);
        QFETCH(QList<int>, replySizes);
        QFETCH(QList<quint64>, asked);
        QFETCH(unsigned, read);
        QByteArray file(int(length), Qt::Uninitialized);
        for (int i = 0; i < file.size(); ++i)
            file[i] = char(i * 7 + 3);
        QList<quint64> seen;
        SocketPeer peer([&](PeerSocket &device) {
            int at = 0;
            for (int size : replySizes) {
                const Request request = afcpeer::readRequest(device);
                QCOMPARE(request.operation, quint64(15));
                QCOMPARE(request.entire, quint64(56));
                QCOMPARE(afcpeer::u64At(request.parameters, 0), quint64(42));
                seen.append(afcpeer::u64At(request.parameters, 8));
                device.write(size < 0 ? afcpeer::status(0) : afcpeer::reply(2, file.mid(at, size)));
                at += qMax(size, 0);
            }
        });
        QByteArray buffer(int(length) + 16, '\x5a');
        QCOMPARE(mobiledevice_afc_file_read(peer.socket(), 42, buffer.data(), length), read);
        peer.join();
        QCOMPARE(seen, asked);
        QCOMPARE(buffer.left(int(read)), file.left(int(read)));
        QCOMPARE(buffer.mid(int(read)), QByteArray(buffer.size() - int(read), '\x5a'));
    }

    // A reply longer than the count asked for must never reach past it in
    // the caller's buffer.
    void aReadNeverCopiesMoreThanAsked()
    {
        SocketPeer peer([](PeerSocket &device) {
            afcpeer::readRequest(device);
            device.write(afcpeer::reply(2, QByteArray(2000, 'x')));
            device.closedByClient();
        });
        QByteArray buffer(1016, '\x5a');
        QCOMPARE(thrown([&] { mobiledevice_afc_file_read(peer.socket(), 1, buffer.data(), 1000); }),
                 QString("read AFC file block data failed."));
        QCOMPARE(buffer, QByteArray(1016, '\x5a'));
        shutdown(peer.socket(), SHUT_RDWR);
    }

    void writingSendsChunksEachAnsweredBeforeTheNext()
    {
        QByteArray data(70000, Qt::Uninitialized);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i % 251);
        QList<int> chunks;
        QByteArray arrived;
        bool waitedForAnswers = true;
        SocketPeer peer([&](PeerSocket &device) {
            for (int i = 0; i < 3; ++i) {
                const Request request = afcpeer::readRequest(device);
                QCOMPARE(request.operation, quint64(16));
                QCOMPARE(request.thisLength, quint64(48));
                QCOMPARE(afcpeer::u64At(request.parameters, 0), quint64(9));
                chunks.append(request.data.size());
                arrived += request.data;
                // Nothing more may come before this chunk is answered.
                pollfd entry{device.socket(), POLLIN, 0};
                if (poll(&entry, 1, 100) != 0)
                    waitedForAnswers = false;
                device.write(afcpeer::status(0));
            }
        });
        QCOMPARE(mobiledevice_afc_file_write(peer.socket(), 9, data.constData(), unsigned(data.size())), 70000u);
        peer.join();
        QCOMPARE(chunks, QList<int>({32768, 32768, 4464}));
        QVERIFY(waitedForAnswers);
        QCOMPARE(arrived, data);
        // Nothing at all for nothing to write.
        SocketPeer silent([](PeerSocket &device) { QVERIFY(device.closedByClient(5000)); });
        QCOMPARE(mobiledevice_afc_file_write(silent.socket(), 9, data.constData(), 0), 0u);
        shutdown(silent.socket(), SHUT_RDWR);
    }

    // A socket that takes a chunk only in parts: all of it reaches the
    // device before the client waits for the answer.
    void aChunkTakenInPartsIsCompleted()
    {
        const QByteArray data(32768, 'q');
        QByteArray arrived;
        SocketPeer peer([&](PeerSocket &device) {
            const int small = 2048;
            setsockopt(device.socket(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            QByteArray head = device.read(48);
            while (arrived.size() < data.size()) {
                const QByteArray piece = device.read(qMin(1024, data.size() - arrived.size()));
                if (piece.isEmpty())
                    break;
                arrived += piece;
                QThread::msleep(2);
            }
            device.write(afcpeer::status(0));
        });
        const int small = 2048;
        setsockopt(peer.socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        fcntl(peer.socket(), F_SETFL, fcntl(peer.socket(), F_GETFL) | O_NONBLOCK);
        QCOMPARE(mobiledevice_afc_file_write(peer.socket(), 3, data.constData(), unsigned(data.size())), 32768u);
        peer.join();
        QCOMPARE(arrived, data);
    }

    // The device reads the write's header and leaves while the chunk is only
    // partly sent: the rest cannot follow, and the write fails.
    void aChunkTheDeviceNeverTakesFails()
    {
        SocketPeer peer([](PeerSocket &device) {
            device.read(48);
            QThread::msleep(100);
            shutdown(device.socket(), SHUT_RDWR);
        });
        const int small = 2048;
        setsockopt(peer.socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const QByteArray data(32768, 'q');
        QCOMPARE(thrown([&] { mobiledevice_afc_file_write(peer.socket(), 3, data.constData(), 32768); }),
                 QString("write AFC file error."));
    }

    void openAndLockReadTheirFields_data()
    {
        QTest::addColumn<bool>("lock");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<quint64>("result");
        QTest::newRow("open: a handle") << false << afcpeer::reply(14, u64(0xABCDEF)) << quint64(0xABCDEF);
        QTest::newRow("open: no payload") << false << afcpeer::reply(14, QByteArray()) << quint64(0);
        QTest::newRow("open: 3 bytes, the rest 0") << false << afcpeer::reply(14, "\x01\x02\x03") << quint64(0x030201);
        QTest::newRow("open: a success status is no handle") << false << afcpeer::status(0) << quint64(0);
        QTest::newRow("lock: the status, not thrown") << true << afcpeer::status(19) << quint64(19);
        QTest::newRow("lock: no status is 0") << true << afcpeer::reply(2, u64(19)) << quint64(0);
    }
    void openAndLockReadTheirFields()
    {
        QFETCH(bool, lock);
        QFETCH(QByteArray, reply);
        QFETCH(quint64, result);
        SocketPeer peer([&](PeerSocket &device) {
            afcpeer::readRequest(device);
            device.write(reply);
        });
        if (lock)
            QCOMPARE(quint64(mobiledevice_afc_file_lock(peer.socket(), 1, 6)), result);
        else
            QCOMPARE(mobiledevice_afc_file_open(peer.socket(), "/a", 1), result);
    }

    void listingsAndInformationAnsweredByABareStatusAreEmpty()
    {
        SocketPeer peer([](PeerSocket &device) {
            for (int i = 0; i < 2; ++i) {
                afcpeer::readRequest(device);
                device.write(afcpeer::status(0));
            }
        });
        QVERIFY(mobiledevice_afc_read_directory(peer.socket(), "/").isEmpty());
        QVERIFY(mobiledevice_afc_get_file_info(peer.socket(), "/").isEmpty());
    }

    void names_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("an empty name between") << QByteArray("a\0\0b\0", 5) << QStringList{"a", "", "b"};
        QTest::newRow("no NUL at the end") << QByteArray("a\0b", 3) << QStringList{"a"};
        QTest::newRow("nothing") << QByteArray() << QStringList{};
        QTest::newRow("dots and UTF-8") << QByteArray(".\0..\0", 5) + nulEnded(kOther.mid(11))
                                        << QStringList{".", "..", kOther.mid(11)};
    }
    void names()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QStringList, names);
        QCOMPARE(mobiledevice_afc_parse_names(payload), names);
    }

    void fileInformation_data()
    {
        using Map = InfoMap;
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<Map>("info");
        QTest::newRow("two entries") << QByteArray("st_ifmt\0S_IFDIR\0st_size\0" "64\0", 27)
                                     << Map{{"st_ifmt", "S_IFDIR"}, {"st_size", "64"}};
        QTest::newRow("an empty key is skipped") << QByteArray("\0st_size\0" "1\0", 11) << Map{{"st_size", "1"}};
        QTest::newRow("a key without a value") << QByteArray("st_size\0" "1\0st_mtime\0", 19) << Map{{"st_size", "1"}};
        QTest::newRow("a repeated key keeps the last") << QByteArray("k\0" "1\0k\0" "2\0", 8) << Map{{"k", "2"}};
        QTest::newRow("an empty value") << QByteArray("k\0\0", 3) << Map{{"k", ""}};
    }
    void fileInformation()
    {
        QFETCH(QByteArray, payload);
        QFETCH(InfoMap, info);
        QCOMPARE(mobiledevice_afc_parse_file_info(payload), info);
    }

    // Socket 0 stands for "not connected"; descriptor 0 is standard input,
    // which must not be written to or read from.
    void socketZeroFailsWithoutTouchingStandardInput()
    {
        QCOMPARE(thrown([] { mobiledevice_afc_file_open(0, "/a", 1); }), QString("send AFC header (13) error."));
        AfcPacketHeader header;
        QCOMPARE(thrown([&] { mobiledevice_afc_recv(0, header); }), QString("read AFC header failed."));
    }

    void aDeviceThatLeftFailsTheHeader()
    {
        SocketPeer peer([](PeerSocket &) {});
        peer.join();
        peer.closePeer();
        QCOMPARE(thrown([&] { mobiledevice_afc_make_directory(peer.socket(), "/a"); }),
                 QString("send AFC header (9) error."));
    }

    void everyStatusHasAText()
    {
        QSet<QString> texts;
        for (AfcStatus status : kAllAfcStatuses) {
            const QString text = toText(status);
            QVERIFY2(!text.isEmpty() && !text.startsWith("unknown status"), qPrintable(QString::number(int(status))));
            texts.insert(text);
        }
        QCOMPARE(texts.size(), int(std::size(kAllAfcStatuses)));
        QCOMPARE(toText(AfcStatus::ObjectNotFound), QString("object not found"));
        QCOMPARE(toText(AfcStatus(99)), QString("unknown status 99"));
    }
};

QP_TEST_MAIN(TestAfcPacket)

} // namespace tst_afcpacket

#include "tst_afcpacket.moc"
