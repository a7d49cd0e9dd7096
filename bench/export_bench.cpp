// Exporting large sets of messages through the export worker, as the main
// window runs it: CSV and TXT of a big store, HTML and PDF folders of a
// smaller one. Only the export is timed, not building the records.
//
//   export_bench [text-messages text-chats page-messages page-chats]
//                (default 500000 2000 50000 500)
//
// Prints seconds and messages per second for each format, and the HTML time
// per message against the TXT time per message.
#include "app/progressform.h"
#include "bench/benchsetup.h"
#include "export/exportsmsthread.h"
#include "tests/support/msgstorebuilder.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Conversations shaped like a phone's: every fifth chat a named group of
// three, the others one-to-one with a named contact, a number without a name
// or an e-mail address; texts of 20 to 200 characters, some with emoji, some
// with markup characters and line breaks; messages of each chat close in time
// and dealt out round the chats, as a whole store lists them.
testsupport::MsgStoreBuilder *build(int messageCount, int chatCount)
{
    auto *b = new testsupport::MsgStoreBuilder;
    QRandomGenerator random(11);
    QList<_MsgChat *> chats;
    for (int i = 0; i < chatCount; ++i) {
        QList<_MsgHandle *> members;
        const int size = i % 5 == 0 ? 3 : 1;
        for (int k = 0; k < size; ++k) {
            const int n = i * 3 + k;
            _MsgHandle *h = n % 3 == 2 ? b->handle(QStringLiteral("person%1@example.com").arg(n), "iMessage")
                                       : b->handle(QStringLiteral("+49170%1").arg(1000000 + n));
            if (n % 3 == 0)
                h->_ct_name = QStringLiteral("Contact %1 M\u00fcller").arg(n);
            members << h;
        }
        _MsgChat *c = b->chat(members, members.first()->service);
        if (size > 1)
            c->display_name = QStringLiteral("Group %1 \U0001F600").arg(i);
        chats << c;
    }
    static const QString words = QStringLiteral(
        "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt ut labore et "
        "dolore magna aliqua ut enim ad minim veniam quis nostrud exercitation ullamco laboris nisi ut aliquip ");
    for (int i = 0; i < messageCount; ++i) {
        _MsgChat *c = chats[i % chatCount];
        const QList<_MsgHandle *> members = c->members.values();
        const bool mine = random.bounded(2) == 0;
        QString text = (words + words).mid(int(random.bounded(int(words.size()) - 1)), 20 + int(random.bounded(181)));
        if (i % 7 == 0)
            text += QStringLiteral(" \U0001F600");
        if (i % 11 == 0)
            text += QStringLiteral("\r\nsee <you> & them");
        _MsgMessage *m = b->message(c, mine ? nullptr : members[i % members.size()], text, 400000000 + i * 30);
        c->_last = qMax(c->_last, m->date);
    }
    return b;
}

double exportOnce(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store, const QString &path,
                  int format)
{
    ProgressForm form(QString(), nullptr);
    ExportSMSThread thread(messages, store, path, format, true, &form, nullptr);
    QElapsedTimer timer;
    timer.start();
    thread.start();
    thread.wait();
    const double seconds = timer.nsecsElapsed() / 1e9;
    // The worker's progress and result wait in the event queue; the form
    // goes without showing them.
    return seconds;
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
    const int textMessages = arg(1, 500000), textChats = arg(2, 2000);
    const int pageMessages = arg(3, 50000), pageChats = arg(4, 500);
    const QDir out(home.path());

    std::unique_ptr<testsupport::MsgStoreBuilder> big(build(textMessages, textChats));
    std::unique_ptr<testsupport::MsgStoreBuilder> small(build(pageMessages, pageChats));
    struct Run
    {
        const char *name;
        int format;
        testsupport::MsgStoreBuilder *records;
        const char *target;
        double seconds = 0;
        int count = 0;
    };
    Run runs[] = {{"CSV", ExportSMSThread::Csv, big.get(), "out.csv"},
                  {"TXT", ExportSMSThread::Txt, big.get(), "out.txt"},
                  {"HTML", ExportSMSThread::Html, small.get(), "out-html"},
                  {"PDF", ExportSMSThread::Pdf, small.get(), "out-pdf"}};
    std::printf("%-5s %9s %6s %9s %12s\n", "", "messages", "chats", "seconds", "messages/s");
    for (Run &r : runs) {
        const QList<_MsgMessage *> messages = r.records->messages();
        r.count = int(messages.size());
        r.seconds = exportOnce(messages, r.records->store, out.absoluteFilePath(r.target), r.format);
        std::printf("%-5s %9d %6d %9.3f %12.0f\n", r.name, r.count, int(r.records->store->chats.size()), r.seconds,
                    r.count / r.seconds);
    }
    const double txtPerMessage = runs[1].seconds / runs[1].count;
    const double htmlPerMessage = runs[2].seconds / runs[2].count;
    std::printf("HTML time per message / TXT time per message: %.2f\n", htmlPerMessage / txtPerMessage);
    const bool written = QFileInfo(out.absoluteFilePath("out.csv")).size() > 0
                         && QFileInfo(out.absoluteFilePath("out.txt")).size() > 0
                         && QDir(out.absoluteFilePath("out-html")).entryList({"*.html"}).size() == pageChats
                         && QDir(out.absoluteFilePath("out-pdf")).entryList({"*.pdf"}).size() == pageChats;
    if (!written) {
        std::fprintf(stderr, "the exports did not write what they should\n");
        return 1;
    }
    return 0;
}
