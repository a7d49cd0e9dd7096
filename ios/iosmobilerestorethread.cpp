#include "ios/iosmobilerestorethread.h"

#include "app/makerserver.h"
#include "app/progressform.h"
#include "ios/backup2tool.h"
#include "ios/backupswapjournal.h"
#include "ios/iosdevice.h"

#include <QRegularExpression>

namespace {

const char *const kFindMyIPhonePage = "/tutorial/how-to-disable-find-my-iphone.html";

} // namespace

IOSMobileRestoreThread::IOSMobileRestoreThread(IOSDevice *device, const QDir &backupDir, ProgressForm *form,
                                               QObject *parent)
    : QThread(parent),
      device(device),
      backupDir(backupDir),
      form(form),
      tool(new backup2tool(device->amDevice, device->uniqueDeviceId, backupDir))
{
}

IOSMobileRestoreThread::~IOSMobileRestoreThread()
{
    if (tool)
        tool->deleteLater();
}

QString IOSMobileRestoreThread::stoppedText()
{
    return tr("IDS_RESTORE_TO_IOS_STOPPED");
}

QString IOSMobileRestoreThread::restoreErrorText(const QString &message)
{
    QString text = message;
    text.replace(QLatin1String("<"), QLatin1String("&lt;")).replace(QLatin1String(">"), QLatin1String("&gt;"));
    text.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    // The phone refuses with "ErrorCode 211: Find My iPhone must be disabled
    // ... (MBErrorDomain/211)", which the program prints before it exits 45.
    if (text.contains(QLatin1String("Find My iPhone must be disabled"), Qt::CaseInsensitive)) {
        return QStringLiteral("Please follow <a href=\"%1%2\"> this tutorial</a> to disable \"Find my iPhone\" first "
                              "and then restart your iPhone to try again.<br/><br/>")
            .arg(makerServerBase(), QLatin1String(kFindMyIPhonePage));
    }
    // The program has no text of its own for a phone short of space; this is
    // the form the phone's refusal is expected to take, not yet seen from a
    // real phone through the program.
    static const QRegularExpression diskSpace(
        QStringLiteral("Insufficient free disk space on device to restore \\((\\d+) [^\\d]+ (\\d+)\\)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = diskSpace.match(text);
    if (match.hasMatch()) {
        // Read as a double: a number too long for 64 bits still gives a size.
        const double gib = match.captured(2).toDouble() / 1024 / 1024 / 1024;
        return QStringLiteral("%1 GB free disk space on your device is required restore data.  Please remove some "
                              "camera roll videos from your device to computer to free up disk space first and "
                              "then try again.")
            .arg(QString::number(gib, 'g', 1));
    }
    return text + QLatin1String(kBackup2RestartNote);
}

void IOSMobileRestoreThread::backupUpdate(double progress, QString, QString)
{
    form->postUpdateProgress(QString(), int(progress), QString());
}

void IOSMobileRestoreThread::run()
{
    // The phone restarts when the restore is done: said before it starts.
    form->postUpdateProgress(tr("IDS_RESTORING_BACKUP_TO_IOS_RESTARTS"), 0, QString());
    connect(tool, &backup2tool::update, this, &IOSMobileRestoreThread::backupUpdate);
    connect(form, &ProgressForm::userCacel, tool, &backup2tool::cancel);
    tool->watch(&form->failed);
    try {
        // The phone must never get a message database whose manifest record
        // describes another file: a swap a killed merge left is settled first.
        BackupSwapJournal::recover(QDir(backupDir.absoluteFilePath(device->uniqueDeviceId)));
        tool->run(backup2tool_options(BACKUP2TOOL_OP_RESTORE));
        m_stopped = tool->stoppedByUser();
        form->postSucceed(QString());
    } catch (const std::exception &e) {
        form->postErrorOccurred(restoreErrorText(QString::fromUtf8(e.what())));
    }
}
