#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "tests/support/testmain.h"
#include "ui/aboutusform.h"
#include "ui_aboutusform.h"

#include <QDesktopServices>
#include <QGraphicsPixmapItem>
#include <QGraphicsView>
#include <QLabel>
#include <QScrollBar>

namespace tst_aboutusform {

namespace {
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};
} // namespace

class TestAboutUsForm : public QObject
{
    Q_OBJECT
    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
    }

    void texts()
    {
        AboutUsForm form(nullptr);
        QCOMPARE(form.widgets()->lbTitle->text(), "About");
        QCOMPARE(form.widgets()->lbProduct->text(), "Quillmarten Parlevane v2.14.12");
        QVERIFY(form.widgets()->lbProduct->wordWrap());
        QCOMPARE(form.widgets()->btnOK->text(), "OK");
        // The notice stays on its one line.
        QLabel *notice = form.widgets()->lbCopyRight;
        QVERIFY(!notice->text().isEmpty());
        QVERIFY(notice->fontMetrics().horizontalAdvance(notice->text()) <= notice->width());
    }

    void theLogoIs64PixelsHighWithoutScrollBarsOrFrame()
    {
        QVERIFY(!QPixmap(":main").isNull());
        QVERIFY(QPixmap(":main").height() != 64); // so the scaling shows
        AboutUsForm form(nullptr);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QGraphicsView *view = form.widgets()->picApp;
        const QList<QGraphicsItem *> items = view->scene()->items();
        QCOMPARE(items.size(), 1);
        auto *logo = qgraphicsitem_cast<QGraphicsPixmapItem *>(items.first());
        QVERIFY(logo);
        QCOMPARE(logo->pixmap().height(), 64);
        QCOMPARE(view->scene()->parent(), &form);
        QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(!view->verticalScrollBar()->isVisible());
        QVERIFY(!view->horizontalScrollBar()->isVisible());
        QCOMPARE(view->frameWidth(), 0);
        QCOMPARE(view->viewport()->size(), QSize(64, 64));
    }

    void clickingTheLinkOpensTheSite()
    {
        setMakerServerUrl(QUrl("http://www.quillmarten.invalid"));
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("http", &catcher, "open");
        AboutUsForm form(nullptr);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QLabel *link = form.widgets()->lbHomePage;
        QVERIFY(link->openExternalLinks());
        QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(4, link->height() / 2));
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl("http://www.quillmarten.invalid/")});
    }
};

QP_TEST_MAIN(TestAboutUsForm)

} // namespace tst_aboutusform

#include "tst_aboutusform.moc"
