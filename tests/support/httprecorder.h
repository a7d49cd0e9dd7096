#pragma once
// A loopback HTTP server that records every request and answers 200 with a
// fixed body. Stands in for the maker's web server.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QTcpServer>
#include <memory>
#include <QUrl>

class HttpRecorder : public QObject
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray version;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit HttpRecorder(QObject *parent = nullptr);

    // "http://127.0.0.1:<port>"
    QUrl url() const;
    void setReplyBody(const QByteArray &body) { replyBody = body; }
    QList<Request> requests() const { return received; }
    bool waitForRequests(int count, int timeoutMs = 20000) const;

private:
    void onConnection();

    QTcpServer server;
    QByteArray replyBody;
    QList<Request> received;
};
