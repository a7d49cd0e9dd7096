#pragma once
// One CSV file, one line per message: date,send,person,number,content.
//
//   date     local "yyyy-MM-dd hh:mm:ss", never quoted
//   send     1 for a message the owner sent, else 0
//   person   no chat: empty; a group: its chat_identifier; else the member's
//            contact name (may be empty)
//   number   no chat: empty; a group: its chat_identifier; else the member's id
//   content  displayText (emoji as "[EMOJI]")
//
// UTF-8 without a byte-order mark, LF line ends, lines in call order.
#include "store/absformatexport.h"
#include "store/msgrecords.h"

#include <QFile>
#include <QTextStream>

class ExportMessagesCsv : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportMessagesCsv(const QString &path); // opens nothing
    ~ExportMessagesCsv() override;

    void begin() override; // truncates the file and writes the header line
    void write(const _MsgMessage &message) override;
    void end() override;

    // A line feed, carriage return or comma makes the field quoted; a double
    // quote is doubled and makes it quoted too.
    static QString csvField(const QString &text);

private:
    QFile file;
    QTextStream stream;
};
