#include "store/localdbupdatethread.h"

#include "app/datafolder.h"
#include "app/progressform.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/countrylibdb.h"
#include "store/exportmessagesdb.h"
#include "store/msgrecords.h"
#include "store/msgtext.h"
#include "store/rc4.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

const char *const LocalDbUpdateThread::kBodyKey = "3F7C21A9E04B58D6C1F2A83B97E6D045";

namespace {

// The name an old file takes while it is converted; a file that already ends
// in it is a conversion an earlier start left unfinished.
const QLatin1String kTmpSuffix(".__tmp");
const char *const kSideSuffixes[] = {"-journal", "-wal", "-shm"};

// A side file belongs to the database whose name it carries before its
// suffix; without that database beside it, it is an old database of its own.
bool isSideFile(const QFileInfo &file)
{
    const QString name = file.fileName();
    for (const char *suffix : kSideSuffixes) {
        const QLatin1String side(suffix);
        if (name.size() > side.size() && name.endsWith(side, Qt::CaseInsensitive)
            && QFileInfo(file.dir().filePath(name.chopped(side.size()))).isFile())
            return true;
    }
    return false;
}

// Renames a database file together with the side files SQLite keeps beside
// it, so that an unfinished old transaction can still be rolled back.
bool renameWithSideFiles(const QString &from, const QString &to)
{
    if (!QFile::rename(from, to))
        return false;
    for (const char *suffix : kSideSuffixes) {
        const QString side = from + QLatin1String(suffix);
        if (QFileInfo::exists(side))
            QFile::rename(side, to + QLatin1String(suffix));
    }
    return true;
}

// An old database is an SQLite file: its first 16 bytes say so. Anything
// else in the folder (a note, a file manager's index) is not ours to rename.
bool hasSqliteHeader(const QFileInfo &file)
{
    static const QByteArray kMagic("SQLite format 3", 16); // with its zero byte
    QFile f(file.absoluteFilePath());
    if (file.isSymLink() || !f.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    return f.read(kMagic.size()) == kMagic;
}

void removeWithSideFiles(const QString &path)
{
    QFile::remove(path);
    for (const char *suffix : kSideSuffixes)
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

LocalDbUpdateThread::LocalDbUpdateThread(ProgressForm *form, QObject *parent)
    : QThread(parent), form(form)
{
}

LocalDbUpdateThread::~LocalDbUpdateThread() = default;

QFileInfoList LocalDbUpdateThread::oldDatabaseFiles()
{
    // By name, so that every start goes through them in the same order.
    QFileInfoList files = localDatabasesDir().entryInfoList(QDir::Files, QDir::Name);
    files.removeIf([](const QFileInfo &f) { return isSideFile(f) || !hasSqliteHeader(f); });
    return files;
}

void LocalDbUpdateThread::run()
{
    const QFileInfoList files = oldDatabaseFiles();
    // One file that fails must not keep the others from being converted: it
    // is reported once the rest are done, and tried again at the next start.
    QStringList failures;
    QStringList converted; // the renamed old files, gone once converted
    for (const QFileInfo &file : files) {
        form->postUpdateProgress(tr("IDS_UPDATING_LOCALDB_%1").arg(file.fileName()), 0, QString());
        try {
            converted << convert(file, [this](int n, int total) {
                // total comes from a second run of the query, which a
                // damaged file's view may answer differently (even with 0).
                const int percent = total > 0 ? int(qMin<qint64>(100, qint64(n) * 100 / total)) : 100;
                form->postUpdateProgress(QString(), percent, tr("SMS: %1/%2").arg(n).arg(total));
            });
        } catch (const std::exception &e) {
            // Named as the user knows it, also when an earlier start renamed it.
            QString name = file.fileName();
            if (name.endsWith(kTmpSuffix, Qt::CaseInsensitive))
                name.chop(kTmpSuffix.size());
            failures << QStringLiteral("%1: %2").arg(name, QString::fromUtf8(e.what())).toHtmlEscaped();
        }
    }

    // A converted file whose deletion failed goes now; a renamed file whose
    // conversion failed stays for the next start.
    for (const QString &path : std::as_const(converted))
        removeWithSideFiles(path);

    if (!failures.isEmpty()) {
        form->postErrorOccurred(failures.join(QLatin1String("<br/>")));
        return;
    }
    form->postSucceed(tr("IDS_LOCALDB_UPDATE_SUC_RESTART_REFRESH"));
}

QString LocalDbUpdateThread::convert(const QFileInfo &file, const std::function<void(int n, int total)> &progress)
{
    QString path = file.absoluteFilePath();
    if (!path.endsWith(kTmpSuffix, Qt::CaseInsensitive)) {
        const QString renamed = path + kTmpSuffix;
        if (!renameWithSideFiles(path, renamed))
            throw std::runtime_error(QStringLiteral("can not rename %1.").arg(path).toUtf8().toStdString());
        path = renamed;
    }
    const QString folder = path.left(path.lastIndexOf('.'));

    ExportMessagesDb writer{QDir(folder), QString()};
    Sqlite3DB old;
    try {
        old.openThrow(path, 2);
        // Queried before the new folder exists: an SQLite file of another
        // kind fails here and leaves no empty database under its name.
        Sqlite3Cursor rows = old.queryThrow(Sqlite3Sql("select * from view_sms"));
        writer.begin();
        // The writer's own country data: built without a country code, so
        // numbers keep only their digits.
        CountryLibDb countries{QString()};
        const _CountryInfo country = countries.defaultCountry();
        const int total = rows.count();
        const QByteArray key(kBodyKey);
        for (int n = 1; rows.moveNext(); ++n) {
            progress(n, total);

            const QString address =
                CountryLibDb::normalizeNumber(country, rows.getText(QStringLiteral("address")));
            _MsgHandle handle;
            handle.id = address;
            handle.service = QStringLiteral("SMS");
            handle._ct_name = rows.getText(QStringLiteral("person"));

            _MsgChat chat;
            chat.members.insert(address, &handle);
            chat.style = 45;
            chat.state = 3;
            chat.guid = QStringLiteral("SMS;-;") + address;
            chat.chat_identifier = address;
            chat.service_name = QStringLiteral("SMS");
            chat.account_login = QStringLiteral("E:");

            _MsgMessage message;
            const QByteArray body = rows.getBlob(QStringLiteral("body"));
            message.text = body.isEmpty() ? QString() : QString::fromUtf8(rc4(key, body));
            message.version = 10;
            message.type = 0;
            message.service = QStringLiteral("SMS");
            message.account = QStringLiteral("e:");
            message.error = 0;
            const int date = int(qint64(rows.getInt(QStringLiteral("date"))) - MSG_EPOCH_OFFSET);
            message.date = message.date_read = message.date_delivered = date;
            message.is_from_me = rows.getInt64(QStringLiteral("is_send")) != 0 ? 1 : 0;
            message.is_finished = message.is_prepared = message.is_read = message.is_sent = 1;
            message.was_data_detected = 1;
            message.handle = &handle;
            message.chat = &chat;
            message.guid = guidFromMd5(calcLogicHash(message).toUtf8());

            writer.write(message);
        }
        writer.end();
        old.close();
    } catch (...) {
        writer.abort();
        old.close();
        throw;
    }
    // Only now is every row of the old file safely stored in the new one.
    removeWithSideFiles(path);
    return path;
}
