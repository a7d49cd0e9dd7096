#include "tests/support/oldlocaldbfixture.h"

#include "tests/support/sqlitefixture.h"

#include <QFile>
#include <mbedtls/arc4.h>

namespace testsupport {

const char *const kOldLocalDbKey = "3F7C21A9E04B58D6C1F2A83B97E6D045";

namespace {
QByteArray encipher(const QByteArray &plain)
{
    mbedtls_arc4_context ctx;
    mbedtls_arc4_init(&ctx);
    mbedtls_arc4_setup(&ctx, reinterpret_cast<const unsigned char *>(kOldLocalDbKey), 32);
    QByteArray out(plain.size(), '\0');
    mbedtls_arc4_crypt(&ctx, size_t(plain.size()), reinterpret_cast<const unsigned char *>(plain.constData()),
                       reinterpret_cast<unsigned char *>(out.data()));
    mbedtls_arc4_free(&ctx);
    return out;
}
} // namespace

void writeOldLocalDb(const QString &path, const QList<OldSmsRow> &rows)
{
    QFile::remove(path);
    SqliteFixture db(path);
    db.exec("create table view_sms (address text, person text, date integer, is_send integer, body blob)");
    for (const OldSmsRow &row : rows) {
        db.run("insert into view_sms (address, person, date, is_send, body) values (?, ?, ?, ?, ?)",
               {row.address, row.person, row.date, row.isSend,
                row.body ? QVariant(encipher(row.body->toUtf8())) : QVariant()});
    }
}

} // namespace testsupport
