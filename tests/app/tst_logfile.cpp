#include "app/logfile.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <sys/wait.h>
#include <unistd.h>

namespace tst_logfile {

namespace {
QString todaysLog(const QString &dir)
{
    return dir + "/log-" + QDate::currentDate().toString("yyyyMMdd") + ".txt";
}

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(f.readAll());
    if (text.endsWith('\n'))
        text.chop(1);
    return text.split('\n');
}
} // namespace

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { qInstallMessageHandler(nullptr); }

    void pruneKeepsTheNewestByName_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("keep");
        QTest::addColumn<int>("left");
        QTest::newRow("12 files, keep 10") << 12 << 10 << 10;
        QTest::newRow("10 files, keep 10") << 10 << 10 << 10;
        QTest::newRow("3 files, keep 10") << 3 << 10 << 3;
        QTest::newRow("no folder") << -1 << 10 << 0;
    }
    void pruneKeepsTheNewestByName()
    {
        QFETCH(int, files);
        QFETCH(int, keep);
        QFETCH(int, left);
        QTemporaryDir root;
        const QString dir = root.filePath("qlogs");
        if (files >= 0)
            QDir().mkpath(dir + "/a-subfolder-is-not-a-log");
        for (int i = 0; i < files; ++i) {
            QFile f(QString("%1/log-202001%2.txt").arg(dir).arg(i + 10));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        installLogHandler(dir, keep);
        const QStringList remaining = QDir(dir).entryList(QDir::Files, QDir::Name);
        QCOMPARE(remaining.size(), left);
        if (files > keep)
            QCOMPARE(remaining.first(), QString("log-202001%1.txt").arg(files - keep + 10));
        if (files >= 0)
            QVERIFY(QFileInfo(dir + "/a-subfolder-is-not-a-log").isDir());
    }

    void entryFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("letter");
        QTest::newRow("debug") << int(QtDebugMsg) << "D";
        QTest::newRow("info") << int(QtInfoMsg) << "I";
        QTest::newRow("warning") << int(QtWarningMsg) << "W";
        QTest::newRow("critical") << int(QtCriticalMsg) << "C";
        QTest::newRow("fatal") << int(QtFatalMsg) << "F";
    }
    void entryFormat()
    {
        QFETCH(int, type);
        QFETCH(QString, letter);
        QCOMPARE(formatLogEntry(QtMsgType(type), "23:59:58", "x %1 ü"),
                 "(" + letter + " 23:59:58) x %1 ü\n");
    }

    void messagesReachTheDaysFile()
    {
        QTemporaryDir root;
        const QString dir = root.filePath("new/qlogs"); // created on the first message
        installLogHandler(dir, 10);
        qDebug("first %s", "débug");
        qWarning() << "second";
        qCritical("two\nlines");
        const QStringList lines = readLines(todaysLog(dir));
        QCOMPARE(lines.size(), 4);
        const QRegularExpression entry("^\\((.) \\d\\d:\\d\\d:\\d\\d\\) (.*)$");
        const QRegularExpressionMatch m0 = entry.match(lines[0]);
        QVERIFY(m0.hasMatch());
        QCOMPARE(m0.captured(1), "D");
        QCOMPARE(m0.captured(2), QString::fromUtf8("first débug"));
        QCOMPARE(entry.match(lines[1]).captured(1), "W");
        QCOMPARE(entry.match(lines[2]).captured(2), "two");
        QCOMPARE(lines[3], "lines");
    }

    void threadsWriteWholeLines()
    {
        QTemporaryDir root;
        const QString dir = root.filePath("qlogs");
        installLogHandler(dir, 10);
        const int threads = 8, perThread = 200;
        QList<QThread *> workers;
        for (int t = 0; t < threads; ++t) {
            workers.append(QThread::create([t]() {
                for (int i = 0; i < perThread; ++i)
                    qWarning("thread-%d-message-%d-%s", t, i, "padding-padding-padding-padding");
            }));
            workers.last()->start();
        }
        for (QThread *w : workers) {
            w->wait();
            delete w;
        }
        const QStringList lines = readLines(todaysLog(dir));
        QCOMPARE(lines.size(), threads * perThread);
        const QRegularExpression whole(
            "^\\(W \\d\\d:\\d\\d:\\d\\d\\) thread-\\d-message-\\d+-padding-padding-padding-padding$");
        for (const QString &line : lines)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

    void fatalMessageIsOnDiskBeforeTheAbort()
    {
        QTemporaryDir root;
        const QString dir = root.filePath("qlogs");
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            installLogHandler(dir, 10);
            qFatal("the end");
            _exit(0); // not reached
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGABRT);
        const QStringList lines = readLines(todaysLog(dir));
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].startsWith("(F "));
        QVERIFY(lines[0].endsWith(") the end"));
    }
};

QP_TEST_MAIN(TestLogFile)

} // namespace tst_logfile

#include "tst_logfile.moc"
