#include "export/exportsmspdf.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPageSize>

#include <stdexcept>

ExportSMSPdf::ExportSMSPdf(const QString &path) : path(path), printer(QPrinter::ScreenResolution)
{
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    layout.begin(&printer);
}

ExportSMSPdf::~ExportSMSPdf() = default;

void ExportSMSPdf::begin()
{
    // Painting on a painter that never began draws nothing and fails nowhere:
    // without this check an export into a folder it cannot write would end
    // "successfully" with the files missing.
    if (!layout.isActive())
        fail();
}

void ExportSMSPdf::write(const _MsgMessage &message)
{
    layout.drawMessage(message);
}

void ExportSMSPdf::end()
{
    if (!layout.end())
        fail();
}

void ExportSMSPdf::fail() const
{
    // The folder, not the file: the export writes under a temporary name
    // that means nothing to the user.
    const QString text = QCoreApplication::translate("ExportSMSPdf", "IDS_CANNOT_CREATE_PDF_IN_%1")
                             .arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath()));
    throw std::runtime_error(text.toUtf8().toStdString());
}
