#pragma once
// The daily update check and the advert link in the window's status bar. Both
// ask the maker's server once a day at most (the time of the last check is
// kept in the data folder); each reply is read whole, and one larger than a
// line of text could be is no answer of that server and is ignored. The
// advert comes unauthenticated over plain HTTP, so only its web links open.
#include <QNetworkAccessManager>
#include <QObject>

class QLabel;
class QNetworkReply;
class QWidget;

class UpdateChecks : public QObject
{
    Q_OBJECT

public:
    // advert: the status bar's label, which shows the last advert at once;
    // window: closed when the user goes to fetch a new version.
    UpdateChecks(QLabel *advert, QWidget *window);

    // Sends both requests when the last check is a day old (or unknown).
    void startWhenDue();
    // Each runs once, with the whole reply.
    void onVersionReply(QNetworkReply *reply);
    void onAdvertReply(QNetworkReply *reply);
    // The page of the maker's server that offers the newest version.
    static void openUpdatePage();

private:
    void onAdvertLinkActivated(const QString &link);

    QLabel *advert;
    QWidget *window;
    QNetworkAccessManager updateHttp;
    QNetworkAccessManager advertHttp;
};
