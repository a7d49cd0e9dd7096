// One file's metadata in a backup of iOS 10 and later: an NSKeyedArchiver
// list read in place by KeyedArchive, every value of the MBFile looked up as
// the file list does, then turned into a record by the file list itself.
// The one-pass reader of the usual shape must, whenever it answers, answer
// as the general reader does.
#include "fuzz/fuzzenv.h"
#include "ios/manifestdbfilelist.h"
#include "ios/mbfilequickreader.h"
#include "platform/plist/keyedarchive.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    quint64 sum = 0;
    KeyedArchive archive;
    if (archive.load(bytes)) {
        const qint64 root = archive.root();
        for (const char *key : {"RelativePath", "LastModified", "Birth", "LastStatusChange", "Mode", "UserID",
                                "GroupID", "InodeNumber", "Size", "ProtectionClass", "Flags", "Target",
                                "EncryptionKey", "Digest", "$class"}) {
            const qint64 object = archive.member(root, QLatin1String(key));
            qint64 number = 0;
            double real = 0;
            sum += quint64(archive.type(object)) + archive.toInteger(object, number) + quint64(number);
            sum += archive.toReal(object, real);
            sum += quint64(archive.toString(object).size()) + quint64(archive.toData(object).size());
            const qint64 inner = archive.member(object, QLatin1String("NS.data"));
            sum += quint64(archive.toData(inner).size());
        }
        sum += quint64(archive.error().size());
    }
    MbFileValues quick, general;
    QString why;
    const bool generalRead = ManifestDbFileList::archiveValues(bytes, general, why);
    if (MbFileQuickReader::read(reinterpret_cast<const char *>(data), qsizetype(size), quick)
        && (!generalRead || !(quick == general)))
        std::abort(); // the quick reader took what the general one refuses or reads otherwise
    sum += quint64(why.size());
    for (qint64 flags : {1, 2, 4, 0}) {
        _MbdbRecord record;
        QString error;
        if (ManifestDbFileList::recordFromRow(QByteArrayLiteral("HomeDomain"), QByteArrayLiteral("Library/SMS/sms.db"), flags,
                                              bytes, record, error))
            sum += quint64(record.fileLength) + record.mode + quint64(record.encryptionKey.bytes.size());
        else
            sum += quint64(error.size());
    }
    fuzzenv::keep(sum);
    return 0;
}
