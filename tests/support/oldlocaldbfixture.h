#pragma once
// Local databases of the old single-file format: one SQLite file with a table
// "view_sms" whose bodies are RC4-enciphered under the fixed key (enciphered
// here with mbedTLS, independently of the program's own cipher).
#include <QList>
#include <QString>
#include <optional>

namespace testsupport {

struct OldSmsRow
{
    QString address;
    QString person;
    qint64 date = 0; // Unix seconds
    int isSend = 0;
    std::optional<QString> body; // nullopt: NULL
};

extern const char *const kOldLocalDbKey;

// Writes (replacing) an old-format database with these rows.
void writeOldLocalDb(const QString &path, const QList<OldSmsRow> &rows);

} // namespace testsupport
