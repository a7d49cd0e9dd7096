#include "store/backupsmsthread.h"

#include "app/progressform.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <exception>

BackupSMSThread::BackupSMSThread(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store,
                                 const QDir &dbDir, const QString &mcc, ProgressForm *form, QObject *parent)
    : QThread(parent), messages(messages), store(store), form(form), db(dbDir, mcc)
{
    // messageLessThan mixes rowid and date keys and is not transitive: only a
    // stable merge sort copes with it without reading past the list.
    std::stable_sort(this->messages.begin(), this->messages.end(), messageLessThan);
}

BackupSMSThread::~BackupSMSThread() = default;

void BackupSMSThread::run()
{
    const QString status = QCoreApplication::translate("BackupSMSThread", "IDS_BACKING_UP_SMS");
    form->postUpdateProgress(status, 0, QString());
    const int total = int(messages.size());
    try {
        db.begin();
        QElapsedTimer sincePost;
        sincePost.start();
        int lastValue = -1;
        for (int i = 1; i <= total; ++i) {
            if (form->failed)
                throw -1;
            // One update per message would flood the GUI thread with queued
            // calls on large runs; a new percentage, a tenth of a second or
            // the last message is often enough for the eye.
            const int value = int(double(i) / total * 100);
            if (value != lastValue || i == total || sincePost.elapsed() >= 100) {
                form->postUpdateProgress(status, value, QStringLiteral("SMS: %1/%2").arg(i).arg(total));
                lastValue = value;
                sincePost.restart();
            }
            db.write(*messages[i - 1]);
        }
        db.end();
        // What the database took, not what was handed in: duplicates and
        // skipped messages add nothing.
        QString text = QCoreApplication::translate("BackupSMSThread", "IDS_SUC_BACKUP_%1_SMS").arg(db.writtenCount());
        if (db.leftOutCount() > 0) {
            text += QLatin1String("<br/>")
                    + QCoreApplication::translate("BackupSMSThread", "IDS_LEFT_OUT_%1_SMS_OF_%2_CHATS")
                          .arg(db.leftOutCount())
                          .arg(db.leftOutChatCount());
        }
        form->postSucceed(text);
    } catch (int) {
        db.abort();
    } catch (const std::exception &e) {
        db.abort();
        form->postErrorOccurred(QString::fromUtf8(e.what()));
    }
}
