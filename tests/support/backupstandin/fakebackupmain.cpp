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
#include "tests/support/modernbackupfixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>
#include <sqlite3.h>

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

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        failWith("cannot read " + path);
    return f.readAll();
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

quint64 numberAt(plist_t dict, const char *key)
{
    plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_UINT)
        return 0;
    uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return value;
}

struct Phone
{
    QString folder;
    QString deviceName, productType, productVersion, serialNumber;
    quint64 total = 0, available = 0;
    QString root() const { return folder + "/root"; }
    QString mobile() const { return root() + "/var/mobile"; }
};

// An empty folder when no virtual phone has that id.
Phone findPhone(const QString &udid)
{
    const QString phones = qEnvironmentVariable("QP_VIRTUAL_IPHONES_DIR");
    const QStringList folders = QDir(phones).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : folders) {
        const QString plistPath = phones + "/" + name + "/device.plist";
        if (!QFileInfo::exists(plistPath))
            continue;
        const QByteArray bytes = readFile(plistPath);
        plist_t device = nullptr;
        plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &device);
        plist_t values = device ? plist_dict_get_item(device, "Values") : nullptr;
        if (stringAt(values, "UniqueDeviceID") == udid) {
            Phone phone;
            phone.folder = phones + "/" + name;
            phone.deviceName = stringAt(values, "DeviceName");
            phone.productType = stringAt(values, "ProductType");
            phone.productVersion = stringAt(values, "ProductVersion");
            phone.serialNumber = stringAt(values, "SerialNumber");
            plist_t domains = plist_dict_get_item(device, "Domains");
            plist_t usage = domains ? plist_dict_get_item(domains, "com.apple.disk_usage") : nullptr;
            phone.total = numberAt(usage, "TotalDataCapacity");
            phone.available = numberAt(usage, "AmountDataAvailable");
            plist_free(device);
            return phone;
        }
        if (device)
            plist_free(device);
    }
    return Phone();
}

void backup(const Phone &phone, const QString &udid, const QString &folder)
{
    BackupFixture fixture;
    fixture.udid = udid;
    fixture.deviceName = phone.deviceName;
    fixture.productType = phone.productType;
    fixture.productVersion = phone.productVersion;
    fixture.serialNumber = phone.serialNumber;
    fixture.entries.clear();
    // Library/SMS and Library/AddressBook of the phone, attachments in
    // MediaDomain as the phone keeps them.
    const QString library = phone.mobile() + "/Library";
    for (const QString &top : {QStringLiteral("SMS"), QStringLiteral("AddressBook")}) {
        QDirIterator it(library + "/" + top, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = QDir(phone.mobile()).relativeFilePath(path);
            const bool media = relative.startsWith("Library/SMS/Attachments/");
            // Each file with its own time, as the phone keeps it: a reader
            // that caches by that time sees a changed database.
            const qint64 mtime = QFileInfo(path).lastModified().toSecsSinceEpoch();
            fixture.addFile(media ? "MediaDomain" : "HomeDomain", relative, readFile(path), quint32(mtime));
        }
    }
    // Phones of iOS 10 and later leave the newer layout (Manifest.db).
    if (phone.productVersion.section('.', 0, 0).toInt() >= 10) {
        QFile::remove(folder + "/Manifest.mbdb");
        writeModernBackup(fixture, folder);
    } else {
        QFile::remove(folder + "/Manifest.db");
        fixture.write(folder);
    }
    const QVariantMap status = {{"SnapshotState", "finished"}, {"IsFullBackup", false}, {"Version", "2.4"},
                                {"UUID", "6F1C1E7A-5C4A-4C9B-9D0E-3B7C2A1F0E55"}};
    QFile statusFile(folder + "/Status.plist");
    if (!statusFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        failWith("cannot write Status.plist");
    statusFile.write(plistBytes(status, true));
}

// Manifest.mbdb read by hand: the header, then per record five strings, mode
// u16, inode u64, uid, gid, mtime, atime, ctime u32, length u64, class u8,
// property count u8 and the property strings.
struct Reader
{
    QByteArray data;
    int pos = 0;
    bool need(int n) const { return pos + n <= data.size(); }
    quint64 number(int n)
    {
        if (!need(n))
            failWith("Manifest.mbdb is damaged");
        quint64 v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | quint8(data[pos++]);
        return v;
    }
    QByteArray string()
    {
        const quint64 length = number(2);
        if (length == 0xFFFF)
            return QByteArray();
        if (!need(int(length)))
            failWith("Manifest.mbdb is damaged");
        const QByteArray s = data.mid(pos, int(length));
        pos += int(length);
        return s;
    }
};

// The Size of an MBFile archive, -1 when it has none.
qint64 archivedSize(const QByteArray &blob)
{
    plist_t archive = nullptr;
    plist_from_bin(blob.constData(), uint32_t(blob.size()), &archive);
    plist_t objects = archive ? plist_dict_get_item(archive, "$objects") : nullptr;
    plist_t file = objects && plist_array_get_size(objects) > 1 ? plist_array_get_item(objects, 1) : nullptr;
    const qint64 size = file ? qint64(numberAt(file, "Size")) : -1;
    if (archive)
        plist_free(archive);
    return size;
}

// Copies one backed-up file of HomeDomain or MediaDomain back into the phone.
void restoreFile(const Phone &phone, const QString &domain, const QString &path, const QString &source)
{
    if (domain != "HomeDomain" && domain != "MediaDomain")
        return;
    if (path.contains("..") || path.startsWith('/'))
        failWith("refused path " + path);
    if (!QFileInfo::exists(source))
        return;
    const QString dest = phone.mobile() + "/" + path;
    QDir().mkpath(QFileInfo(dest).absolutePath());
    QFile::remove(dest);
    if (!QFile::copy(source, dest))
        failWith("cannot restore " + path);
}

// Manifest.db of the newer layout: every file row whose id, data file and
// archived size agree is restored; a row that disagrees fails the restore,
// as the phone refuses such a backup.
void restoreNewer(const Phone &phone, const QString &folder)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2((folder + "/Manifest.db").toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        failWith("Manifest.db cannot be opened");
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files", -1, &stmt, nullptr) != SQLITE_OK)
        failWith("Manifest.db is damaged");
    QFile::remove(phone.mobile() + "/Library/SMS/sms.db-wal");
    QFile::remove(phone.mobile() + "/Library/SMS/sms.db-shm");
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        auto text = [&](int c) { return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, c))); };
        const QString id = text(0), domain = text(1), path = text(2);
        if (sqlite3_column_int(stmt, 3) != 1)
            continue;
        const QString expectedId =
            QCryptographicHash::hash((domain + "-" + path).toUtf8(), QCryptographicHash::Sha1).toHex();
        if (id != expectedId)
            failWith("Manifest.db lists " + path + " under another id");
        const QString source = folder + "/" + id.left(2) + "/" + id;
        const QByteArray blob(static_cast<const char *>(sqlite3_column_blob(stmt, 4)), sqlite3_column_bytes(stmt, 4));
        if (QFileInfo::exists(source) && archivedSize(blob) != QFileInfo(source).size())
            failWith("Manifest.db and the data of " + path + " disagree on its size");
        restoreFile(phone, domain, path, source);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

void restore(const Phone &phone, const QString &folder)
{
    if (QFileInfo::exists(folder + "/Manifest.db")) {
        restoreNewer(phone, folder);
        return;
    }
    Reader r{readFile(folder + "/Manifest.mbdb")};
    if (!r.data.startsWith("mbdb\x05\x00"))
        failWith("Manifest.mbdb is damaged");
    r.pos = 6;
    // A restore replaces the phone's database whole, its journal included.
    QFile::remove(phone.mobile() + "/Library/SMS/sms.db-wal");
    QFile::remove(phone.mobile() + "/Library/SMS/sms.db-shm");
    while (r.pos < r.data.size()) {
        const QString domain = QString::fromUtf8(r.string());
        const QString path = QString::fromUtf8(r.string());
        r.string();
        r.string();
        r.string();
        const quint64 mode = r.number(2);
        r.number(8 + 4 * 5 + 8 + 1);
        const int properties = int(r.number(1));
        for (int i = 0; i < properties * 2; ++i)
            r.string();
        if ((mode & 0xF000) != 0x8000 || (domain != "HomeDomain" && domain != "MediaDomain"))
            continue;
        if (path.contains("..") || path.startsWith('/'))
            failWith("refused path " + path);
        const QString id = QCryptographicHash::hash((domain + "-" + path).toUtf8(), QCryptographicHash::Sha1).toHex();
        const QString source = folder + "/" + id;
        if (!QFileInfo::exists(source))
            continue;
        const QString dest = phone.mobile() + "/" + path;
        QDir().mkpath(QFileInfo(dest).absolutePath());
        QFile::remove(dest);
        if (!QFile::copy(source, dest))
            failWith("cannot restore " + path);
    }
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
    const Phone phone = findPhone(udid);
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
                   static_cast<unsigned long long>(phone.available), static_cast<unsigned long long>(phone.total));
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
            backup(phone, udid, line.directory + "/" + udid);
            showProgress();
            printf("Received 4 files from device.\nBackup Successful.\n");
        } else {
            printf("Restoring system files: %s\n", line.flags.contains("--system") ? "Yes" : "No");
            const bool reboot = !line.flags.contains("--no-reboot");
            printf("Rebooting after restore: %s\n", reboot ? "Yes" : "No");
            restore(phone, line.directory + "/" + source);
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
