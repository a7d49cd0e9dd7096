#include "tests/support/testmain.h"

#include <QDir>

namespace testsupport {

void useHome(const QString &root)
{
    const QString data = root + "/.local/share";
    QDir().mkpath(data);
    qputenv("HOME", QFile::encodeName(root));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
}

} // namespace testsupport
