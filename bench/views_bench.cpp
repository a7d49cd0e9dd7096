// The main window's views with large data, each against a floor measured in
// the same run:
//   tree:  2,000 conversations (a quarter with photos, a tenth groups):
//          loadChatSessions, show, scroll to the end a page at a time; floor:
//          a plain model with prepared texts and one icon.          (<= 3x)
//   list:  10,000 and 200,000 messages: setMessages, paint, jump to the last
//          row, paint; floor: a plain four-column model of constant texts,
//          same row count.                                          (<= 2x)
//   pages: 10,000 messages in the conversation view, setMessages and 20 page
//          turns, per page against showing a 50-message list.       (<= 1.5x)
//
//   views_bench [conversations list-small list-large conversation-messages]
//               (default 2000 10000 200000 10000)
//
// Each figure is the best of five runs; painting renders the viewport into an
// image, so every visible row is asked for its data.
#include "bench/benchsetup.h"
#include "store/absmessagedb.h"
#include "tests/support/msgstorebuilder.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mytreeview.h"
#include "ui/smsbrowser.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QScrollBar>

#include <cstdio>
#include <functional>

namespace {

class NoDb : public AbsMessageDb
{
public:
    void open() override {}
    void chats(QSharedPointer<_MsgStore> &) override {}
    void messages(QSharedPointer<_MsgStore> &, qint64) override {}
};

// Rows of prepared text with one icon: what any tree must at least cost.
class PlainModel : public QAbstractTableModel
{
public:
    PlainModel(int rows, int columns, bool withIcon) : rows(rows), columns(columns)
    {
        if (withIcon)
            icon = QImage(":res/contact.png").scaledToWidth(18, Qt::FastTransformation);
        for (int i = 0; i < 64; ++i)
            texts << QStringLiteral("Contact number %1 with a name").arg(i);
    }
    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : rows; }
    int columnCount(const QModelIndex &) const override { return columns; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DisplayRole)
            return texts.at(index.row() % 64);
        if (role == Qt::DecorationRole && index.column() == 0 && !icon.isNull())
            return icon;
        if (role == Qt::SizeHintRole)
            return QSize(0, 25);
        return QVariant();
    }

    int rows, columns;
    QImage icon;
    QStringList texts;
};

QByteArray jpeg(int seed)
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(seed * 37 % 360, 200, 220));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return bytes;
}

void fillConversations(testsupport::MsgStoreBuilder &b, int count)
{
    for (int i = 0; i < count; ++i) {
        QList<_MsgHandle *> members;
        const int size = i % 10 == 0 ? 3 : 1;
        for (int k = 0; k < size; ++k) {
            _MsgHandle *h = b.handle(QStringLiteral("+49170%1").arg(1000000 + i * 3 + k));
            h->_ct_name = QStringLiteral("Contact %1 M\u00fcller").arg(i * 3 + k);
            if (i % 4 == 1)
                h->_photo = jpeg(i);
            members << h;
        }
        _MsgChat *c = b.chat(members);
        c->_last = 500000000 + i * 17;
        if (size > 1)
            c->display_name = QStringLiteral("Group %1 \U0001F600").arg(i);
    }
}

QList<_MsgMessage *> fillMessages(testsupport::MsgStoreBuilder &b, int count)
{
    QList<_MsgChat *> chats;
    for (int i = 0; i < 50; ++i) {
        _MsgHandle *h = b.handle(QStringLiteral("+49171%1").arg(1000000 + i));
        if (i % 2)
            h->_ct_name = QStringLiteral("Friend %1").arg(i);
        chats << b.chat({h}, i % 3 ? "SMS" : "iMessage");
    }
    QList<_MsgMessage *> out;
    out.reserve(count);
    for (int i = 0; i < count; ++i) {
        _MsgChat *c = chats.at(i % 50);
        out << b.message(c, i % 2 ? c->members.cbegin().value() : nullptr,
                         QStringLiteral("message %1 with some words in it \U0001F600 & <more>").arg(i),
                         400000000 + i * 30);
    }
    return out;
}

void paint(QWidget *view)
{
    QImage image(view->size(), QImage::Format_RGB32);
    view->render(&image);
}

double best(const std::function<void()> &run, int times = 5)
{
    double min = 1e30;
    for (int i = 0; i < times; ++i) {
        QElapsedTimer t;
        t.start();
        run();
        min = qMin(min, t.nsecsElapsed() / 1e6);
    }
    return min;
}

// Answers the number of screens painted.
int scrollThrough(QTreeView &view)
{
    // The view lays its items out lazily; scrolling needs the layout now.
    view.doItemsLayout();
    QScrollBar *bar = view.verticalScrollBar();
    bar->setValue(0);
    paint(view.viewport());
    int screens = 1;
    while (bar->value() < bar->maximum()) {
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        paint(view.viewport());
        ++screens;
    }
    return screens;
}

bool report(const char *what, double ms, double floorMs, double limit)
{
    const double ratio = ms / floorMs;
    std::printf("%-34s %9.2f ms  floor %9.2f ms  ratio %5.2f  (limit %.1f)%s\n", what, ms, floorMs, ratio, limit,
                ratio <= limit ? "" : "  OVER");
    return ratio <= limit;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    useBenchHome(home);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    const QStringList args = app.arguments();
    const auto arg = [&args](int i, int fallback) { return args.size() > i ? args.at(i).toInt() : fallback; };
    const int conversations = arg(1, 2000), listSmall = arg(2, 10000), listLarge = arg(3, 200000);
    const int pageMessages = arg(4, 10000);
    bool within = true;

    // The tree.
    {
        ItemModelMain model;
        _LocalDBItemNode *node = model.addLocalDatabase(QSharedPointer<AbsMessageDb>(new NoDb), "bench");
        testsupport::MsgStoreBuilder b;
        b.store = node->store;
        fillConversations(b, conversations);
        MyTreeView view;
        view.setHeaderHidden(true);
        view.setModel(&model);
        view.resize(300, 700);
        view.show();
        int screens = 0, floorScreens = 0;
        const double ms = best([&] {
            model.loadChatSessions(node);
            view.expand(model.indexOf(model.rootLocalDB));
            view.expand(model.indexOf(node));
            screens = scrollThrough(view);
        });
        PlainModel plain(conversations + 4, 1, true);
        QTreeView floorView;
        floorView.setHeaderHidden(true);
        floorView.resize(300, 700);
        floorView.show();
        const double floorMs = best([&] {
            floorView.setModel(nullptr);
            floorView.setModel(&plain);
            floorScreens = scrollThrough(floorView);
        });
        char what[64];
        std::snprintf(what, sizeof what, "tree, %d conversations", conversations);
        if (screens < 2 || qAbs(screens - floorScreens) > 1)
            std::fprintf(stderr, "the trees scrolled %d and %d screens\n", screens, floorScreens);
        within &= report(what, ms, floorMs, 3.0);
    }

    // The message list.
    for (int count : {listSmall, listLarge}) {
        testsupport::MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = fillMessages(b, count);
        ItemModelSms model;
        MyTreeView view;
        view.setRootIsDecorated(false);
        view.setModel(&model);
        view.resize(900, 600);
        view.show();
        const double ms = best([&] {
            model.setMessages(messages);
            paint(view.viewport());
            view.scrollTo(model.indexOfRow(count - 1));
            paint(view.viewport());
        });
        PlainModel plain(count, 4, false);
        QTreeView floorView;
        floorView.setRootIsDecorated(false);
        floorView.resize(900, 600);
        floorView.show();
        const double floorMs = best([&] {
            floorView.setModel(nullptr);
            floorView.setModel(&plain);
            paint(floorView.viewport());
            floorView.scrollTo(plain.index(count - 1, 0));
            paint(floorView.viewport());
        });
        if (view.verticalScrollBar()->value() == 0 || floorView.verticalScrollBar()->value() == 0)
            std::fprintf(stderr, "a list did not reach its last row\n");
        char what[64];
        std::snprintf(what, sizeof what, "list, %d messages", count);
        within &= report(what, ms, floorMs, 2.0);
    }

    // The conversation view, per page shown.
    {
        testsupport::MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = fillMessages(b, pageMessages);
        const QList<_MsgMessage *> onePage = messages.mid(0, SmsBrowser::kPageSize);
        SmsBrowser view;
        view.resize(600, 700);
        view.show();
        const int turns = qMin(20, (pageMessages + SmsBrowser::kPageSize - 1) / SmsBrowser::kPageSize - 1);
        const double ms = best([&] {
                              view.setMessages(messages);
                              paint(view.viewport());
                              for (int i = 0; i < turns; ++i) {
                                  view.nextPage();
                                  paint(view.viewport());
                              }
                          })
                          / (turns + 1);
        const double floorMs = best([&] {
                                   for (int i = 0; i <= turns; ++i) {
                                       view.setMessages(onePage);
                                       paint(view.viewport());
                                   }
                               })
                               / (turns + 1);
        if (view.currentPage != 1 || view.pageCount != 1)
            std::fprintf(stderr, "the conversation view did not show the short list\n");
        char what[64];
        std::snprintf(what, sizeof what, "conversation page, %d messages", pageMessages);
        within &= report(what, ms, floorMs, 1.5);
    }
    return within ? 0 : 1;
}
