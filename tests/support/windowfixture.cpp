#include "tests/support/windowfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sqlite3.h>
#include <stdexcept>

namespace testsupport {

namespace {

MsgFixtureHandle handle(qint64 rowid, const QString &id, const QString &name, const QString &service = "SMS")
{
    MsgFixtureHandle h;
    h.rowid = rowid;
    h.id = id;
    h.country = id.startsWith("+49") ? "de" : id.startsWith("+33") ? "fr" : "";
    h.service = service;
    h.uncanonicalizedId = id;
    h.ctName = name;
    return h;
}

MsgFixtureChat chat(qint64 rowid, const QString &identifier, const QList<qint64> &handles,
                    const QString &service = "SMS")
{
    MsgFixtureChat c;
    c.rowid = rowid;
    c.guid = service + ";-;" + identifier;
    c.identifier = identifier;
    c.service = service;
    c.handles = handles;
    return c;
}

void removeTree(const QString &path)
{
    QDir dir(path);
    if (dir.exists())
        dir.removeRecursively();
}

} // namespace

MsgFixtureContent typicalConversations()
{
    MsgFixtureContent content;
    content.handles = {handle(1, "+4915112345678", QString::fromUtf8("Anna Schmidt")),
                       handle(2, "bernd.mueller@example.org", QString::fromUtf8("Bernd M\u00fcller"), "iMessage"),
                       handle(3, "+4917098765432", QString()),
                       handle(4, "+33612345678", QString::fromUtf8("Chlo\u00e9 Martin"))};
    content.chats = {chat(1, "+4915112345678", {1}), chat(2, "bernd.mueller@example.org", {2}, "iMessage"),
                     chat(3, "chat493827164503921876", {1, 3, 4})};
    content.chats[2].style = 43;
    content.chats[2].displayName = QString::fromUtf8("Bergtour \U0001F3D4");
    content.chats[2].guid = "SMS;+;chat493827164503921876";

    const QString longText =
        QString::fromUtf8("Hier die ganze Wegbeschreibung, damit niemand sich verl\u00e4uft: ")
        + QStringLiteral("erst am Bahnhof links, dann die Br\u00fccke \u00fcber den Fluss, am Kiosk vorbei und "
                         "den schmalen Pfad hinauf bis zur H\u00fctte. ")
              .repeated(12);
    struct Line
    {
        qint64 chat;
        qint64 from; // 0: me
        QString text;
        QString service;
    };
    const QList<Line> lines = {
        {1, 1, QString::fromUtf8("Hallo! Kommst du heute Abend? \U0001F600"), "SMS"},
        {1, 0, QString::fromUtf8("Ja, gegen acht. Bringe Kuchen mit \U0001F370"), "SMS"},
        {2, 2, QString::fromUtf8("Did you get the tickets?"), "iMessage"},
        {2, 0, QString::fromUtf8("Yes \u2013 row 12, seats 3 & 4 <balcony>"), "iMessage"},
        {3, 4, QString::fromUtf8("On part samedi \u00e0 7h ?"), "SMS"},
        {3, 3, longText, "SMS"},
        {3, 0, QString::fromUtf8("Perfekt, ich bin dabei \U0001F44D\U0001F3FD"), "SMS"},
        {1, 1, QString::fromUtf8("Super, bis sp\u00e4ter!"), "SMS"},
    };
    int date = 600000000;
    qint64 rowid = 1;
    for (const Line &line : lines) {
        MsgFixtureMessage m;
        m.rowid = rowid++;
        m.guid = QStringLiteral("5D0F3C2A-0000-4000-8000-%1").arg(m.rowid, 12, 10, QLatin1Char('0'));
        m.text = line.text;
        m.handleId = line.from;
        m.isFromMe = line.from == 0 ? 1 : 0;
        m.isSent = m.isFromMe;
        m.service = line.service;
        m.date = date;
        m.dateRead = date + 30;
        date += 3600;
        m.chats = {line.chat};
        content.messages.append(m);
        content.chats[int(line.chat - 1)].last = m.date;
    }
    return content;
}

MsgFixtureContent conversationsWithTexts(const QStringList &titles, const QStringList &texts)
{
    MsgFixtureContent content;
    for (int i = 0; i < titles.size(); ++i) {
        const QString number = QStringLiteral("+491511000%1").arg(i, 4, 10, QLatin1Char('0'));
        content.handles.append(handle(i + 1, number, titles.at(i)));
        content.chats.append(chat(i + 1, number, {i + 1}));
    }
    int date = 600000000;
    for (int i = 0; i < texts.size(); ++i) {
        MsgFixtureMessage m;
        m.rowid = i + 1;
        m.guid = QStringLiteral("7A1B2C3D-0000-4000-8000-%1").arg(m.rowid, 12, 10, QLatin1Char('0'));
        m.text = texts.at(i);
        const int c = titles.isEmpty() ? 0 : i % int(titles.size());
        m.handleId = c + 1;
        // Rowids 30 apart: the list orders them by date alone.
        m.rowid = 1 + qint64(i) * 30;
        m.date = date;
        date += 60;
        m.chats = {qint64(c + 1)};
        content.messages.append(m);
        if (!content.chats.isEmpty())
            content.chats[c].last = m.date;
    }
    // Newest conversation first in the tree: give the earlier titles the
    // newer dates so the rows keep the order of titles.
    for (int i = 0; i < content.chats.size(); ++i)
        content.chats[i].last = 700000000 - i;
    return content;
}

QString writeWindowDb(const QString &dataDir, const QString &area, const QString &name,
                      const MsgFixtureContent &content)
{
    const QString folder = QDir(dataDir).absoluteFilePath(area + "/" + name);
    QDir().mkpath(folder);
    writeMsgDb(folder, MsgDbLayout::Local, content);
    return folder;
}

QString writeBrokenWindowDb(const QString &dataDir, const QString &area, const QString &name)
{
    const QString folder = QDir(dataDir).absoluteFilePath(area + "/" + name);
    const QString path = messageDbPath(folder);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + path.toStdString());
    file.write(QByteArray("This is not a database, just text where sms.db should be.\n").repeated(40));
    return folder;
}

void appendMessage(const QString &folder, qint64 chatRowid, const QString &text)
{
    sqlite3 *db = nullptr;
    const QByteArray path = QFile::encodeName(messageDbPath(folder));
    if (sqlite3_open(path.constData(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path.toStdString());
    }
    const QByteArray sql =
        "insert into message (guid, text, handle_id, service, date, is_from_me) values ("
        "lower(hex(randomblob(16))), ?1, 0, 'SMS', (select coalesce(max(date), 600000000) + 60 from message), 1);"
        "insert into chat_message_join (chat_id, message_id) values (?2, last_insert_rowid());";
    sqlite3_stmt *stmt = nullptr;
    const char *tail = sql.constData();
    bool ok = true;
    while (ok && tail && *tail) {
        if (sqlite3_prepare_v2(db, tail, -1, &stmt, &tail) != SQLITE_OK) {
            ok = false;
            break;
        }
        if (!stmt)
            break;
        const QByteArray utf8 = text.toUtf8();
        if (sqlite3_bind_parameter_count(stmt) >= 1 && sqlite3_bind_parameter_index(stmt, "?1") > 0)
            sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, "?1"), utf8.constData(), -1,
                              SQLITE_TRANSIENT);
        if (sqlite3_bind_parameter_index(stmt, "?2") > 0)
            sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, "?2"), chatRowid);
        ok = sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    const std::string error = sqlite3_errmsg(db);
    sqlite3_close(db);
    if (!ok)
        throw std::runtime_error("appendMessage: " + error);
}

void clearWindowData(const QString &dataDir)
{
    const QDir dir(dataDir);
    for (const char *folder : {"local_databases", "virtual_ios", "virtual_android", "ios_cache", "itunes_cache",
                               "android_cache"})
        removeTree(dir.absoluteFilePath(QLatin1String(folder)));
    for (const char *file : {"last-check-version-time", "last-adv"})
        QFile::remove(dir.absoluteFilePath(QLatin1String(file)));
}

VirtualIPhoneSetup numberedIPhone(int n, const QString &folderStem, const QString &udidStem,
                                  const QString &productVersion)
{
    VirtualIPhoneSetup setup = typicalIPhone(folderStem + QString::number(n), productVersion);
    setup.values[QStringLiteral("UniqueDeviceID")] = udidStem + QStringLiteral("%1").arg(n, 2, 10, QChar('0'));
    setup.messages = typicalConversations();
    return setup;
}

} // namespace testsupport
