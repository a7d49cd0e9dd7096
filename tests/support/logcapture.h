#pragma once
// Collects every Qt message of every thread while it lives (the handler in
// place before is restored after), so a test can read the lines a class
// logs, also from threads of its own.
#include <QStringList>

namespace testsupport {

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // The lines that start with prefix.
    QStringList linesStartingWith(const QString &prefix) const;
    // Waits (processing events) until a line starts with prefix.
    bool waitForLine(const QString &prefix, int timeoutMs = 10000) const;
    void clear();
};

} // namespace testsupport
