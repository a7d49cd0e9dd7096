#pragma once
// Full backup of an iPhone through Apple's backup program (backup2tool) into
// the temporary backup root, the folder "__quillmarten_iosbk_temp" that stays
// between runs so that the next backup of the same phone can bring the old one
// up to date instead of starting afresh.
//
// The root lies on the volume with the most free space among the candidates:
// the data folder alone (every mount root of a Linux machine is writable for
// root, and "/" or a tmpfs is no place for a phone's backup). The chosen folder
// is remembered, as an absolute path in UTF-8 without a line end, in
// "__quillmarten_iosbk_temp.path" in the data folder; a remembered path that is
// not an existing absolute folder is chosen again.
#include <QDir>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>

class IOSDevice;
class ProgressForm;
class backup2tool;

class IOSMobileBackupThread : public QThread
{
    Q_OBJECT

public:
    // Chooses the root now (tempBackupRoot) and makes the tool for the phone.
    IOSMobileBackupThread(IOSDevice *device, ProgressForm *form, QObject *parent = nullptr);
    ~IOSMobileBackupThread() override;

    // The backup root; the phone's backup is its sub-folder named by the
    // phone's unique device id.
    QDir &backupDir() { return m_backupDir; }

    // Whether the phone's earlier backup in folder can be brought up to date:
    // Status.plist, Manifest.plist and Manifest.mbdb all there, the snapshot
    // "finished" (exactly), and made under productVersion.
    static bool canReuse(const QDir &folder, const QString &productVersion);
    // Whether a unique device id can name a folder inside the root: not empty,
    // not "." or "..", no separator. Any other would make the backup's folder
    // the root itself or one outside it, and a failed backup deletes it.
    static bool isSafeFolderName(const QString &udid);
    // The text a failed backup shows for the tool's message.
    static QString backupErrorText(const QString &message);

    // The root: recalled, or chosen and remembered.
    static QDir tempBackupRoot();
    // Deletes the root with everything in it, then the remembered choice
    // (kept when the root stays). False when something stayed, left (when
    // given) naming the first such entry.
    static bool removeTempBackup(QString *left = nullptr);

    // The free-space query the choice uses: bytes free, -1 when unknown.
    using FreeSpaceFn = std::function<qint64(const QDir &)>;
    // Tests choose among their own folders; an empty list restores the data
    // folder and diskFreeSpace.
    static void setVolumeCandidates(const QStringList &folders, FreeSpaceFn freeSpace = {});
    // The candidate with the most free space on which a folder can be made;
    // of equal ones the first; candidates whose free space is unknown are
    // skipped. Empty when none qualifies.
    static QString chooseVolume(const QStringList &candidates, const FreeSpaceFn &freeSpace);
    // The file that remembers the choice.
    static QString volumeFile();

public slots:
    void backupUpdate(double progress, QString file, QString text);

protected:
    void run() override;

private:
    IOSDevice *device;
    ProgressForm *form;
    QDir m_backupDir;
    backup2tool *tool;
};
