#include "export/smsprinter.h"

#include "export/smspagelayout.h"

#include <QPageSize>
#include <QPrintPreviewDialog>
#include <QPrinter>

SMSPrinter::SMSPrinter(QObject *parent) : QObject(parent) {}

void SMSPrinter::print(const QList<_MsgMessage *> &list)
{
    setMessages(list);
    QPrinter printer(QPrinter::ScreenResolution);
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::NativeFormat);
    if (!printer.isValid())
        printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);

    QPrintPreviewDialog dialog(&printer, nullptr);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setModal(true);
    dialog.setWindowTitle(tr("IDS_PRINT_SMS"));
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, &SMSPrinter::onPaintRequested);
    dialog.exec();
}

void SMSPrinter::onPaintRequested(QPrinter *printer)
{
    SMSPageLayout layout;
    if (!layout.begin(printer))
        return;
    for (const _MsgMessage *m : std::as_const(messages))
        layout.drawMessage(*m);
}
