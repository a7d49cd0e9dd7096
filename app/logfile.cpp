#include "app/logfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>

namespace {
QString s_logDirPath;
// Shared by every thread that logs; the mutex keeps entries whole and ordered.
QFile *s_logFile = nullptr;
QMutex s_logMutex;

char levelLetter(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return 'D';
    case QtInfoMsg: return 'I';
    case QtWarningMsg: return 'W';
    case QtCriticalMsg: return 'C';
    case QtFatalMsg: return 'F';
    }
    return 'D';
}

void openLogFileLocked()
{
    if (!s_logFile)
        s_logFile = new QFile; // lives until the process ends; messages may come from static destructors
    if (s_logFile->isOpen())
        return;
    const QString name =
        QStringLiteral("log-%1.txt").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    QDir dir(s_logDirPath);
    if (!dir.exists())
        QDir().mkpath(s_logDirPath);
    s_logFile->setFileName(dir.absoluteFilePath(name));
    s_logFile->open(QIODevice::ReadWrite | QIODevice::Append);
}
} // namespace

QString formatLogEntry(QtMsgType type, const QString &time, const QString &message)
{
    return QStringLiteral("(%1 %2) %3\n").arg(QChar::fromLatin1(levelLetter(type)), time, message);
}

void printDebugLine(const char *message)
{
    std::fprintf(stdout, "%s\n", message);
    std::fflush(stdout);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    {
        QMutexLocker lock(&s_logMutex);
        openLogFileLocked();
        const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
        if (type == QtDebugMsg)
            printDebugLine(message.toUtf8().constData());
        if (s_logFile->isOpen()) {
            s_logFile->write(formatLogEntry(type, time, message).toUtf8());
            s_logFile->flush();
        }
    }
    if (type == QtFatalMsg)
        std::abort();
}

void installLogHandler(const QString &logDir, int keep)
{
    {
        QMutexLocker lock(&s_logMutex);
        s_logDirPath = logDir;
        if (s_logFile && s_logFile->isOpen())
            s_logFile->close();
    }
    QDir dir(logDir);
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    for (int i = 0; i + keep < files.size(); ++i)
        QFile::remove(dir.absoluteFilePath(files.at(i)));
    qInstallMessageHandler(logMessageHandler);
}
