#include "ui/updatechecks.h"

#include "app/datafolder.h"
#include "app/durablefile.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "platform/desktop/desktopopener.h"
#include "ui/windowseams.h"

#include <QFile>
#include <QLabel>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>
#include <QWidget>
#include <exception>

namespace {

const int kBuildNumber = 40;
// The update check runs at most once in this many seconds.
const quint32 kCheckInterval = 86400;
const char *const kCheckTimeFile = "last-check-version-time";
const char *const kAdvertFile = "last-adv";
// Both answers are a line of text; a reply beyond this is no answer of the
// maker's server and is not read into memory.
const qint64 kMaxReplyBytes = 64 * 1024;
const char *const kOversized = "oversized";

// Stops a reply that grows past the bound; the slot then ignores its body.
void capReply(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxReplyBytes || total > kMaxReplyBytes) {
            reply->setProperty(kOversized, true);
            reply->abort();
        }
    });
}

// Text up to the first NUL byte.
QByteArray beforeNul(QByteArray bytes)
{
    const int nul = int(bytes.indexOf('\0'));
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

} // namespace

UpdateChecks::UpdateChecks(QLabel *advert, QWidget *window) : QObject(window), advert(advert), window(window)
{
    // The advert comes unauthenticated over plain HTTP (or from the file it
    // left): its links are opened here, and only web ones.
    advert->setTextFormat(Qt::RichText);
    advert->setOpenExternalLinks(false);
    advert->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(advert, &QLabel::linkActivated, this, &UpdateChecks::onAdvertLinkActivated);
    QFile saved(appDataDir().absoluteFilePath(QLatin1String(kAdvertFile)));
    if (saved.open(QIODevice::ReadOnly))
        advert->setText(QString::fromUtf8(saved.readAll()));
}

void UpdateChecks::startWhenDue()
{
    qint64 last = 0;
    QFile file(appDataDir().absoluteFilePath(QLatin1String(kCheckTimeFile)));
    if (file.open(QIODevice::ReadOnly)) {
        bool ok = false;
        last = QString::fromLatin1(beforeNul(file.readAll())).toLongLong(&ok);
        if (!ok)
            last = 0;
    }
    // Unsigned 32-bit difference: a time in the future makes it huge.
    const quint32 elapsed = quint32(WindowSeams::unixNow()) - quint32(last);
    if (last != 0 && elapsed <= kCheckInterval)
        return;

    const QString base = makerServerBase();
    const QString pid = QLatin1String(kProductId);
    auto request = [](const QString &url) {
        QNetworkRequest r{QUrl(url)};
        // A redirect is an answer other than 200, not a second request.
        r.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        return r;
    };
    QNetworkReply *update = updateHttp.get(
        request(base + QStringLiteral("/sms_check_update.php?pid=%1&ver=%2&q=1").arg(pid).arg(kBuildNumber)));
    capReply(update);
    connect(update, &QNetworkReply::finished, this, [this, update]() { onVersionReply(update); });
    QNetworkReply *advertReply = advertHttp.get(request(base + QStringLiteral("/adv.php?pid=%1").arg(pid)));
    capReply(advertReply);
    connect(advertReply, &QNetworkReply::finished, this, [this, advertReply]() { onAdvertReply(advertReply); });
}

void UpdateChecks::onVersionReply(QNetworkReply *reply)
{
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // No status: the server was never reached, so no check took place.
    if (!status.isValid())
        return;
    try {
        DurableFile::write(appDataDir().absoluteFilePath(QLatin1String(kCheckTimeFile)),
                           QByteArray::number(quint32(WindowSeams::unixNow())));
    } catch (const std::exception &e) {
        qWarning("%s", e.what()); // the check then simply runs again at the next start
    }
    if (status.toInt() != 200 || reply->property(kOversized).toBool())
        return;
    const QString text = QString::fromLatin1(beforeNul(reply->readAll()));
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        return;
    const QString question = QStringLiteral("A new version of %1 is available. Would you like to download it now?")
                                 .arg(QObject::tr("Quillmarten Parlevane"));
    if (!showQuestion(question))
        return;
    shellOpen(text);
    window->close();
}

void UpdateChecks::onAdvertReply(QNetworkReply *reply)
{
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() != 200 || reply->property(kOversized).toBool())
        return;
    QString text = QString::fromUtf8(beforeNul(reply->readAll()));
    if (!text.startsWith(QLatin1String("<a"), Qt::CaseInsensitive))
        return;
    static const QRegularExpression opening(QStringLiteral("^<a"), QRegularExpression::CaseInsensitiveOption);
    text.replace(opening, QStringLiteral("<a style=\"%1\"")
                              .arg(QStringLiteral("color:%1;text-decoration:none;").arg(QStringLiteral("#0000FF"))));
    advert->setText(text);
    QFile file(appDataDir().absoluteFilePath(QLatin1String(kAdvertFile)));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
}

void UpdateChecks::onAdvertLinkActivated(const QString &link)
{
    const QUrl url(link);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        desktop::openUrl(url);
}

void UpdateChecks::openUpdatePage()
{
    shellOpen(makerServerBase()
              + QStringLiteral("/sms_check_update.php?pid=%1&ver=%2").arg(QLatin1String(kProductId)).arg(kBuildNumber));
}
