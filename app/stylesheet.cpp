#include "app/stylesheet.h"

#include <QFile>

namespace {
QString s_styleSheet;
}

QString styleSheet()
{
    if (s_styleSheet.isEmpty()) {
        QFile file(QStringLiteral(":style.css"));
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray bytes = file.readAll();
            const int zero = bytes.indexOf('\0');
            if (zero >= 0)
                bytes.truncate(zero);
            s_styleSheet = QString::fromLatin1(bytes);
        }
    }
    return s_styleSheet;
}
