#include "export/exporttextfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <stdexcept>

void openExportTextFile(QFile &file, QTextStream &stream)
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        throw std::runtime_error(file.errorString().toUtf8().toStdString());
    stream.setDevice(&file);
    stream.setEncoding(QStringConverter::Utf8);
    stream.setGenerateByteOrderMark(false);
}

void closeExportTextFile(QFile &file, QTextStream &stream)
{
    stream.flush();
    // QTextStream hides a failed write in its status; an export that lost
    // its last lines must not be reported as done.
    // QFile does not keep the cause (a later write clears it), so the text
    // names the folder, which is what the user chose.
    const bool flushed = stream.status() == QTextStream::Ok && file.flush();
    file.close();
    if (!flushed || file.error() != QFileDevice::NoError) {
        const QString folder = QDir::toNativeSeparators(QFileInfo(file).absolutePath());
        throw std::runtime_error(
            QCoreApplication::translate("QObject", "IDS_CANNOT_WRITE_EXPORT_IN_%1").arg(folder).toUtf8().toStdString());
    }
}
