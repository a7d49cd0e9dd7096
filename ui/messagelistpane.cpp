#include "ui/messagelistpane.h"

#include "app/messagebox.h"
#include "export/msglocaltime.h"
#include "store/msgrecords.h"
#include "store/msgtext.h"
#include "ui/itemmodelsms.h"
#include "ui/smsbrowser.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QTreeView>
#include <algorithm>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("MainWindow", source);
}

} // namespace

MessageListPane::MessageListPane(ItemModelSms *model, QTreeView *list, SmsBrowser *browser, QLabel *count,
                                 QObject *parent)
    : QObject(parent), model(model), list(list), browser(browser), count(count)
{
    list->setSortingEnabled(true);
    list->header()->setSectionsMovable(false);
    list->header()->setSortIndicator(0, Qt::AscendingOrder);
    connect(list->header(), &QHeaderView::sortIndicatorChanged, this,
            [this](int logicalIndex, Qt::SortOrder) { onSortIndicatorChanged(logicalIndex); });
    list->setModel(model);
    list->header()->resizeSection(0, dateColumnWidth());
    list->header()->resizeSection(1, 50);
    list->header()->resizeSection(2, 120);
}

int MessageListPane::dateColumnWidth() const
{
    // The widest date of the user's format, in the list's font once the style
    // sheet has set it: every month's name, two-digit days and hours. The
    // column keeps that width at any window size (the window's extra width
    // goes to the last column).
    list->ensurePolished();
    const QFontMetrics metrics(list->font());
    int widest = 0;
    for (int month = 1; month <= 12; ++month) {
        const QDateTime at(QDate(2028, month, 28), QTime(22, 58, 58));
        const int date = int(at.toSecsSinceEpoch() - MSG_EPOCH_OFFSET);
        widest = std::max(widest, metrics.horizontalAdvance(MsgLocalTime::shortText(date)));
    }
    // The indentation, the 18-pixel direction icon and the item's margins.
    const int around = list->indentation() + 18 + 3 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) * 2;
    return std::max(160, widest + around + 8);
}

bool MessageListPane::ascending() const
{
    return list->header()->sortIndicatorOrder() == Qt::AscendingOrder;
}

void MessageListPane::sortAsShown(QList<_MsgMessage *> &messages) const
{
    // messageLessThan is no strict weak order: only a stable sort keeps to
    // the list's range with it.
    if (ascending())
        std::stable_sort(messages.begin(), messages.end(), messageLessThan);
    else
        std::stable_sort(messages.begin(), messages.end(), messageGreaterThan);
}

void MessageListPane::showStoreMessages(const QSharedPointer<_MsgStore> &store, QList<_MsgMessage *> &messages)
{
    showMessages(messages);
    shown = store;
}

void MessageListPane::showMessages(QList<_MsgMessage *> &messages)
{
    sortAsShown(messages);
    model->setMessages(messages);
    browser->clear();
    browser->setMessages(model->messages);
    count->setText(text("Messages: %1").arg(messages.size()));
}

void MessageListPane::clear()
{
    model->setMessages(QList<_MsgMessage *>());
    browser->clear();
    count->setText(text("Messages: 0"));
    shown.reset();
}

void MessageListPane::onSortIndicatorChanged(int logicalIndex)
{
    if (logicalIndex == 0) {
        QList<_MsgMessage *> messages = model->messages;
        showMessages(messages);
        return;
    }
    // Only the date orders the list: any other column shows the newest first.
    list->header()->setSortIndicator(0, Qt::DescendingOrder);
}

void MessageListPane::onItemSelected(const QItemSelection &selected)
{
    if (selected.isEmpty())
        return;
    const QModelIndex first = selected.first().topLeft();
    if (!first.isValid() || !model->messages.value(first.row()))
        return;
    browser->scrollToMessage(first.row());
}

QList<_MsgMessage *> MessageListPane::selectedMessages() const
{
    const QList<_MsgMessage *> rowsShown = model->messages;
    QList<_MsgMessage *> result;
    const QModelIndexList rows = list->selectionModel()->selectedRows(0);
    for (const QModelIndex &index : rows) {
        if (_MsgMessage *message = rowsShown.value(index.row()))
            result.append(message);
    }
    return result;
}

bool MessageListPane::hasSelectedRows() const
{
    return !list->selectionModel()->selectedRows(0).isEmpty();
}

void MessageListPane::search(const QString &keyword)
{
    if (keyword.isEmpty())
        return;
    const QList<_MsgMessage *> messages = model->messages;
    if (messages.isEmpty()) {
        showInformation(text("IDS_CAN_NOT_FOUND_AND_MESSAGES"));
        return;
    }
    const int n = int(messages.size());
    const QModelIndex current = list->currentIndex();
    const int start = current.isValid() ? current.row() + 1 : 0;
    // From the row after the current one to the end, then from the top: the
    // current row itself is tested last.
    for (int k = 0; k < n; ++k) {
        const int row = (start + k) % n;
        if (displayText(*messages.at(row)).contains(keyword, Qt::CaseInsensitive)) {
            list->setCurrentIndex(model->indexOfRow(row));
            return;
        }
    }
    showInformation(text("IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0").arg(keyword.toHtmlEscaped()));
}
