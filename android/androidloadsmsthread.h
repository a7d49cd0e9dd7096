#pragma once
// Reads every SMS of a connected phone into the phone's cache database
// through the companion app's "backup2" service.
//
// The conversation (after "$ready:"):
//   app -> PC  "$count:" + n            any time outside a batch; 0 = unknown
//   app -> PC  "$batch:", "$sms:" + record per message, "$end:"
//   PC -> app  "$batch:"                acknowledges each batch
//   app -> PC  "$bye:"; PC -> app "$bye:"
// A "$sms:" record: ms since 1970, from-me flag (1 = sent by the owner), then
// base64(UTF-8) of address, contact name, body and subject, comma-separated.
// Unknown lines, and records of fewer than six fields, are ignored.
//
// The new cache is built in a file beside the old one and put in its place
// only after the whole load was committed, so a failed or cancelled load
// leaves the previous cache as it was.
#include "store/exportmessagesdb.h"

#include <QString>
#include <QThread>

class AndroidDevice;
class ProgressForm;
class QTcpSocket;

class AndroidLoadSMSThread : public QThread
{
public:
    AndroidLoadSMSThread(AndroidDevice *device, ProgressForm *form, QObject *parent);
    ~AndroidLoadSMSThread() override;

    // The records of one "$sms:" payload under a country (exposed for the
    // fuzz target): false for fewer than six fields. chat and message point
    // at the handle and the chat given.
    static bool parseRecord(const QString &payload, const _CountryInfo &country, _MsgHandle &handle,
                            _MsgChat &chat, _MsgMessage &message);

protected:
    void run() override;

private:
    void readBatch();
    void parseSmsLine(const QString &payload);
    void postCount();
    void releaseSocket();

    AndroidDevice *device;
    ProgressForm *form;
    QTcpSocket *socket = nullptr;
    int total = -1;
    int received = 0;
    ExportMessagesDb db;
    qint64 lastPostMs = -1;
    int lastValue = -2;
};
