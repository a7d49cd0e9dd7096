// A local database of the old single-file format: the input becomes such a
// file in a scratch folder and is converted into a database folder by the
// same code the start-up runs.
#include "fuzz/fuzzenv.h"
#include "store/localdbupdatethread.h"

#include <exception>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzenv::Scratch scratch;
    const QString path = scratch.dir().absoluteFilePath(QStringLiteral("old.db"));
    if (!fuzzenv::writeFile(path, data, size))
        return 0;
    int rows = 0;
    try {
        LocalDbUpdateThread::convert(QFileInfo(path), [&rows](int n, int total) {
            rows = n;
            (void)total;
        });
    } catch (const std::exception &) {
    }
    fuzzenv::keep(quint64(rows));
    return 0;
}
