// A stand-in for Apple's backup program, "AppleMobileBackup.exe", for tests.
// Command lines:
//   -u U --backup --target U --root R
//   -u U --restore --target U --root R --source U
// It writes its arguments, one per line, to the file QP_FAKE_BACKUP_RECORD
// names (when set), then does what QP_FAKE_BACKUP_MODE says:
//   "" or "ok"        back up: the virtual phone whose UniqueDeviceID is U
//                     (found in QP_VIRTUAL_IPHONES_DIR) becomes an old-layout
//                     backup in R/U with a finished Status.plist, each file
//                     with its modification time on disk; restore: the
//                     HomeDomain and MediaDomain files of R/U go back into the
//                     phone's tree below var/mobile
//   "stdout:TEXT"     prints TEXT on standard output and exits 0
//   "stderr:TEXT"     prints TEXT on standard error and exits 0
//   "silent"          exits 3 without a word
//   "crash"           aborts (a signal the sanitizers leave alone)
//   "hang"            sleeps until it is killed
//   "findmyiphone"    prints the restore refusal of a phone with Find My iPhone on
//   "diskspace"       prints the restore refusal for want of space, with the
//                     phone's AmountDataAvailable and TotalDataCapacity
// It ends through _exit, so the leak checker of a sanitizer build never adds
// its own report (with the word "error") to what the program printed.
#include "tests/support/backupfixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

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
    fprintf(stderr, "ERROR: %s\n", text.toUtf8().constData());
    finish(1);
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
    failWith("No device found with UDID " + udid);
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
    fixture.write(folder);
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

void restore(const Phone &phone, const QString &folder)
{
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString record = qEnvironmentVariable("QP_FAKE_BACKUP_RECORD");
    if (!record.isEmpty()) {
        QFile f(record);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write((args.join('\n') + '\n').toUtf8());
    }

    const QString mode = qEnvironmentVariable("QP_FAKE_BACKUP_MODE");
    if (mode.startsWith("stdout:")) {
        fputs(mode.mid(7).toUtf8().constData(), stdout);
        finish(0);
    }
    if (mode.startsWith("stderr:")) {
        fputs(mode.mid(7).toUtf8().constData(), stderr);
        finish(0);
    }
    if (mode == "silent")
        finish(3);
    if (mode == "crash")
        abort();
    if (mode == "hang") {
        for (;;)
            sleep(60);
    }

    auto value = [&](const QString &name) {
        const int i = args.indexOf(name);
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
    };
    const QString udid = value("--target");
    const QString root = value("--root");
    if (udid.isEmpty() || root.isEmpty())
        failWith("usage: -u UDID --backup|--restore --target UDID --root FOLDER [--source UDID]");
    const Phone phone = findPhone(udid);

    if (mode == "findmyiphone") {
        fputs("ERROR: Find My iPhone must be disabled before restoring a backup.\n", stdout);
        finish(0);
    }
    if (mode == "diskspace") {
        fprintf(stdout, "ERROR: Insufficient free disk space on device to restore (%llu < %llu)\n",
                static_cast<unsigned long long>(phone.available), static_cast<unsigned long long>(phone.total));
        finish(0);
    }

    try {
        if (args.contains("--backup")) {
            backup(phone, udid, root + "/" + udid);
        } else if (args.contains("--restore")) {
            restore(phone, root + "/" + value("--source"));
        } else {
            failWith("no operation");
        }
    } catch (const std::exception &e) {
        failWith(QString::fromUtf8(e.what()));
    }
    fputs("Finished.\n", stdout);
    finish(0);
}
