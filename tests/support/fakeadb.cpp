#include "tests/support/fakeadb.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QtTest/QTest>

FakeAdb::FakeAdb(bool installed)
    : oldPath(qgetenv("PATH")), oldDir(qgetenv("QP_FAKE_ADB_DIR")), oldAppPort(qgetenv("QP_FAKE_APP_PORT"))
{
    const QString bin = QStringLiteral(QP_FAKE_ADB_BIN_DIR);
    if (installed && !QFileInfo(bin + "/adb").isExecutable())
        qFatal("the fake adb is missing in %s", qPrintable(bin));
    const QString first = installed ? bin : emptyPath.path();
    qputenv("PATH", QFile::encodeName(first) + (installed ? ":" + oldPath : QByteArray()));
    qputenv("QP_FAKE_ADB_DIR", QFile::encodeName(folder.path()));
    qunsetenv("QP_FAKE_APP_PORT");
}

FakeAdb::~FakeAdb()
{
    qputenv("PATH", oldPath);
    if (oldDir.isNull())
        qunsetenv("QP_FAKE_ADB_DIR");
    else
        qputenv("QP_FAKE_ADB_DIR", oldDir);
    if (oldAppPort.isNull())
        qunsetenv("QP_FAKE_APP_PORT");
    else
        qputenv("QP_FAKE_APP_PORT", oldAppPort);
}

void FakeAdb::write(const QString &name, const QByteArray &bytes)
{
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.write(bytes);
}

void FakeAdb::answer(const QString &key, const QByteArray &out, const QByteArray &err, int exitCode,
                     int call)
{
    const QString base = call > 0 ? QStringLiteral("%1.%2").arg(key).arg(call) : key;
    write(base + ".out", out);
    write(base + ".err", err);
    write(base + ".code", QByteArray::number(exitCode));
}

void FakeAdb::delay(const QString &key, int ms, int call)
{
    const QString base = call > 0 ? QStringLiteral("%1.%2").arg(key).arg(call) : key;
    write(base + ".sleep", QByteArray::number(ms));
}

void FakeAdb::handUrlsTo(quint16 controlPort)
{
    qputenv("QP_FAKE_APP_PORT", QByteArray::number(controlPort));
}

QList<QStringList> FakeAdb::logLines() const
{
    QList<QStringList> lines;
    QFile file(folder.filePath("calls.log"));
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QList<QByteArray> raw = file.readAll().split('\n');
    for (const QByteArray &line : raw) {
        if (!line.isEmpty())
            lines.append(QString::fromUtf8(line).split(QLatin1Char('\t')));
    }
    return lines;
}

QList<QStringList> FakeAdb::calls() const
{
    QList<QStringList> result;
    for (const QStringList &fields : logLines()) {
        if (fields.first().startsWith(QLatin1String("> ")))
            result.append(fields.mid(1));
    }
    return result;
}

QStringList FakeAdb::events() const
{
    QStringList result;
    for (const QStringList &fields : logLines())
        result.append(fields.first());
    return result;
}

int FakeAdb::count(const QString &key) const
{
    return int(events().count("> " + key));
}

bool FakeAdb::waitForCalls(const QString &key, int n, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (count(key) < n && !deadline.hasExpired())
        QTest::qWait(10);
    return count(key) >= n;
}
