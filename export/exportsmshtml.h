#pragma once
// One conversation as one self-contained XHTML 1.0 page (inline styles, no
// other file referred to). The page, written without line breaks except the
// one that ends each message block:
//
//   <!DOCTYPE ...XHTML 1.0 Transitional...><html xmlns="...">
//   <head><meta ... charset=utf-8 /><title>product title</title></head><body>
//   per message:
//     <a name="sms{rowid}"></a><div style="color:{#008040 sent | #0000FF received};font-size:16px;">
//     <div>{local date}</div><div>{"To: " | "From: "}{chat title with numbers}</div></div>
//     <div style="font-size:14px;">{displayText}</div><br/><br/>LF
//   </body></html>
//
// The title and the text go through escapeHtml; the date is the locale's.
#include "store/absformatexport.h"
#include "store/msgrecords.h"

#include <QFile>
#include <QLocale>
#include <QTextStream>

class ExportSMSHtml : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportSMSHtml(const QString &path); // opens nothing
    ~ExportSMSHtml() override;

    void begin() override; // truncates the file and writes the page head
    void write(const _MsgMessage &message) override;
    void end() override; // closes the page

private:
    QFile file;
    QTextStream stream;
    QLocale locale;
    // The escaped title of the previous message's chat: a page is one
    // conversation, so it rarely changes.
    const _MsgChat *titleChat = nullptr;
    QString title;
};
