#include "ios/backupfilelist.h"

BackupFileList::~BackupFileList() = default;

bool BackupFileList::isFileId(const QString &text)
{
    if (text.size() != 40)
        return false;
    for (const QChar c : text) {
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const bool letter = c >= QLatin1Char('a') && c <= QLatin1Char('f');
        if (!digit && !letter)
            return false;
    }
    return true;
}

std::vector<std::pair<QString, _MbdbRecord>> BackupFileList::readList()
{
    QHash<QString, _MbdbRecord> records = read();
    std::vector<std::pair<QString, _MbdbRecord>> list;
    list.reserve(size_t(records.size()));
    for (auto it = records.begin(); it != records.end(); ++it)
        list.emplace_back(it.key(), std::move(it.value()));
    return list;
}

void BackupFileList::readEach(const std::function<void(const QString &, _MbdbRecord &&)> &take,
                              const std::function<void(qint64)> &expect)
{
    QHash<QString, _MbdbRecord> records = read();
    if (expect)
        expect(records.size());
    for (auto it = records.begin(); it != records.end(); ++it)
        take(it.key(), std::move(it.value()));
}
