#pragma once
// The conversation view: the message list as a chat transcript, sent messages
// on the right and received ones on the left, in pages of 50 messages turned
// by "Previous Page" / "Next Page" links. Only the page shown is made into
// HTML, however long the list. Each message carries the anchor "sms_<rowid>"
// so the view can scroll to the row picked in the message list.
#include "store/msgrecords.h"

#include <QList>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>

class SmsBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    static constexpr int kPageSize = 50;

    explicit SmsBrowser(QWidget *parent = nullptr);
    ~SmsBrowser() override;

    // Shows the first page of list; the records are not owned and must
    // outlive the list (replace it before their store goes).
    void setMessages(const QList<_MsgMessage *> &list);
    // Empties the list and the document; the counters stay.
    void clear();
    // Renders page (1-based) when it exists; currentPage is left alone.
    void showPage(int page);
    void firstPage();
    void previousPage(); // shown from its bottom
    void nextPage();     // shown from its top
    void lastPage();
    // Turns to the page of the message at list position index and scrolls to
    // it once the page is laid out; out-of-range positions change nothing.
    void scrollToMessage(int index);

    QList<_MsgMessage *> messages;
    QTextDocument document;
    int pageCount = 0;
    int currentPage = 0;

public slots:
    // The page links turn pages; a local file link shows the file in the
    // file manager; anything else does nothing.
    void onAnchorClicked(const QUrl &url);

private:
    QString pageHtml(int page) const;
};
