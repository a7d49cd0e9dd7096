#pragma once
// Printing through Qt's print preview: every repaint of the preview, and the
// printing itself, lays the whole list out anew from page 1 with the same page
// layout as the PDF export.
#include "store/msgrecords.h"

#include <QList>
#include <QObject>

class QPrinter;

class SMSPrinter : public QObject
{
    Q_OBJECT

public:
    explicit SMSPrinter(QObject *parent);

    // GUI thread. Runs the modal preview on an A4 portrait printer with
    // 20-point margins (PDF output when no printer is installed). The records
    // must stay alive until it returns.
    void print(const QList<_MsgMessage *> &list);
    // What the next paint request lays out (print sets it too).
    void setMessages(const QList<_MsgMessage *> &list) { messages = list; }

public slots:
    void onPaintRequested(QPrinter *printer);

private:
    QList<_MsgMessage *> messages; // not owned
};
