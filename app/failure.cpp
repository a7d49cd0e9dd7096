#include "app/failure.h"

#include <stdexcept>

void throwError(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}
