#include "ui/smsbrowser.h"

#include "app/datafolder.h"
#include "export/escapehtml.h"
#include "export/msglocaltime.h"
#include "store/msgtext.h"

#include <QMetaObject>

namespace {

const char kStyleSheet[] =
    ".t{font-size:13px;padding:5px 10px} .c,.sc{font-size:14px;padding:5px 10px;background-color:#EEEEEE;}"
    ".send{/*background-color:#CEE0EC;*/} .send .t{color:#008040;}.rec{/*background-color:#F5FFE2;*/} "
    ".rec .t{color:#0000FF;}";

void appendMessage(QString &html, const _MsgMessage &m)
{
    const bool sent = m.is_from_me != 0;
    html += QLatin1String("<table class=\"") + QLatin1String(sent ? "send" : "rec")
            + QLatin1String("\" width=\"100%\" cellpadding=\"0\" border=\"0\" cellspacing=\"0\">");
    html += QLatin1String(sent ? "<tr><td width=\"50%\" class=\"st\"></td>" : "<tr>");
    // The label is a contact's or group's name, which other people choose:
    // escaped like the text, so it can neither break the page nor add links.
    // The anchor sits inside the head cell: an empty anchor before a table
    // waits for the next text, and at the top of a page it would be lost to
    // the page's own "start" anchor.
    html += QLatin1String("<td width=\"50%\" class=\"t\"><a name=\"sms_") + QString::number(m.rowid)
            + QLatin1String("\"></a>") + MsgLocalTime::shortText(m.date)
            + QLatin1String("<br/>") + QLatin1String(sent ? "To:" : "From:") + QLatin1Char(' ')
            + escapeHtml(senderLabel(m)) + QLatin1String("</td>");
    html += QLatin1String(sent ? "</tr>" : "<td width=\"50%\" class=\"st\"></td></tr>");
    html += QLatin1String(sent ? "<tr><td width=\"50%\" class=\"sc\"></td>" : "<tr>");
    html += QLatin1String("<td width=\"50%\" class=\"c\">") + escapeHtml(displayText(m)) + QLatin1String("</td>");
    html += QLatin1String(sent ? "</tr>" : "<td width=\"50%\" class=\"sc\"></td></tr>");
    html += QLatin1String("</table>");
}

} // namespace

SmsBrowser::SmsBrowser(QWidget *parent) : QTextBrowser(parent)
{
    document.setDefaultStyleSheet(QString::fromLatin1(kStyleSheet));
    setDocument(&document);
    // Otherwise a click on a page link navigates to it and blanks the view.
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &SmsBrowser::onAnchorClicked);
}

SmsBrowser::~SmsBrowser()
{
    // The member document goes before the base class: hand the base a
    // document of its own first so it never sees the member's remains.
    setDocument(new QTextDocument(this));
}

void SmsBrowser::setMessages(const QList<_MsgMessage *> &list)
{
    messages = list;
    if (list.isEmpty()) {
        currentPage = 0;
        pageCount = 0;
        clear();
        return;
    }
    pageCount = int((list.size() + kPageSize - 1) / kPageSize);
    firstPage();
}

void SmsBrowser::clear()
{
    messages.clear();
    setUpdatesEnabled(false);
    setHtml(QString());
    setUpdatesEnabled(true);
}

QString SmsBrowser::pageHtml(int page) const
{
    const int first = (page - 1) * kPageSize;
    const int count = qMin(kPageSize, int(messages.size()) - first);
    QString html;
    html.reserve(count * 600);
    html += QLatin1String("<a name=\"start\"></a>");
    if (page != 1)
        html += QLatin1String("<p><a href=\"/pre_page\">&lt;&lt;Previous Page</a></p>");
    for (int i = first; i < first + count; ++i)
        appendMessage(html, *messages.at(i));
    if (page != pageCount)
        html += QLatin1String("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>");
    html += QLatin1String("<a name=\"end\"></a>");
    return html;
}

void SmsBrowser::showPage(int page)
{
    if (page < 1 || page > pageCount)
        return;
    const QString html = pageHtml(page);
    setUpdatesEnabled(false);
    setHtml(html);
    setUpdatesEnabled(true);
}

void SmsBrowser::firstPage()
{
    currentPage = 1;
    showPage(1);
    moveCursor(QTextCursor::Start, QTextCursor::MoveAnchor);
}

void SmsBrowser::previousPage()
{
    if (currentPage < 2)
        return;
    --currentPage;
    showPage(currentPage);
    moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void SmsBrowser::nextPage()
{
    if (currentPage >= pageCount)
        return;
    ++currentPage;
    showPage(currentPage);
    moveCursor(QTextCursor::Start, QTextCursor::MoveAnchor);
}

void SmsBrowser::lastPage()
{
    currentPage = pageCount;
    showPage(currentPage);
    moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void SmsBrowser::scrollToMessage(int index)
{
    if (index < 0 || index >= messages.size())
        return;
    const int page = index / kPageSize + 1;
    if (page != currentPage) {
        currentPage = page;
        showPage(page);
    }
    // Queued: the new page is laid out before the view scrolls to it.
    const QString anchor = QStringLiteral("sms_") + QString::number(messages.at(index)->rowid);
    QMetaObject::invokeMethod(this, "scrollToAnchor", Qt::QueuedConnection, Q_ARG(QString, anchor));
}

void SmsBrowser::onAnchorClicked(const QUrl &url)
{
    const QString path = url.path();
    if (path == QLatin1String("/pre_page"))
        previousPage();
    else if (path == QLatin1String("/next_page"))
        nextPage();
    else if (url.isLocalFile())
        openInExplorer(url.toLocalFile());
}
