#pragma once
// One conversation as one A4 PDF file, painted through SMSPageLayout on a
// screen-resolution printer with 20-point margins. The file is created, with
// page 1 and its number, as soon as the writer exists; begin() reports when
// that failed.
#include "export/smspagelayout.h"
#include "store/absformatexport.h"
#include "store/msgrecords.h"

#include <QPrinter>
#include <QString>

class ExportSMSPdf : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportSMSPdf(const QString &path);
    ~ExportSMSPdf() override; // ends the painter, then drops the printer

    // Throws std::runtime_error when the PDF file could not be created.
    void begin() override;
    void write(const _MsgMessage &message) override;
    // Finishes the file; throws std::runtime_error when that fails.
    void end() override;

    const QPrinter &device() const { return printer; }

private:
    [[noreturn]] void fail() const;

    QString path;
    QPrinter printer;
    SMSPageLayout layout;
};
