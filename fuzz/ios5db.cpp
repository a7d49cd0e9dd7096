// An iOS 5 phone's message database: the input becomes the sms.db of a
// phone's cache folder, which is opened and read as the program reads it.
#include "fuzz/fuzzenv.h"
#include "store/absiosmessagedb.h"
#include "store/ios5messagedb.h"
#include "store/msgrecords.h"

#include <algorithm>
#include <exception>

namespace {

// The reader as the program uses it: chats, then every message, or the
// messages of one chat.
void load(const QDir &cacheDir, qint64 chatId, QList<qint64> *chatIds)
{
    IOS5MessageDb db(cacheDir, QStringLiteral("404"));
    QSharedPointer<_MsgStore> store;
    try {
        db.chats(store);
        db.messages(store, chatId);
    } catch (const std::exception &) {
    }
    if (chatIds && store) {
        *chatIds = storeOf(store)->chats.keys();
        std::stable_sort(chatIds->begin(), chatIds->end());
    }
    fuzzenv::walkStore(store);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzenv::Scratch scratch;
    const QString path = IOS5MessageDb(scratch.dir(), QString()).filePath();
    if (!fuzzenv::writeFile(path, data, size))
        return 0;
    try {
        AbsIOSMessageDb::detectVersion(path);
    } catch (const std::exception &) {
    }
    QList<qint64> chatIds;
    load(scratch.dir(), 0, &chatIds);
    // One SMS chat and one iMessage chat alone, when there are such.
    if (!chatIds.isEmpty()) {
        load(scratch.dir(), chatIds.first(), nullptr);
        if (chatIds.last() != chatIds.first())
            load(scratch.dir(), chatIds.last(), nullptr);
    }
    return 0;
}
