#pragma once
// The maker's web server: error reports, update and advert checks, help pages.
// One base URL, fixed at build time; tests point it at a loopback server.
#include <QString>
#include <QUrl>

QUrl makerServerUrl();
// The base URL as text without a trailing slash, for building page links.
QString makerServerBase();
void setMakerServerUrl(const QUrl &url);
