#include "store/deletemessagesthread.h"

#include "app/progressform.h"
#include "store/ios6messagedb.h"

#include <QCoreApplication>

#include <exception>

DeleteMessagesThread::DeleteMessagesThread(IOS6MessageDb *db, const QList<_MsgMessage *> &messages,
                                           const QSharedPointer<_MsgStore> &store, ProgressForm *form,
                                           QObject *parent)
    : QThread(parent), db(db), messages(messages), store(store), form(form)
{
}

DeleteMessagesThread::~DeleteMessagesThread() = default;

namespace {
// Cleanup inside a catch handler: an exception leaving run() would end the
// whole program, and the transaction ends with the connection anyway.
void rollBack(IOS6MessageDb *db) noexcept
{
    try {
        db->endTransaction(false);
    } catch (const std::exception &e) {
        qWarning("DeleteMessagesThread: rollback failed. %s", e.what());
    } catch (...) {
    }
}
} // namespace

void DeleteMessagesThread::run()
{
    form->postUpdateProgress(QCoreApplication::translate("DeleteMessagesThread", "IDS_DELETING_LOCAL_DB_MESSAGES"),
                             0, QString());
    const int total = int(messages.size());
    try {
        db->beginTransaction();
        int lastValue = -1;
        for (int i = 1; i <= total; ++i) {
            if (form->failed)
                throw -1;
            const int value = int(double(i) / total * 100);
            if (value != lastValue) {
                form->postUpdateProgress(QString(), value, QString());
                lastValue = value;
            }
            db->deleteMessage(messages[i - 1]);
        }
        db->endTransaction(true);
        done = true;
        form->postSucceed(
            QCoreApplication::translate("DeleteMessagesThread", "IDS_SUC_DELETE_%1_MESSAGES").arg(total));
    } catch (int) {
        rollBack(db);
    } catch (const std::exception &e) {
        // A failed commit has already been rolled back; this ends nothing then.
        rollBack(db);
        form->postErrorOccurred(QString::fromUtf8(e.what()));
    }
}
