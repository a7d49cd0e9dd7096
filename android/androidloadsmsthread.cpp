#include "android/androidloadsmsthread.h"

#include "android/androiddevice.h"
#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "app/progressform.h"
#include "store/countrylibdb.h"
#include "store/msgtext.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <climits>
#include <cstdio>
#include <exception>

namespace {

const int kPostEveryMs = 100;

QString decoded(const QString &field)
{
    const QByteArray bytes = QByteArray::fromBase64(field.toLatin1());
    // Read as UTF-8 up to a first NUL, as every text of the protocol.
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

void removeDbFile(const QString &path)
{
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-journal"));
}

} // namespace

AndroidLoadSMSThread::AndroidLoadSMSThread(AndroidDevice *device, ProgressForm *form, QObject *parent)
    : QThread(parent), device(device), form(form), db(device->cacheDir(), device->mmc)
{
}

AndroidLoadSMSThread::~AndroidLoadSMSThread()
{
    releaseSocket();
}

void AndroidLoadSMSThread::releaseSocket()
{
    if (!socket)
        return;
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    delete socket;
    socket = nullptr;
}

bool AndroidLoadSMSThread::parseRecord(const QString &payload, const _CountryInfo &country, _MsgHandle &handle,
                                       _MsgChat &chat, _MsgMessage &message)
{
    const QStringList fields = payload.split(QLatin1Char(','));
    if (fields.size() < 6)
        return false;
    const QString address = CountryLibDb::normalizeNumber(country, decoded(fields[2]));

    handle.id = address;
    handle.service = QStringLiteral("SMS");
    handle._ct_name = decoded(fields[3]);

    chat.guid = QStringLiteral("SMS;-;") + address;
    chat.style = 45;
    chat.state = 3;
    chat.chat_identifier = address;
    chat.service_name = QStringLiteral("SMS");
    chat.account_login = QStringLiteral("E:");
    chat.members.clear();
    chat.members.insert(address, &handle);

    message.text = decoded(fields[4]);
    // Most texts have no subject, and a message without one needs no block
    // for its rare columns (replace, is_emote, is_delayed, ... all 0); an
    // empty subject is stored as none either way.
    _MsgMessageRare rare;
    if (const QString subject = decoded(fields[5]); !subject.isEmpty())
        rare.subject = subject;
    message.setRare(rare);
    message.type = 0;
    message.error = 0;
    message.version = 10;
    // One value for every message of every phone instead of a copy each.
    static const SharedText sms(QStringLiteral("SMS")), account(QStringLiteral("e:"));
    message.service = sms;
    message.account = account;
    // A date outside what the record's 32 bits hold is the phone's fault; it
    // is kept at the nearest end instead of wrapping into another year.
    const qint64 seconds = fields[0].toLongLong() / 1000 - MSG_EPOCH_OFFSET;
    const int date = int(qBound<qint64>(qint64(INT_MIN), seconds, qint64(INT_MAX)));
    message.date = message.date_read = message.date_delivered = date;
    message.is_from_me = fields[1].toInt() == 1 ? 1 : 0;
    message.is_finished = message.is_prepared = message.is_read = message.is_sent = message.was_data_detected = 1;
    message.is_delivered = message.is_empty = 0;
    message.has_dd_results = message.cache_has_attachments = message.was_deduplicated = 0;
    message.handle = &handle;
    message.chat = &chat;
    message.guid.clear();
    message.guid = guidFromMd5(calcLogicHash(message).toUtf8());
    return true;
}

void AndroidLoadSMSThread::run()
{
    total = -1;
    received = 0;
    CancelScope scope(&form->failed);
    form->postUpdateProgress(QCoreApplication::translate("AndroidLoadSMSThread", "IDS_ANDROID_LOADING_SMS"), 0,
                             QString());
    const QString target = db.database().filePath();
    const QString building = target + QStringLiteral(".loading");
    try {
        // What an earlier, interrupted load left behind is no part of this one.
        removeDbFile(building);
        db.database().setPath(building);
        db.begin();
        const QString url = QString::fromLatin1(simpleprotocol::kBackup2Url).arg(nextServicePort());
        socket = device->openService(url, AndroidDevice::kServiceTimeoutMs);
        for (;;) {
            const QString line = simpleprotocol::readCommand(socket, -1);
            if (line.startsWith(QLatin1String("$count:"))) {
                total = line.mid(7).toInt();
                if (total <= 0)
                    total = -1;
            } else if (line.startsWith(QLatin1String("$batch:"))) {
                readBatch();
            } else if (line.startsWith(QLatin1String("$bye:"))) {
                break;
            }
        }
        simpleprotocol::sendCommand(socket, QStringLiteral("$bye:"), QString(), true, -1);
        db.end();
        releaseSocket();
    } catch (int) {
        db.abort();
        releaseSocket();
        removeDbFile(building);
        return;
    } catch (const std::exception &e) {
        db.abort();
        releaseSocket();
        removeDbFile(building);
        if (!form->failed)
            form->postErrorOccurred(QString::fromUtf8(e.what()).toHtmlEscaped());
        return;
    }

    // The old cache goes only now, replaced in one step; its journal, if an
    // earlier crash left one, would otherwise be played back into the new file.
    QFile::remove(target + QStringLiteral("-journal"));
    if (std::rename(QFile::encodeName(building).constData(), QFile::encodeName(target).constData()) != 0) {
        removeDbFile(building);
        form->postErrorOccurred(QStringLiteral("can not overwrite %1.").arg(target.toHtmlEscaped()));
        return;
    }
    form->postSucceed(QString());
}

void AndroidLoadSMSThread::readBatch()
{
    for (;;) {
        if (form->failed)
            throw -1;
        const QString line = simpleprotocol::readCommand(socket, -1);
        if (line.startsWith(QLatin1String("$sms:"))) {
            ++received;
            postCount();
            parseSmsLine(line.mid(5));
        } else if (line.startsWith(QLatin1String("$end:"))) {
            simpleprotocol::sendCommand(socket, QStringLiteral("$batch:"), QString(), true, -1);
            return;
        }
    }
}

void AndroidLoadSMSThread::postCount()
{
    // A queued call per message would flood the GUI thread on a phone with
    // tens of thousands of SMS: a new percentage, a tenth of a second or the
    // last announced message is often enough for the eye.
    const int value = int(double(received) / total * 100);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool changed = value >= 0 && value != lastValue;
    if (!changed && received != total && lastPostMs >= 0 && now - lastPostMs < kPostEveryMs)
        return;
    lastValue = value;
    lastPostMs = now;
    form->postUpdateProgress(QString(), value, QStringLiteral("sms: %1/%2").arg(received).arg(total));
}

void AndroidLoadSMSThread::parseSmsLine(const QString &payload)
{
    _MsgHandle handle;
    _MsgChat chat;
    _MsgMessage message;
    if (!parseRecord(payload, db.database().defaultCountry(), handle, chat, message))
        return;
    db.write(message);
}
