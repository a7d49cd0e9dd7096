#include "ui/aboutusform.h"

#include "app/makerserver.h"
#include "app/stylesheet.h"
#include "ui_aboutusform.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPixmap>

namespace {
const char kVersion[] = QP_VERSION;
}

AboutUsForm::AboutUsForm(QWidget *parent) : QDialog(parent), movable(this), ui(new Ui::AboutUsForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &QDialog::accept);

    ui->lbProduct->setText(
        QStringLiteral("%1 v%2").arg(QObject::tr("Quillmarten Parlevane"), QLatin1String(kVersion)));

    // Whatever the size of the picture, the logo is 64 pixels high.
    auto *scene = new QGraphicsScene(this);
    scene->addPixmap(QPixmap(QStringLiteral(":main")).scaledToHeight(64, Qt::FastTransformation));
    ui->picApp->setStyleSheet(QStringLiteral("background:Transparent;border:0;"));
    ui->picApp->setScene(scene);

    // The label opens the link itself (openExternalLinks), in the browser.
    const QString site = makerServerBase();
    const QString shown = QUrl(site).host().isEmpty() ? site : QUrl(site).host();
    ui->lbHomePage->setText(QStringLiteral("<a href=\"%1/\">%2</a>").arg(site.toHtmlEscaped(), shown.toHtmlEscaped()));
    ui->lbCopyRight->setText(QStringLiteral("Copyright \u00A9 2026 Quillmarten"));
}

AboutUsForm::~AboutUsForm()
{
    delete ui;
}
