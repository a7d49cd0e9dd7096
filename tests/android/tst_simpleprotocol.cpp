#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "tests/support/testmain.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <atomic>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tst_simpleprotocol {

using namespace simpleprotocol;

namespace {

// The phone's end of a loopback connection as a plain blocking descriptor, so
// a helper thread may write to it while the test's thread reads the Qt side.
class RawPeer
{
public:
    RawPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.serverPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            qFatal("loopback connect failed");
        server.waitForNewConnection(5000);
        local.reset(server.nextPendingConnection());
        local->setParent(nullptr);
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~RawPeer()
    {
        if (writer.joinable())
            writer.join();
        closePeer();
    }

    QTcpSocket *socket() { return local.get(); }
    void send(const QByteArray &bytes) { (void)!::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL); }
    void closePeer()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Writes the pieces one after the other, waiting gapMs before each.
    void sendLater(const QList<QByteArray> &pieces, int gapMs, bool closeAfter = false)
    {
        writer = std::thread([this, pieces, gapMs, closeAfter]() {
            for (const QByteArray &piece : pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                send(piece);
            }
            if (closeAfter)
                ::shutdown(fd, SHUT_WR);
        });
    }
    // Everything that arrives until nothing more comes for a moment.
    QByteArray receive(int quietMs = 300)
    {
        timeval limit{quietMs / 1000, (quietMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        QByteArray all;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return all;
            all.append(chunk, int(n));
        }
    }

private:
    QTcpServer server;
    std::unique_ptr<QTcpSocket> local;
    int fd = -1;
    std::thread writer;
};

// Sets a flag after ms from another thread, as the GUI thread does on Cancel.
class DelayedCancel
{
public:
    explicit DelayedCancel(int ms)
        : thread([this, ms]() {
              std::this_thread::sleep_for(std::chrono::milliseconds(ms));
              flag = true;
          })
    {
    }
    ~DelayedCancel() { thread.join(); }
    std::atomic<bool> flag{false};

private:
    std::thread thread;
};

} // namespace

class TestSimpleProtocol : public QObject
{
    Q_OBJECT

private slots:
    void framing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("call");  // line, command, or a token to expect
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("error"); // "", transfer, remote
        QTest::addColumn<QString>("message");

        const QString ok;
        QTest::newRow("line feed") << QByteArray("$bye:\n") << "command" << "$bye:" << ok << ok;
        QTest::newRow("CRLF reads like LF") << QByteArray("$bye:\r\n") << "command" << "$bye:" << ok << ok;
        QTest::newRow("CR inside a line is dropped")
            << QByteArray("$he\rllo:model=Pixel\r 7;\n") << "command" << "$hello:model=Pixel 7;" << ok << ok;
        QTest::newRow("empty line is a line") << QByteArray("\n") << "line" << "" << ok << ok;
        QTest::newRow("empty line is no command")
            << QByteArray("\n") << "command" << "" << "transfer" << "Null command.";
        QTest::newRow("CR alone is no command")
            << QByteArray("\r\n") << "$ready:" << "" << "transfer" << "Null command.";
        QTest::newRow("Latin-1 in")
            << QByteArray("$sms:caf\xE9\n") << "command" << QString::fromUtf8("$sms:café") << ok << ok;
        QTest::newRow("error with UTF-8 text")
            << QByteArray("$error:" + QString::fromUtf8("Speicher voll – 😀 Ä").toUtf8().toBase64() + "\n")
            << "command" << "" << "remote" << QString::fromUtf8("Speicher voll – 😀 Ä");
        QTest::newRow("error before the expected token")
            << QByteArray("$error:" + QByteArray("no sms permission").toBase64() + "\r\n")
            << "$ready:" << "" << "remote" << "no sms permission";
        QTest::newRow("error decoder skips foreign characters")
            << QByteArray("$error:Ym9v*ICEh\n") << "command" << "" << "remote" << "boo !!";
        QTest::newRow("error text ends at NUL")
            << QByteArray("$error:" + QByteArray("abc\0def", 7).toBase64() + "\n") << "command" << ""
            << "remote" << "abc";
        QTest::newRow("word without colon is ordinary")
            << QByteArray("$error" + QByteArray("x").toBase64() + "\n") << "command" << "$erroreA==" << ok << ok;
        QTest::newRow("ready alone") << QByteArray("$ready:\n") << "$ready:" << "$ready:" << ok << ok;
        QTest::newRow("ready with more") << QByteArray("$ready:v=3\n") << "$ready:" << "$ready:v=3" << ok << ok;
        QTest::newRow("no line feed before the end")
            << QByteArray("$bye:") << "command" << "" << "transfer" << "*";
        QTest::newRow("nothing at all") << QByteArray() << "line" << "" << "transfer" << "*";
    }
    void framing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, call);
        QFETCH(QString, result);
        QFETCH(QString, error);
        QFETCH(QString, message);

        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QString got;
        QString kind;
        QString what;
        try {
            if (call == "line")
                got = readLine(&buffer, 100);
            else if (call == "command")
                got = readCommand(&buffer, 100);
            else
                got = expectCommand(&buffer, call, 100);
        } catch (const SocketDataTransferException &e) {
            kind = "transfer";
            what = QString::fromUtf8(e.what());
        } catch (const RemoteException &e) {
            kind = "remote";
            what = QString::fromUtf8(e.what());
        }
        QCOMPARE(kind, error);
        if (message != "*")
            QCOMPARE(what, message);
        QCOMPARE(got, result);
    }

    // A line is read without taking anything after its line feed, so raw
    // bytes and later lines stay for the next call.
    void nothingPastTheLineIsTaken()
    {
        QByteArray bytes("$count:2\n$batch:\r\nRAW!$end:\n");
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QCOMPARE(readCommand(&buffer, 0), QString("$count:2"));
        QCOMPARE(expectCommand(&buffer, "$batch:", 0), QString("$batch:"));
        char raw[4];
        readData(&buffer, raw, 4, 0);
        QCOMPARE(QByteArray(raw, 4), QByteArray("RAW!"));
        QCOMPARE(readLine(&buffer, 0), QString("$end:"));
    }

    void lineLengthIsCapped_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly the cap") << kMaxLineBytes << QByteArray("\n") << true;
        QTest::newRow("one byte over") << kMaxLineBytes + 1 << QByteArray("\n") << false;
        QTest::newRow("over, and no line feed ever") << kMaxLineBytes + 5000 << QByteArray() << false;
    }
    void lineLengthIsCapped()
    {
        QFETCH(qint64, length);
        QFETCH(QByteArray, ending);
        QFETCH(bool, accepted);
        QByteArray bytes(length, 'x');
        bytes += ending;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        try {
            const QString line = readLine(&buffer, 0);
            QVERIFY(accepted);
            QCOMPARE(line.size(), length);
        } catch (const SocketDataTransferException &e) {
            QVERIFY2(!accepted, e.what());
            QCOMPARE(QString(e.what()), QString("Line longer than 16777216 bytes."));
            // The reader stopped near the cap instead of holding all it was sent.
            QVERIFY(buffer.pos() <= kMaxLineBytes + 4096);
        }
    }

    void wrongTokenTellsThePeer_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("message");
        QTest::newRow("token in upper case")
            << QByteArray("$READY:\n") << "$ready:" << "invalid feedback [$READY:], must be [$ready:]";
        QTest::newRow("another command")
            << QByteArray("$hello:model=X;\r\n") << "$ready:" << "invalid feedback [$hello:model=X;], must be [$ready:]";
        QTest::newRow("Latin-1 line goes back as UTF-8")
            << QByteArray("$b\xE9:\n") << "$batch:" << QString::fromUtf8("invalid feedback [$bé:], must be [$batch:]");
    }
    void wrongTokenTellsThePeer()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, token);
        QFETCH(QString, message);
        RawPeer peer;
        peer.send(line);
        try {
            expectCommand(peer.socket(), token, 2000);
            QFAIL("expected LocalException");
        } catch (const LocalException &e) {
            QCOMPARE(QString::fromUtf8(e.what()), message);
        }
        QCOMPARE(peer.receive(), "$error:" + message.toUtf8().toBase64() + "\n");
    }

    void writesUtf8Lines_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<bool>("flush");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("bye, six bytes") << "$bye:" << "" << true << QByteArray("$bye:\n");
        QTest::newRow("e acute as two bytes")
            << "$sms:" << QString::fromUtf8("é") << true << QByteArray("$sms:\xC3\xA9\n");
        QTest::newRow("unflushed, pushed out by the next wait")
            << "$sms:" << "1,0,YQ==,Yg==" << false << QByteArray("$sms:1,0,YQ==,Yg==\n");
    }
    void writesUtf8Lines()
    {
        QFETCH(QString, token);
        QFETCH(QString, payload);
        QFETCH(bool, flush);
        QFETCH(QByteArray, wire);
        RawPeer peer;
        sendCommand(peer.socket(), token, payload, flush, -1);
        if (flush)
            QCOMPARE(peer.socket()->bytesToWrite(), qint64(0));
        else
            peer.socket()->waitForBytesWritten(1000);
        QCOMPARE(peer.receive(), wire);
    }

    // A large unflushed batch and then a flushed line: everything has left
    // the socket's buffer when the flushed write returns.
    void flushPushesEverythingOut()
    {
        RawPeer peer;
        const QByteArray sms = "$sms:" + QByteArray(2000, 'A') + "\n";
        for (int i = 0; i < 2000; ++i)
            writeData(peer.socket(), sms.constData(), sms.size(), false, -1);
        QByteArray received;
        std::thread reader([&]() { received = peer.receive(500); });
        sendCommand(peer.socket(), "$end:", "", true, -1);
        QCOMPARE(peer.socket()->bytesToWrite(), qint64(0));
        reader.join();
        QCOMPARE(received.size(), sms.size() * 2000 + 6);
        QVERIFY(received.endsWith("\n$end:\n"));
    }

    void waitsAndEnds_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("silent peer, per-wait limit")
            << "silent" << 300 << "" << "Network operation timed out" << 280 << 3000;
        QTest::newRow("bytes keep coming: no limit for the line")
            << "dribble" << 250 << "$hello:model=A;" << "" << 400 << 5000;
        QTest::newRow("peer closes in mid-line")
            << "close" << -1 << "" << "The remote host closed the connection" << 0 << 3000;
    }
    void waitsAndEnds()
    {
        QFETCH(QString, peer);
        QFETCH(int, timeoutMs);
        QFETCH(QString, result);
        QFETCH(QString, message);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        RawPeer phone;
        if (peer == "dribble")
            phone.sendLater({"$hel", "lo:m", "odel", "=A;\n"}, 150);
        else if (peer == "close")
            phone.sendLater({"$hello:mod"}, 100, true);
        QElapsedTimer clock;
        clock.start();
        QString got;
        QString what;
        try {
            got = readCommand(phone.socket(), timeoutMs);
        } catch (const SocketDataTransferException &e) {
            what = QString::fromUtf8(e.what());
        }
        const qint64 took = clock.elapsed();
        QCOMPARE(what, message);
        QCOMPARE(got, result);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
    }

    void cancelEndsAnyWait_data()
    {
        QTest::addColumn<QString>("call");
        QTest::newRow("read without limit") << "read";
        QTest::newRow("raw read without limit") << "data";
    }
    void cancelEndsAnyWait()
    {
        QFETCH(QString, call);
        RawPeer phone;
        DelayedCancel cancel(200);
        CancelScope scope(&cancel.flag);
        QElapsedTimer clock;
        clock.start();
        try {
            if (call == "read") {
                readCommand(phone.socket(), -1);
            } else {
                char block[16];
                readData(phone.socket(), block, sizeof block, -1);
            }
            QFAIL("the wait did not end");
        } catch (const SocketDataTransferException &e) {
            QCOMPARE(QString(e.what()), QString(kCancelled));
        }
        QVERIFY(clock.elapsed() < 2000);
        // The socket is dropped, so the phone sees the end at once.
        QCOMPARE(phone.socket()->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(phone.receive(), QByteArray());
    }

    void cancelScopesNest()
    {
        std::atomic<bool> outer{true};
        std::atomic<bool> inner{false};
        QVERIFY(!CancelScope::cancelRequested());
        {
            CancelScope a(&outer);
            QVERIFY(CancelScope::cancelRequested());
            {
                CancelScope b(&inner);
                QVERIFY(!CancelScope::cancelRequested());
            }
            QVERIFY(CancelScope::cancelRequested());
            // Another thread has its own scope.
            bool elsewhere = true;
            std::thread([&]() { elsewhere = CancelScope::cancelRequested(); }).join();
            QVERIFY(!elsewhere);
        }
        QVERIFY(!CancelScope::cancelRequested());
    }

    void servicePorts_data()
    {
        QTest::addColumn<QTime>("now");
        QTest::addColumn<int>("base");
        QTest::newRow("10:37:05") << QTime(10, 37, 5) << 20500;
        QTest::newRow("lowest") << QTime(0, 0, 0) << 10000;
        QTest::newRow("highest") << QTime(23, 59, 59) << 45900;
    }
    void servicePorts()
    {
        QFETCH(QTime, now);
        QFETCH(int, base);
        // Calls in one second give consecutive ports until the counter has
        // used 99; the next call uses 1 again, and 100 is never used.
        int previous = nextServicePort(now);
        QVERIFY(previous > base && previous < base + 100);
        bool wrapped = false;
        for (int i = 0; i < 120; ++i) {
            const int port = nextServicePort(now);
            if (previous == base + 99) {
                QCOMPARE(port, base + 1);
                wrapped = true;
            } else {
                QCOMPARE(port, previous + 1);
            }
            previous = port;
        }
        QVERIFY(wrapped);
        QVERIFY(nextServicePort() >= 10001);
    }

    // Workers open services at the same time: 8 threads taking 99 ports each
    // see every counter value exactly 8 times, never one twice too often.
    void servicePortCounterIsShared()
    {
        const QTime now(12, 0, 0);
        QList<int> seen[8];
        std::vector<std::thread> workers;
        for (int t = 0; t < 8; ++t) {
            workers.emplace_back([&, t]() {
                for (int i = 0; i < 99; ++i)
                    seen[t].append(nextServicePort(now) - 10000);
            });
        }
        for (std::thread &worker : workers)
            worker.join();
        QMap<int, int> uses;
        for (const QList<int> &list : seen) {
            for (int counter : list)
                uses[counter] += 1;
        }
        QCOMPARE(uses.size(), 99);
        for (auto it = uses.cbegin(); it != uses.cend(); ++it) {
            QVERIFY(it.key() >= 1 && it.key() <= 99);
            QCOMPARE(it.value(), 8);
        }
    }
};

QP_TEST_MAIN(TestSimpleProtocol)

} // namespace tst_simpleprotocol

#include "tst_simpleprotocol.moc"
