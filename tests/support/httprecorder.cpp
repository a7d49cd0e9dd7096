#include "tests/support/httprecorder.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest/QTest>

HttpRecorder::HttpRecorder(QObject *parent) : QObject(parent)
{
    server.listen(QHostAddress::LocalHost, 0);
    connect(&server, &QTcpServer::newConnection, this, [this]() { onConnection(); });
}

QUrl HttpRecorder::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
}

void HttpRecorder::setReply(const QByteArray &pathPrefix, const Reply &reply)
{
    for (auto &entry : replies) {
        if (entry.first == pathPrefix) {
            entry.second = reply;
            return;
        }
    }
    replies.append({pathPrefix, reply});
}

bool HttpRecorder::waitForRequests(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return received.size() >= count;
}

void HttpRecorder::onConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer]() {
            buffer->append(socket->readAll());
            const int headerEnd = buffer->indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            Request request;
            const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            request.version = first.value(2);
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                           lines[i].mid(colon + 1).trimmed());
            }
            const int length = request.headers.value("content-length", "0").toInt();
            if (buffer->size() < headerEnd + 4 + length)
                return;
            request.body = buffer->mid(headerEnd + 4, length);
            buffer->remove(0, headerEnd + 4 + length);
            received.append(request);
            Reply reply;
            reply.body = replyBody;
            for (const auto &entry : std::as_const(replies)) {
                if (request.path.startsWith(entry.first)) {
                    reply = entry.second;
                    break;
                }
            }
            QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason
                              + "\r\nContent-Type: text/plain\r\nContent-Length: "
                              + QByteArray::number(reply.body.size()) + "\r\nConnection: close\r\n";
            if (!reply.location.isEmpty())
                head += "Location: " + reply.location + "\r\n";
            head += "\r\n";
            if (!reply.inTwoPieces) {
                socket->write(head + reply.body);
                socket->disconnectFromHost();
                return;
            }
            const int half = int(reply.body.size() / 2);
            socket->write(head + reply.body.left(half));
            socket->flush();
            QPointer<QTcpSocket> guard(socket);
            const QByteArray rest = reply.body.mid(half);
            QTimer::singleShot(50, this, [guard, rest]() {
                if (!guard)
                    return;
                guard->write(rest);
                guard->disconnectFromHost();
            });
        });
    }
}
