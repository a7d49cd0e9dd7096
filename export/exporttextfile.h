#pragma once
// The opening every text writer shares (CSV, TXT, HTML): the file truncated
// for writing, the stream on it writing UTF-8 without a byte-order mark.
#include <QFile>
#include <QTextStream>

// Throws std::runtime_error with QFile's error text (UTF-8) when the file
// cannot be opened; nothing is written then.
void openExportTextFile(QFile &file, QTextStream &stream);
// Flushes the stream and closes the file. Throws std::runtime_error when the
// bytes did not all reach the file (a full disk, a vanished drive), naming
// the file's folder.
void closeExportTextFile(QFile &file, QTextStream &stream);
