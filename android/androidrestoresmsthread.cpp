#include "android/androidrestoresmsthread.h"

#include "android/androiddevice.h"
#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "app/progressform.h"
#include "store/msgtext.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <algorithm>
#include <exception>
#include <memory>

namespace {


QString translated(const char *text)
{
    return QCoreApplication::translate("AndroidRestoreSMSThread", text);
}

} // namespace

AndroidRestoreSMSThread::AndroidRestoreSMSThread(AndroidDevice *device, const QList<_MsgMessage *> &messages,
                                                 const QSharedPointer<_MsgStore> &store, ProgressForm *form,
                                                 QObject *parent)
    : QThread(parent), device(device), store(store), form(form), db(device->cacheDir(), device->mmc)
{
    for (_MsgMessage *message : messages) {
        if (!address(*message))
            ++skipped;
        else
            this->messages.append(message);
    }
    // messageLessThan mixes rowid and date keys and is not transitive: only a
    // stable merge sort copes with it without reading past the list.
    std::stable_sort(this->messages.begin(), this->messages.end(), messageLessThan);
}

AndroidRestoreSMSThread::~AndroidRestoreSMSThread() = default;

const _MsgHandle *AndroidRestoreSMSThread::address(const _MsgMessage &message)
{
    if (message.item_type != 0)
        return nullptr;
    const _MsgChat *chat = message.chat;
    const bool group = chat && (chat->isGroup() || chat->style == 43);
    if (group)
        return message.is_from_me ? nullptr : message.handle;
    // Phones often store no handle for what the user sent (handle_id 0):
    // the one person of the conversation is its address either way.
    const _MsgHandle *member = chat && chat->members.size() == 1 ? *chat->members.cbegin() : nullptr;
    if (message.is_from_me)
        return member ? member : message.handle;
    return message.handle ? message.handle : member;
}

QString AndroidRestoreSMSThread::record(const _MsgMessage &message)
{
    const qint64 ms = (qint64(message.date) + MSG_EPOCH_OFFSET) * 1000;
    return QStringLiteral("%1,%2,%3,%4")
        .arg(QString::number(ms), QString::number(message.is_from_me),
             QString::fromLatin1(address(message)->id.toUtf8().toBase64()),
             QString::fromLatin1(cleanText(message).toUtf8().toBase64()));
}

void AndroidRestoreSMSThread::run()
{
    CancelScope scope(&form->failed);
    form->postUpdateProgress(translated("IDS_RESTORING_SMS_TO_ANDROID"), 0, QString());
    sent = 0;
    pending = 0;
    written = 0;
    try {
        const QString url = QString::fromLatin1(simpleprotocol::kRestore2Url).arg(nextServicePort());
        std::unique_ptr<QTcpSocket, AndroidDevice::SocketDrop> socket(
            device->openService(url, AndroidDevice::kServiceTimeoutMs));
        const QString flag = simpleprotocol::expectCommand(socket.get(), QStringLiteral("$defsmsapp:"), -1);
        if (flag.mid(11).toInt() != 0) {
            form->postTipsWait(translated(
                "Please click \"YES\" to temporarily set our Quillmarten app as your default SMS app when the message "
                "pops out on your Android's screen. Then click the \"OK\" button to start transferring messages to "
                "your Android.<br/><br/>Note: It will resume your default Messaging app settings after transferring "
                "messages to Android."));
            // Throws the cancel value once the dialog has ended: its box
            // would never be closed then.
            form->waitForTips();
            simpleprotocol::sendCommand(socket.get(), QStringLiteral("$defsmsapp:"), QString(), true, -1);
        }
        const int n = int(messages.size());
        if (n > 0 && form->failed)
            throw -1;
        while (sent < n) {
            sendBatch(socket.get(), sent, std::min(n - sent, int(kBatchSize)));
            if (sent < n && form->failed)
                throw -1;
        }
        simpleprotocol::sendCommand(socket.get(), QStringLiteral("$bye:"), QString(), true, -1);
    } catch (int) {
        db.abort();
        return;
    } catch (const std::exception &e) {
        db.abort();
        if (!form->failed)
            form->postErrorOccurred(QString::fromUtf8(e.what()).toHtmlEscaped());
        return;
    }

    // What the phone was given: messages it already had are not counted.
    QString result = translated("IDS_SUC_RESTORE_%1_SMS_TO_ANDROID").arg(written);
    if (skipped != 0)
        result += QStringLiteral("<br/>") + translated("IDS_SKIP_%1_SMS_GROUP_OR_SYS_MESSAGES").arg(skipped);
    // The phone holds the messages: an error box would invite a retry that
    // doubles them. The user learns only that the PC's copy lags behind.
    if (cacheStale)
        result += QStringLiteral("<br/><br/>") + translated("IDS_ANDROID_CACHE_NOT_UPDATED");
    form->postSucceed(result);
}

void AndroidRestoreSMSThread::sendBatch(QTcpSocket *socket, int first, int size)
{
    const int n = int(messages.size());
    simpleprotocol::sendCommand(socket, QStringLiteral("$batch:"), QString(), true, -1);
    if (form->failed)
        throw -1;
    db.begin();
    IOS6MessageDb &cache = db.database();
    for (int i = first; i < first + size; ++i) {
        const _MsgMessage &message = *messages[i];
        ++sent;
        form->postUpdateProgress(QString(), int(double(sent) / n * 100),
                                 translated("SMS: %1/%2").arg(sent).arg(n));
        if (cache.messageRowidByLogicHash(&message) == 0) {
            simpleprotocol::sendCommand(socket, QStringLiteral("$sms:"), record(message), false, -1);
            ++pending;
        }
        db.write(message);
        if (i + 1 < first + size && form->failed)
            throw -1;
    }
    simpleprotocol::sendCommand(socket, QStringLiteral("$end:"), QString(), true, -1);
    simpleprotocol::expectCommand(socket, QStringLiteral("$batch:"), -1);
    // Acknowledged: the phone holds the batch, whatever becomes of the cache.
    written += pending;
    pending = 0;
    try {
        db.end();
    } catch (const std::exception &e) {
        cacheStale = true;
        qWarning("AndroidRestoreSMSThread: the phone acknowledged SMS %d to %d, but its cache database could not "
                 "be updated: %s",
                 first + 1, first + size, e.what());
    }
}
