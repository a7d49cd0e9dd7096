#include "app/makerserver.h"

#ifndef QP_SERVER_URL
#define QP_SERVER_URL "http://quillmarten.invalid"
#endif

namespace {
QUrl &serverUrl()
{
    static QUrl url(QStringLiteral(QP_SERVER_URL));
    return url;
}
} // namespace

QUrl makerServerUrl()
{
    return serverUrl();
}

QString makerServerBase()
{
    QString base = serverUrl().toString();
    while (base.endsWith('/'))
        base.chop(1);
    return base;
}

void setMakerServerUrl(const QUrl &url)
{
    serverUrl() = url;
}
