#include "ui/noticequeue.h"

#include "app/messagebox.h"

#include <QEventLoop>
#include <QList>
#include <QMessageBox>

namespace {

// The notice open now (0: none); each gets its own number, so that a box
// closed late never frees the turn of the one shown after it.
quint64 openNotice = 0;
quint64 lastNotice = 0;
QList<QEventLoop *> waiting;

void closeNotice(quint64 notice)
{
    if (openNotice != notice)
        return;
    openNotice = 0;
    for (QEventLoop *loop : std::as_const(waiting))
        loop->quit();
}

} // namespace

void NoticeQueue::show(int icon, const QString &text)
{
    while (openNotice != 0) {
        QEventLoop loop;
        waiting.append(&loop);
        loop.exec();
        waiting.removeAll(&loop);
    }
    const quint64 notice = ++lastNotice;
    openNotice = notice;
    showMessageBox(icon, text, QMessageBox::Ok, [notice]() { closeNotice(notice); });
    closeNotice(notice);
}

bool NoticeQueue::isShowing()
{
    return openNotice != 0;
}
