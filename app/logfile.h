#pragma once
// The day's log file in the data folder's "qlogs": every Qt message of every
// thread, one entry each, for the user to send to support.
#include <QString>
#include <QtGlobal>

// Remembers the folder, deletes all but the keep newest files (by name, which
// carries the date) and installs logMessageHandler.
void installLogHandler(const QString &logDir, int keep);
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
void printDebugLine(const char *message);
// The entry written for one message, e.g. "(D 12:00:01) text\n".
QString formatLogEntry(QtMsgType type, const QString &time, const QString &message);
