#pragma once
// The English translation. Texts are looked up by IDS key in the context of the
// class that shows them; every IDS key is kept once, in the context "QObject",
// and found from any class's context.
#include <QTranslator>

class IdsTranslator : public QTranslator
{
public:
    using QTranslator::QTranslator;

    QString translate(const char *context, const char *sourceText,
                      const char *disambiguation = nullptr, int n = -1) const override;
};
