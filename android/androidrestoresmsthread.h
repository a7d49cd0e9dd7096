#pragma once
// Puts messages onto an Android phone as SMS through the companion app's
// "restore2" service, leaving out those the phone's cache database already
// holds, and records every message the phone acknowledged in that cache.
//
// The conversation (after "$ready:"):
//   app -> PC  "$defsmsapp:" + flag     not 0: the user must make the app the
//                                       default SMS app; the PC answers
//                                       "$defsmsapp:" once the tip is closed
//   PC -> app  "$batch:", up to 100 "$sms:" + record, "$end:"
//   app -> PC  "$batch:"                acknowledges the batch
//   PC -> app  "$bye:"                  after the last acknowledged batch
// A "$sms:" record: ms since 1970, from-me flag, base64(UTF-8) of the
// correspondent's address and of the text without U+FFFC.
//
// Each batch is written to the cache in its own transaction, committed once
// the phone has acknowledged it and rolled back otherwise: a batch the phone
// may not hold is never marked as sent, and one it acknowledged is never sent
// again.
#include "store/exportmessagesdb.h"
#include "store/msgrecords.h"

#include <QList>
#include <QSharedPointer>
#include <QThread>

class AndroidDevice;
class ProgressForm;
class QTcpSocket;

class AndroidRestoreSMSThread : public QThread
{
public:
    // messages: records of store, which the thread keeps alive for its whole
    // run. Those without an address (see address) are counted in skipped and
    // left out; the rest are sent in message order. The success box counts
    // the messages the phone acknowledged, not those it had already.
    AndroidRestoreSMSThread(AndroidDevice *device, const QList<_MsgMessage *> &messages,
                            const QSharedPointer<_MsgStore> &store, ProgressForm *form, QObject *parent);
    ~AndroidRestoreSMSThread() override;

    // The correspondent an SMS on the phone gets: in a one-to-one
    // conversation its one person, also for what the user sent (phones often
    // store no handle for that); in a group, the sender of a received
    // message. None for group events and for what the user sent to a group,
    // which one SMS cannot carry.
    static const _MsgHandle *address(const _MsgMessage &message);
    // The "$sms:" payload of a message that has an address.
    static QString record(const _MsgMessage &message);

    static const int kBatchSize = 100;

protected:
    void run() override;

private:
    void sendBatch(QTcpSocket *socket, int first, int size);

    AndroidDevice *device;
    QList<_MsgMessage *> messages;
    QSharedPointer<_MsgStore> store;
    ProgressForm *form;
    ExportMessagesDb db;
    int skipped = 0;
    int sent = 0;
    // Sent in the batch under way, and sent in acknowledged batches.
    int pending = 0;
    int written = 0;
    bool cacheStale = false;
};
