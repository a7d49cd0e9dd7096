#pragma once
// Worker that writes a list of messages to disk under a progress dialog.
//
//   format  target  output
//   0       file    fixed-width text (also chosen for ".doc"), caller's order
//   1       file    CSV, caller's order
//   2       folder  one PDF per conversation
//   3       folder  one HTML page per conversation, the files of "bubble" next
//                   to the program copied into "files", those of "emoji" into
//                   "emoji"
//
// A conversation of a folder export is every message whose chat has the same
// chat_identifier, letter case ignored (messages without a chat form one of
// their own). Conversations come in the order of the newest _last of their
// chats (ties by identifier), oldest first when ascending, and the messages of
// each in messageLessThan order; descending reverses both. A conversation's
// file is named after its chat: a group by its chat_identifier, any other by
// chatTitle with numbers, no chat "unknown-chat"; without the characters other
// systems refuse and without leading dots (a hidden file), falling back to the
// chat_identifier and then "sms" when nothing is left; within 255 UTF-8 bytes,
// and made unique within the run as "name (2).html" where two conversations
// would share a name.
//
// Output is written beside its targets and put in place only when the whole
// run has succeeded; a failed or cancelled run removes what it made and leaves
// what was there before as it was.
#include "store/msgrecords.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QThread>

#include <functional>

class ExportStage;
class ProgressForm;
template <typename T>
class AbsFormatExport;

class ExportSMSThread : public QThread
{
public:
    enum Format { Txt = 0, Csv = 1, Pdf = 2, Html = 3 };

    // messages: records of store, which the thread keeps alive for its whole
    // run. path: the file (formats 0, 1) or folder (2, 3) to write.
    ExportSMSThread(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store,
                    const QString &path, int format, bool ascending, ProgressForm *form, QObject *parent);
    ~ExportSMSThread() override;

    // Only tests set it: called on the worker's thread before message i
    // (from 1) is handled, after the cancel check and the progress post. An
    // empty function removes it.
    static void setStepHook(std::function<void(int i)> hook);

protected:
    void run() override;

private:
    using Writer = QSharedPointer<AbsFormatExport<_MsgMessage>>;
    class Progress;

    void exportFile(Writer &writer, ExportStage &stage, Progress &progress);
    void exportFolder(Writer &writer, ExportStage &stage, Progress &progress);
    void copyAssets(ExportStage &stage) const;

    QList<_MsgMessage *> messages;
    QSharedPointer<_MsgStore> store;
    QString path;
    int format;
    bool ascending;
    ProgressForm *form;
};
