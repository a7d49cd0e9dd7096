#pragma once
// One fixed-width text file, one line per message (also the ".doc" choice):
//
//   Date     30 wide  system-locale short date and time
//   Flag      6 wide  "To" sent, "From" received, empty for group events
//   Name     40 wide  chatTitle without numbers, "Unknown" without a chat
//   Message           displayText, CR dropped, each LF one space
//
// A width only pads: a longer value is written whole and pushes the rest of
// its line to the right. UTF-8 without a byte-order mark, LF line ends.
#include "store/absformatexport.h"
#include "store/msgrecords.h"

#include <QFile>
#include <QLocale>
#include <QTextStream>

class ExportMessagesTxt : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportMessagesTxt(const QString &path); // opens nothing
    ~ExportMessagesTxt() override;

    void begin() override; // truncates the file and writes the header line
    void write(const _MsgMessage &message) override;
    void end() override;

private:
    QFile file;
    QTextStream stream;
    QLocale locale;
    // The title of the chat of the previous line: neighbouring lines mostly
    // share their chat, and joining member names per line is costly.
    const _MsgChat *titleChat = nullptr;
    QString title;
};
