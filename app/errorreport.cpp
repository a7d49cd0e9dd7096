#include "app/errorreport.h"

#include "app/makerserver.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QRegularExpression>
#include <QThread>

namespace {
const char *const kVersion = "2.14.12";
const int kBuild = 40;
} // namespace

QString errorReportEncode(const QString &text)
{
    QString encoded = QString::fromLatin1(text.toUtf8().toBase64());
    encoded.replace('/', '!');
    encoded.replace('=', '-');
    return encoded;
}

QString errorReportText(const QString &message)
{
    static const QRegularExpression br(QStringLiteral("< *br */?>"),
                                       QRegularExpression::CaseInsensitiveOption);
    QString text = message;
    text.replace(br, QStringLiteral("\r\n"));
    text.replace('<', QLatin1String("&lt;"));
    text.replace('>', QLatin1String("&gt;"));
    return text;
}

QByteArray errorReportBody(const QString &message)
{
    const QString version = QStringLiteral("%1(%2)").arg(QLatin1String(kVersion)).arg(kBuild);
    const QString body = "prod=" + errorReportEncode(QObject::tr("Quillmarten Parlevane"))
                         + "&ver=" + errorReportEncode(version)
                         + "&err=" + errorReportEncode(errorReportText(message));
    return body.toUtf8();
}

void sendErrorReport(const QString &message)
{
    QUrl url = makerServerUrl();
    url.setPath(QStringLiteral("/err_report.php"));
    if (url.port() < 0 && url.scheme() == QLatin1String("http"))
        url.setPort(80);

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Host", makerServerUrl().host().toUtf8());

    // One client per report, freed when its request ends either way. A child
    // of the application (when made in its thread), so that whoever ends the
    // process can see reports still on their way and let them finish.
    QCoreApplication *app = QCoreApplication::instance();
    auto *client = new QNetworkAccessManager(app && app->thread() == QThread::currentThread() ? app : nullptr);
    QNetworkReply *reply = client->post(request, errorReportBody(message));
    QObject::connect(reply, &QNetworkReply::finished, client, [client, reply]() {
        reply->deleteLater();
        client->deleteLater();
    });
}
