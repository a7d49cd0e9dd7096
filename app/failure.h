#pragma once
// A failure that ends an operation is thrown as std::runtime_error holding its
// text for the user in UTF-8; whoever runs the operation (a worker thread, a
// dialog) catches it and shows what().
#include <QString>

[[noreturn]] void throwError(const QString &text);
