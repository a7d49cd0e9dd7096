// The message database of a phone on iOS 6 or later: the input becomes the
// sms.db of a phone's cache folder, which is opened as a phone's file (never
// upgraded) and read as the program reads it.
#include "fuzz/fuzzenv.h"
#include "store/absiosmessagedb.h"
#include "store/ios6messagedb.h"
#include "store/msgrecords.h"

#include <algorithm>
#include <exception>

namespace {

void load(const QDir &cacheDir, qint64 chatId, QList<qint64> *chatIds)
{
    IOS6MessageDb db(cacheDir, QStringLiteral("404"), false);
    QSharedPointer<_MsgStore> store;
    try {
        db.chats(store);
        db.messages(store, chatId);
        db.hasItemType();
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
    const QString path = IOS6MessageDb::databasePath(scratch.dir());
    if (!fuzzenv::writeFile(path, data, size))
        return 0;
    try {
        AbsIOSMessageDb::detectVersion(path);
    } catch (const std::exception &) {
    }
    QList<qint64> chatIds;
    load(scratch.dir(), 0, &chatIds);
    // The one-chat query too, for the first chat.
    if (!chatIds.isEmpty() && chatIds.first() > 0)
        load(scratch.dir(), chatIds.first(), nullptr);
    return 0;
}
