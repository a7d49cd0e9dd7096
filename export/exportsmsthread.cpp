#include "export/exportsmsthread.h"

#include "app/datafolder.h"
#include "app/progressform.h"
#include "export/exportmessagescsv.h"
#include "export/exportmessagestxt.h"
#include "export/exportsmshtml.h"
#include "export/exportsmspdf.h"
#include "export/exportstage.h"
#include "store/msgtext.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSet>

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace {

// Linux refuses longer file names, counted in bytes of the file system's
// encoding (UTF-8), whatever the folder.
constexpr int kMaxFileNameBytes = 255;

QMutex hookMutex;
std::function<void(int)> stepHook;

void runStepHook(int i)
{
    std::function<void(int)> hook;
    {
        QMutexLocker lock(&hookMutex);
        hook = stepHook;
    }
    if (hook)
        hook(i);
}

QString translate(const char *text)
{
    return QCoreApplication::translate("ExportSMSThread", text);
}

// The messages of one conversation of a folder export.
struct Conversation
{
    bool noChat = false;
    QString identifier; // case-folded chat_identifier
    int last = 0;       // newest _last of its chats
    QList<_MsgMessage *> messages;
};

bool conversationBefore(const Conversation *a, const Conversation *b)
{
    if (a->last != b->last)
        return a->last < b->last;
    if (a->identifier != b->identifier)
        return a->identifier < b->identifier;
    return a->noChat < b->noChat;
}

bool conversationAfter(const Conversation *a, const Conversation *b)
{
    return conversationBefore(b, a);
}

// name without the characters file systems refuse or that would make the
// name on disk differ from the one the run keeps track of (control
// characters, a NUL above all), and without leading dots: those hide the
// file, and "." or ".." name no file at all.
QString cleanFileName(QString name)
{
    name.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
    name = validFileName(name);
    qsizetype start = 0;
    while (start < name.size() && (name.at(start) == QLatin1Char('.') || name.at(start).isSpace()))
        ++start;
    return name.mid(start);
}

// What a conversation's file is called before its suffix. A title that
// leaves nothing falls back to the conversation's number, then to "sms".
QString baseFileName(const _MsgChat *chat)
{
    if (!chat)
        return QStringLiteral("unknown-chat");
    QString name = cleanFileName(chat->isGroup() ? chat->chat_identifier : chatTitle(*chat, true));
    if (name.isEmpty())
        name = cleanFileName(chat->chat_identifier);
    return name.isEmpty() ? QStringLiteral("sms") : name;
}

// The longest start of text whose UTF-8 takes at most maxBytes, never cutting
// a character in two.
QString fitUtf8(const QString &text, int maxBytes)
{
    int bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const char32_t c = text.at(i).unicode();
        qsizetype units = 1;
        int need;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            units = 2;
            need = 4;
        } else {
            need = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        }
        if (bytes + need > maxBytes)
            break;
        bytes += need;
        i += units;
    }
    return text.left(i);
}

// base + suffix within the byte limit, with " (2)", " (3)" ... before the
// suffix when the name is taken already in this run (letter case ignored, as
// on the file systems of memory cards and other machines) or by something in
// the folder that is not a plain file.
QString uniqueFileName(const QString &base, const QString &suffix, const QDir &folder, QSet<QString> &taken)
{
    for (int k = 1;; ++k) {
        const QString tail = (k == 1 ? QString() : QStringLiteral(" (%1)").arg(k)) + suffix;
        const QString name = fitUtf8(base, kMaxFileNameBytes - int(tail.toUtf8().size())) + tail;
        const QString key = name.toCaseFolded();
        if (taken.contains(key))
            continue;
        const QFileInfo there(folder.filePath(name));
        if ((there.exists() || there.isSymLink()) && !(there.isFile() && !there.isSymLink()))
            continue;
        taken.insert(key);
        return name;
    }
}

} // namespace

// Posts "SMS: i/n" and watches for a cancel. One post per message would flood
// the GUI thread with queued calls on large exports: a new percentage, a tenth
// of a second or the last message is often enough for the eye.
class ExportSMSThread::Progress
{
public:
    Progress(ProgressForm *form, int total)
        : form(form), total(total), pattern(translate("Messages: %1/%2"))
    {
        sincePost.start();
    }

    // Before message i (from 1); throws the cancel value -1.
    void step(int i)
    {
        if (form->failed)
            throw -1;
        const int value = int(double(i) / total * 100);
        if (value != lastValue || i == total || sincePost.elapsed() >= 100) {
            form->postUpdateProgress(QString(), value, pattern.arg(i).arg(total));
            lastValue = value;
            sincePost.restart();
        }
        runStepHook(i);
    }

private:
    ProgressForm *form;
    int total;
    QString pattern;
    int lastValue = -1;
    QElapsedTimer sincePost;
};

ExportSMSThread::ExportSMSThread(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store,
                                 const QString &path, int format, bool ascending, ProgressForm *form,
                                 QObject *parent)
    : QThread(parent), messages(messages), store(store), path(path), format(format), ascending(ascending),
      form(form)
{
}

ExportSMSThread::~ExportSMSThread() = default;

void ExportSMSThread::setStepHook(std::function<void(int)> hook)
{
    QMutexLocker lock(&hookMutex);
    stepHook = std::move(hook);
}

void ExportSMSThread::run()
{
    form->postUpdateProgress(translate("IDS_EXPORTING_MESSAGES_TO_FILE"), -1, QString());
    const int total = int(messages.size());
    // Declared before the writer: the writer closes its file before the stage
    // removes it.
    ExportStage stage;
    Writer writer;
    try {
        Progress progress(form, total);
        switch (format) {
        case Txt:
        case Csv:
            exportFile(writer, stage, progress);
            break;
        case Pdf:
        case Html:
            exportFolder(writer, stage, progress);
            break;
        default:
            throw std::runtime_error("not support export format.");
        }
        writer.reset();
        stage.commit();
        form->postSucceed(translate("IDS_SUC_EXPORT_%1_MMS").arg(total));
    } catch (int) {
        writer.reset();
        stage.rollback();
    } catch (const std::exception &e) {
        writer.reset();
        stage.rollback();
        form->postErrorOccurred(QString::fromUtf8(e.what()));
    }
}

void ExportSMSThread::exportFile(Writer &writer, ExportStage &stage, Progress &progress)
{
    // An empty list writes no file at all.
    for (int i = 1; i <= messages.size(); ++i) {
        progress.step(i);
        if (!writer) {
            const QString temp = stage.stage(path);
            if (format == Txt)
                writer.reset(new ExportMessagesTxt(temp));
            else
                writer.reset(new ExportMessagesCsv(temp));
            writer->begin();
        }
        writer->write(*messages[i - 1]);
    }
    if (writer)
        writer->end();
}

void ExportSMSThread::exportFolder(Writer &writer, ExportStage &stage, Progress &progress)
{
    if (!stage.makeFolder(path))
        throw std::runtime_error(QCoreApplication::translate("ExportSMSThread", "IDS_CANNOT_CREATE_FOLDER_%1")
                                     .arg(QDir::toNativeSeparators(path))
                                     .toUtf8()
                                     .toStdString());

    // Conversations first, then the messages within each: sorting the whole
    // list with one comparator that mixes both keys is not a strict order and
    // can split a conversation in two, whose second file would replace the
    // first.
    std::vector<Conversation> conversations;
    QHash<QString, qsizetype> byKey;
    for (_MsgMessage *m : std::as_const(messages)) {
        const QString identifier = m->chat ? m->chat->chat_identifier.toCaseFolded() : QString();
        const QString key = (m->chat ? QLatin1Char('c') : QLatin1Char('n')) + identifier;
        auto found = byKey.constFind(key);
        if (found == byKey.cend()) {
            found = byKey.insert(key, qsizetype(conversations.size()));
            conversations.emplace_back();
            conversations.back().noChat = !m->chat;
            conversations.back().identifier = identifier;
        }
        Conversation &c = conversations[size_t(*found)];
        if (m->chat)
            c.last = qMax(c.last, m->chat->_last);
        c.messages.append(m);
    }
    QList<Conversation *> order;
    for (Conversation &c : conversations) {
        std::stable_sort(c.messages.begin(), c.messages.end(), ascending ? messageLessThan : messageGreaterThan);
        order.append(&c);
    }
    std::stable_sort(order.begin(), order.end(), ascending ? conversationBefore : conversationAfter);

    if (messages.isEmpty())
        return;
    if (format == Html)
        copyAssets(stage);

    const QDir folder(path);
    const QString suffix = format == Pdf ? QStringLiteral(".pdf") : QStringLiteral(".html");
    QSet<QString> taken;
    int i = 0;
    for (const Conversation *c : std::as_const(order)) {
        for (qsizetype k = 0; k < c->messages.size(); ++k) {
            progress.step(++i);
            if (k == 0) {
                const QString name = uniqueFileName(baseFileName(c->messages[0]->chat), suffix, folder, taken);
                const QString temp = stage.stage(folder.absoluteFilePath(name));
                if (format == Pdf)
                    writer.reset(new ExportSMSPdf(temp));
                else
                    writer.reset(new ExportSMSHtml(temp));
                writer->begin();
            }
            writer->write(*c->messages[k]);
        }
        writer->end();
        writer.reset();
    }
}

void ExportSMSThread::copyAssets(ExportStage &stage) const
{
    const QDir program(QCoreApplication::applicationDirPath());
    const QDir target(path);
    const std::pair<const char *, const char *> folders[] = {{"bubble", "files"}, {"emoji", "emoji"}};
    for (const auto &[from, to] : folders) {
        const QString destination = target.absoluteFilePath(QLatin1String(to));
        const bool existed = QFileInfo::exists(destination);
        if (!stage.makeFolder(destination))
            continue;
        const QFileInfoList files = QDir(program.absoluteFilePath(QLatin1String(from))).entryInfoList(QDir::Files);
        for (const QFileInfo &file : files) {
            const QString copy = QDir(destination).absoluteFilePath(file.fileName());
            // A file already there is kept: the copy fails and is passed over.
            if (QFile::copy(file.absoluteFilePath(), copy) && existed)
                stage.noteCreated(copy);
        }
    }
}
