#pragma once
// A loopback HTTP server that records every request and answers 200 with a
// fixed body, or the reply taught for the request's path. Stands in for the
// maker's web server.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
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

    // What a request gets: a status, an optional Location (for redirects)
    // and a body, sent at once or in two pieces 50 ms apart.
    struct Reply
    {
        int status = 200;
        QByteArray reason = "OK";
        QByteArray location;
        QByteArray body;
        bool inTwoPieces = false;
    };

    explicit HttpRecorder(QObject *parent = nullptr);

    // "http://127.0.0.1:<port>"
    QUrl url() const;
    void setReplyBody(const QByteArray &body) { replyBody = body; }
    // Requests whose path starts with pathPrefix get reply (the first prefix
    // taught that fits); the others the plain 200 with the reply body.
    void setReply(const QByteArray &pathPrefix, const Reply &reply);
    void clearReplies() { replies.clear(); }
    QList<Request> requests() const { return received; }
    bool waitForRequests(int count, int timeoutMs = 20000) const;

private:
    void onConnection();

    QTcpServer server;
    QByteArray replyBody;
    QList<QPair<QByteArray, Reply>> replies;
    QList<Request> received;
};
