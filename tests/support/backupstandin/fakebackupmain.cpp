// A stand-in for Debian's backup program, idevicebackup2, for tests: it takes
// the program's command line and prints what the program prints, so the
// driver meets the program's usage text, progress bar, result lines and exit
// statuses. Command lines (anything else prints the usage and exits 255):
//   [-u U] [-s S] [-d] [-i] [-n] backup [--full] DIRECTORY
//   [-u U] [-s S] ... restore [--system] [--no-reboot] [--reboot] [--copy]
//                     [--settings] [--remove] [--skip-apps] [--password PWD] DIRECTORY
// It writes its arguments, one per line, to the file QP_FAKE_BACKUP_RECORD
// names (when set), and a line "SIGTERM" there when it is asked to stop; then
// does what QP_FAKE_BACKUP_MODE says:
//   "" or "ok"        back up: the virtual phone whose UniqueDeviceID is U
//                     (found in QP_VIRTUAL_IPHONES_DIR) becomes a backup in
//                     DIRECTORY/U with a finished Status.plist, each file
//                     with its modification time on disk, in the old layout
//                     below iOS 10 and with Manifest.db from it; restore: the
//                     HomeDomain and MediaDomain files of DIRECTORY/S go back
//                     into the phone's tree below var/mobile, if its
//                     Status.plist says the backup finished. Either redraws
//                     its progress bar, a step every QP_FAKE_BACKUP_STEP_MS
//                     (default 0), and ends with "Backup Successful." or
//                     "Restore Successful.", exit status 0
//   "stdout:TEXT"     prints TEXT on standard output and exits 0
//   "stderr:TEXT"     prints TEXT on standard error and exits 0
//   "status:N:TEXT"   prints TEXT on standard output and exits N
//   "silent"          exits 3 without a word
//   "crash"           aborts (a signal the sanitizers leave alone)
//   "hang"            backup: leaves part of a backup in DIRECTORY/U; then
//                     waits for the phone until SIGTERM, on which it stops as
//                     the program does ("Backup Aborted.", exit status 255)
//   "deaf"            as "hang", but SIGTERM is ignored: only a kill ends it
//   "findmyiphone"    the phone's restore refusal with Find My iPhone on
//                     (ErrorCode 211, exit status 45)
//   "diskspace"       a restore refusal for want of space, with the phone's
//                     AmountDataAvailable and TotalDataCapacity
// It ends through _exit, so the leak checker of a sanitizer build never adds
// its own report to what the program printed.
#include "tests/support/backupfixture.h"
#include "tests/support/virtualphonebackup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace testsupport;

namespace {

[[noreturn]] void finish(int code)
{
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}

[[noreturn]] void failWith(const QString &text)
{
    printf("ERROR: %s\n", text.toUtf8().constData());
    finish(255);
}

QString stringAt(plist_t dict, const char *key)
{
    plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return QString();
    char *value = nullptr;
    plist_get_string_val(item, &value);
    const QString text = QString::fromUtf8(value);
    free(value);
    return text;
}

void backup(const VirtualPhoneInfo &phone, const QString &folder)
{
    writeVirtualPhoneBackup(phone, folder);
    // The program writes Info.plist itself.
    QFile info(folder + "/Info.plist");
    if (!info.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || info.write(plistBytes(QVariantMap{{"Device Name", phone.deviceName},
                                             {"Product Version", phone.productVersion},
                                             {"Target Identifier", phone.udid},
                                             {"Unique Identifier", phone.udid.toUpper()}},
                                 false))
            < 0)
        failWith("cannot write Info.plist");
}

volatile sig_atomic_t stopRequested = 0;

void onTerm(int)
{
    stopRequested = 1;
}

void appendRecord(const QByteArray &line)
{
    const QString record = qEnvironmentVariable("QP_FAKE_BACKUP_RECORD");
    QFile f(record);
    if (!record.isEmpty() && f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write(line + '\n');
}

[[noreturn]] void usage()
{
    printf("Usage: idevicebackup2 [OPTIONS] CMD [CMDOPTIONS] DIRECTORY\n\n"
           "Create or restore backup from the current or specified directory.\n\n"
           "CMD:\n  backup\tcreate backup for the device\n    --full\t\tforce full backup from device.\n"
           "  restore\trestore last backup to the device\n    --system\t\trestore system files, too.\n"
           "    --no-reboot\t\tdo NOT reboot the device when done (default: yes).\n\n"
           "OPTIONS:\n  -u, --udid UDID\ttarget specific device by UDID\n"
           "  -s, --source UDID\tuse backup data from device specified by UDID\n\n");
    finish(255);
}

struct CommandLine
{
    QString command, udid, source, directory;
    QStringList flags;
};

// The program's own parse: options, one command, its flags, one directory.
CommandLine parse(const QStringList &args)
{
    CommandLine line;
    static const QStringList restoreFlags{"--system", "--no-reboot", "--reboot", "--copy",
                                          "--settings", "--remove", "--skip-apps"};
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&]() {
            if (i + 1 >= args.size() || args[i + 1].isEmpty())
                usage();
            return args[++i];
        };
        if (a == "-u" || a == "--udid")
            line.udid = value();
        else if (a == "-s" || a == "--source")
            line.source = value();
        else if (a == "-d" || a == "--debug" || a == "-i" || a == "--interactive" || a == "-n" || a == "--network")
            continue;
        else if (a == "-h" || a == "--help")
            usage();
        else if (line.command.isEmpty() && (a == "backup" || a == "restore"))
            line.command = a;
        else if (line.command == "backup" && a == "--full")
            line.flags << a;
        else if (line.command == "restore" && restoreFlags.contains(a))
            line.flags << a;
        else if (line.command == "restore" && a == "--password")
            line.flags << a << value();
        else if (!line.command.isEmpty() && line.directory.isEmpty() && !a.startsWith('-'))
            line.directory = a;
        else
            usage();
    }
    if (line.command.isEmpty()) {
        printf("No command specified.\n");
        usage();
    }
    if (line.directory.isEmpty()) {
        printf("No target backup directory specified.\n");
        usage();
    }
    return line;
}

// The bar as the program redraws it: on one line, a line end only at 100%.
void progressBar(int percent, qint64 done, qint64 total)
{
    printf("\r[");
    for (int i = 0; i < 50; ++i)
        putchar(i < percent / 2.0 ? '=' : ' ');
    printf("] %3d%% (%lld Bytes/%lld Bytes)     ", percent, static_cast<long long>(done),
           static_cast<long long>(total));
    fflush(stdout);
    if (percent == 100)
        putchar('\n');
}

void showProgress()
{
    const int step = qEnvironmentVariableIntValue("QP_FAKE_BACKUP_STEP_MS");
    for (int percent = 0; percent <= 100; percent += 25) {
        progressBar(percent, percent * 1000, 100000);
        if (step > 0)
            usleep(useconds_t(step) * 1000);
    }
}

// Waits for a phone that never answers, until asked to stop.
[[noreturn]] void waitForPhone(const CommandLine &line)
{
    while (!stopRequested)
        usleep(20 * 1000);
    appendRecord("SIGTERM");
    fprintf(stderr, "Exiting...\n");
    printf("%s Aborted.\n", line.command == "backup" ? "Backup" : "Restore");
    finish(255);
}

QString snapshotState(const QString &folder)
{
    QFile f(folder + "/Status.plist");
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = f.readAll();
    plist_t status = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &status);
    const QString state = stringAt(status, "SnapshotState");
    if (status)
        plist_free(status);
    return state;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString mode = qEnvironmentVariable("QP_FAKE_BACKUP_MODE");
    // The program turns a stop request into a clean stop; listening before
    // the record is written lets a test wait for the one to know the other.
    signal(SIGTERM, mode == "deaf" ? SIG_IGN : onTerm);
    const QString record = qEnvironmentVariable("QP_FAKE_BACKUP_RECORD");
    if (!record.isEmpty()) {
        QFile f(record);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write((args.join('\n') + '\n').toUtf8());
    }

    const CommandLine line = parse(args);
    if (!QFileInfo(line.directory).isDir()) {
        printf("ERROR: Backup directory \"%s\" does not exist!\n", line.directory.toUtf8().constData());
        finish(255);
    }

    if (mode.startsWith("stdout:")) {
        fputs(mode.mid(7).toUtf8().constData(), stdout);
        finish(0);
    }
    if (mode.startsWith("stderr:")) {
        fputs(mode.mid(7).toUtf8().constData(), stderr);
        finish(0);
    }
    if (mode.startsWith("status:")) {
        fputs(mode.section(':', 2).toUtf8().constData(), stdout);
        finish(mode.section(':', 1, 1).toInt());
    }
    if (mode == "silent")
        finish(3);
    if (mode == "crash")
        abort();

    // The program has found the phone and waits for it: a phone that leaves
    // now is not noticed.
    if (mode == "hang" || mode == "deaf") {
        if (line.command == "backup") {
            // What a backup leaves before its first file is complete.
            const QString folder = line.directory + "/" + line.udid;
            QDir().mkpath(folder);
            QFile info(folder + "/Info.plist");
            if (info.open(QIODevice::WriteOnly))
                info.write(plistBytes(QVariantMap{{"Target Identifier", line.udid}}, false));
            printf("Starting backup...\nReceiving files\n");
            progressBar(12, 12000, 100000);
        }
        waitForPhone(line);
    }

    const QString udid = line.udid;
    const VirtualPhoneInfo phone = findVirtualPhone(qEnvironmentVariable("QP_VIRTUAL_IPHONES_DIR"), udid);
    if (udid.isEmpty() || phone.folder.isEmpty()) {
        printf("No device found with udid %s.\n", udid.toUtf8().constData());
        finish(255);
    }
    const QString source = line.source.isEmpty() ? udid : line.source;
    printf("Backup directory is \"%s\"\n", line.directory.toUtf8().constData());
    printf("Started \"com.apple.mobilebackup2\" service on port 49237.\n");
    printf("Negotiated Protocol Version 2.1\n");


    if (line.command == "restore") {
        printf("Starting Restore...\n");
        if (mode == "findmyiphone") {
            printf("ErrorCode 211: Find My iPhone must be disabled before restoring a backup. (MBErrorDomain/211)\n"
                   "Restore Failed (Error Code 211).\n");
            finish(45);
        }
        if (mode == "diskspace") {
            printf("ErrorCode 105: Insufficient free disk space on device to restore (%llu < %llu) "
                   "(MBErrorDomain/105)\nRestore Failed (Error Code 105).\n",
                   static_cast<unsigned long long>(phone.amountDataAvailable),
                   static_cast<unsigned long long>(phone.totalDataCapacity));
            finish(151);
        }
        // As the program: only a backup that finished is put onto a phone.
        if (snapshotState(line.directory + "/" + source) != "finished") {
            printf("ERROR: Cannot ensure we restore from a successful backup. Aborting.\n");
            finish(255);
        }
    }

    try {
        if (line.command == "backup") {
            printf("Starting backup...\nBackup will be unencrypted.\nRequesting backup from device...\n"
                   "Full backup mode.\nReceiving files\n");
            backup(phone, line.directory + "/" + udid);
            showProgress();
            printf("Received 4 files from device.\nBackup Successful.\n");
        } else {
            printf("Restoring system files: %s\n", line.flags.contains("--system") ? "Yes" : "No");
            const bool reboot = !line.flags.contains("--no-reboot");
            printf("Rebooting after restore: %s\n", reboot ? "Yes" : "No");
            restoreVirtualPhoneBackup(phone, line.directory + "/" + source);
            showProgress();
            if (reboot)
                printf("The device should reboot now.\n");
            printf("Restore Successful.\n");
        }
    } catch (const std::exception &e) {
        failWith(QString::fromUtf8(e.what()));
    }
    finish(0);
}
