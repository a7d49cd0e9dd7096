#pragma once
// Reading files that someone else put in place (a backup folder, say): only a
// regular file is read, never what a link, a FIFO or a device stands for, the
// open never waits for a writer, and no read runs past a bound. Failures are
// thrown as std::runtime_error (UTF-8) naming the file and the cause.
#include <QByteArray>
#include <QString>

class QFile;

class RegularFile
{
public:
    // Opens path read-only into file when it is a regular file; a symbolic
    // link, FIFO, socket or device is refused without being opened through.
    static void open(QFile &file, const QString &path);
    // The whole content of the regular file at path; throws when it is not
    // one, cannot be read, or holds more than maxBytes.
    static QByteArray read(const QString &path, qint64 maxBytes);
};
