#include "app/idstranslator.h"

#include <cstring>

QString IdsTranslator::translate(const char *context, const char *sourceText,
                                 const char *disambiguation, int n) const
{
    QString text = QTranslator::translate(context, sourceText, disambiguation, n);
    if (text.isEmpty() && sourceText && std::strncmp(sourceText, "IDS_", 4) == 0
        && (!context || std::strcmp(context, "QObject") != 0))
        text = QTranslator::translate("QObject", sourceText, disambiguation, n);
    return text;
}
