// Recovering deleted messages of a database in the iOS 5 layout: the members
// of IOS5MessageDb that read its file raw. One table holds SMS rows (the
// correspondent's address, Unix dates) and iMessage rows (the madrid_
// columns, dates counted from 2001); each recovered row brings its
// conversation and correspondent with it.
#include "store/ios5messagedb.h"

#include "recovery/carvelayouts.h"
#include "recovery/deletedrowscan.h"
#include "recovery/sqlite3file.h"
#include "store/msgtext.h"

#include <QDateTime>

namespace {

// Columns of the layout (see carveIos5MessageLayout).
enum Ios5MessageColumn {
    Address = 1,
    Date = 2,
    Text = 3,
    Flags = 4,
    Replace = 5,
    SvcCenter = 6,
    UIFlags = 10,
    Version = 11,
    Subject = 12,
    Country = 13,
    Read = 16,
    MadridAttributedBody = 17,
    MadridHandle = 18,
    MadridGuid = 20,
    MadridRoomname = 22,
    MadridService = 23,
    MadridAccount = 24,
    MadridError = 28,
    IsMadrid = 29,
    MadridDateRead = 30,
    MadridDateDelivered = 31,
    MadridAccountGuid = 32,
};

bool isZeroOrOne(int value)
{
    return value == 0 || value == 1;
}

bool isUIFlags(int value)
{
    return value == 0 || value == 4 || value == 5 || value == 6;
}

} // namespace

bool IOS5MessageDb::filterCarvedMessage(_SqliteCarvedRow *row)
{
    // A row cut at the end of its range lost its last values (see the iOS 6
    // filters).
    const QList<QVariant> &v = row->values;
    return !row->cut && v.size() > 16 && isZeroOrOne(v.at(Read).toInt()) && isUIFlags(v.at(UIFlags).toInt()) &&
           (v.size() <= 32 || isZeroOrOne(v.at(IsMadrid).toInt()));
}

bool IOS5MessageDb::carvedRowToMessage(const _SqliteCarvedRow &row, _RecycleMessage *out)
{
    const QList<QVariant> &v = row.values;
    if (v.size() <= 16)
        return false;
    *out = _RecycleMessage();
    _RecycleMessage &m = *out;
    m.rowid = row.rowid;
    _MsgMessageRare rare; // kept only when one is not at its default
    rare.replace = v.at(Replace).toInt();
    if (!isZeroOrOne(v.at(Read).toInt()) || !isUIFlags(v.at(UIFlags).toInt()))
        return false;
    m.text = v.at(Text).toString();
    m.service_center = v.at(SvcCenter).toString();
    rare.subject = v.at(Subject).toString();
    m.setRare(rare);
    m.country = v.at(Country).toString();
    bool found = false;
    const _CountryInfo country = countryDb.countryBySn(m.country, &found);
    if (!m.country.isEmpty() && !found)
        return false;
    m.version = v.at(Version).toInt();
    m.type = 0;
    m.is_delivered = 0;
    m.is_finished = 1;
    m.is_empty = 0;
    m.is_prepared = 1;
    m.is_read = 1;
    m.is_sent = 1;
    m.has_dd_results = 0;
    m.cache_has_attachments = 0;
    m.was_data_detected = 1;
    m.was_deduplicated = 0;
    m.handle_id = 0;

    bool iMessage = false;
    if (v.size() > 32) {
        const int isMadrid = v.at(IsMadrid).toInt();
        if (!isZeroOrOne(isMadrid))
            return false;
        if (isMadrid == 0) {
            for (int i = MadridAttributedBody; i <= MadridDateDelivered; ++i) {
                if (i != IsMadrid && !v.at(i).isNull())
                    return false;
            }
        } else {
            if (v.at(MadridService).toString() != QLatin1String("Madrid"))
                return false;
            iMessage = true;
        }
    }

    // Dates in 64 bits: a damaged or carved value far below 1970 must fail
    // the test below, not wrap round into a plausible int.
    qint64 date = 0;
    if (!iMessage) {
        m.guid = newGuid();
        m.service = QStringLiteral("SMS");
        m.account = QStringLiteral("e:");
        m.error = 0;
        date = v.at(Date).toLongLong() - MSG_EPOCH_OFFSET;
        // The phone's own reader takes bit 0 as the user's: failed sends
        // (flags 33) are the user's too, not only delivered ones (3).
        m.is_from_me = v.at(Flags).toInt() & 1;
        const QString address = v.at(Address).toString();
        if (address.isEmpty())
            return false;
        m.chat_identifier = CountryLibDb::normalizeNumber(country, address);
        m.handle = m.chat_identifier;
    } else {
        m.guid = v.at(MadridGuid).toString();
        m.service = QStringLiteral("iMessage");
        m.account = v.at(MadridAccount).toString();
        m.account_guid = v.at(MadridAccountGuid).toString();
        m.error = v.at(MadridError).toInt();
        date = v.at(Date).toLongLong();
        m.date_read = v.at(MadridDateRead).toInt();
        m.date_delivered = v.at(MadridDateDelivered).toInt();
        m.is_from_me = m.date_delivered > 0 ? 1 : 0;
        m.handle = CountryLibDb::normalizeNumber(country, v.at(MadridHandle).toString());
        const QString room = v.at(MadridRoomname).toString();
        m.chat_identifier = room.isEmpty() ? m.handle : room;
    }

    if (date <= 0 || date > QDateTime::currentSecsSinceEpoch() - MSG_EPOCH_OFFSET)
        return false;
    m.date = int(date);
    if (!iMessage) {
        m.date_read = m.date;
        m.date_delivered = m.date;
    }
    return true;
}

void IOS5MessageDb::recoverDeletedMessages(ProgressForm *progress)
{
    Sqlite3File file(dbPath);
    DeletedRowScan::openCheckpointed(*this, file);

    DeletedRowScan scan(file, progress);
    DeletedRowScan::inTransaction(recycle, [&] {
        // SMS rows get a fresh guid each run: their duplicates are found by
        // date, is_from_me and text.
        auto store = [this](const _RecycleMessage &r, qint64 srcRowid) {
            if (recycle.findMessage(r) == 0)
                recycle.insertMessage(r, r.chat_identifier, r.handle, srcRowid);
        };
        scan.walkFreelist([&](const _SqliteCarvedRow &row) {
            _RecycleMessage r;
            if (carvedRowToMessage(row, &r))
                store(r, row.rowid);
        });

        const QList<QList<_SqliteCol>> layouts = {carveIos5MessageLayout(33), carveIos5MessageLayout(32),
                                                  carveIos5MessageLayout(17)};
        qint64 root = 0;
        if (!DeletedRowScan::rootPage(*this, "select rootpage from sqlite_master where type='table' and name='message'",
                                      &root))
            return;
        scan.queueLeaves(root);
        scan.carveQueued([&](const _SqlitePage &page) {
            QList<_RecycleMessage> collected;
            // A shorter layout is tried only where the longer one found
            // nothing, or found something that is no message.
            for (const QList<_SqliteCol> &layout : layouts) {
                if (scan.cancelled())
                    break;
                const QList<_SqliteCarvedRow> rows = DeletedRowScan::carve(file, page, layout, filterCarvedMessage);
                bool allConverted = !rows.isEmpty();
                for (const _SqliteCarvedRow &row : rows) {
                    _RecycleMessage r;
                    if (carvedRowToMessage(row, &r))
                        collected.append(r);
                    else
                        allConverted = false;
                }
                if (allConverted)
                    break;
            }
            for (const _RecycleMessage &r : std::as_const(collected)) {
                if (scan.cancelled())
                    break;
                store(r, r.rowid);
            }
        });
    });
}
