// The attributedBody column of a later phone's message: an archived
// NSAttributedString whose plain words the store reads when the text column
// is empty.
#include "fuzz/fuzzenv.h"
#include "store/attributedbodytext.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray blob(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString words = attributedBodyText(blob);
    // The words must be whole characters: a lone surrogate would be a
    // decoder fault the views pass on.
    if (!words.isValidUtf16()) {
        std::fprintf(stderr, "attributedBodyText answered invalid UTF-16\n");
        std::abort();
    }
    fuzzenv::keep(quint64(words.size()));
    return 0;
}
