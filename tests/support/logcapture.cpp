#include "tests/support/logcapture.h"

#include <QMutex>
#include <QtTest/QtTest>

namespace testsupport {

namespace {

QMutex s_mutex;
QStringList s_lines;
QtMessageHandler s_previous = nullptr;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&s_mutex);
    s_lines.append(message);
}

} // namespace

LogCapture::LogCapture()
{
    clear();
    s_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(s_previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&s_mutex);
    return s_lines;
}

QStringList LogCapture::linesStartingWith(const QString &prefix) const
{
    QStringList out;
    for (const QString &line : lines()) {
        if (line.startsWith(prefix))
            out.append(line);
    }
    return out;
}

bool LogCapture::waitForLine(const QString &prefix, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return !linesStartingWith(prefix).isEmpty(); }, timeoutMs);
}

void LogCapture::clear()
{
    QMutexLocker lock(&s_mutex);
    s_lines.clear();
}

} // namespace testsupport
