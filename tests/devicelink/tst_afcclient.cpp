// AFC connections, files and app containers against virtual iPhones whose
// emulator serves the phone's media folder and app containers, and against
// scripted devices for replies a phone's emulator never gives.
#include "devicelink/afcclient.h"
#include "devicelink/afcoperations.h"
#include "ios/mobiledevice.h"
#include "tests/devicelink/afcpeer.h"
#include "tests/devicelink/attachedphones.h"
#include "tests/devicelink/cfmessages.h"
#include "tests/support/socketpeer.h"
#include "tests/support/testmain.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>

namespace tst_afcclient {

using cfmessages::liveValues;
using testsupport::PeerSocket;
using testsupport::ServicePeerHook;

namespace {

const QString kApp = "com.example.notes";
const QString kPhoto = "DCIM/100APPLE/IMG_0001.JPG";
const QString kNote = QString::fromUtf8("Downloads/Gr\u00fc\u00dfe \U0001F389.txt");

// Strings each ended by NUL, as the device sends file information.
QByteArray nulEnded(const QStringList &texts)
{
    QByteArray out;
    for (const QString &text : texts)
        out += text.toUtf8() + QByteArray(1, '\0');
    return out;
}

QStringList namesOf(const QList<AfcFileInfo> &entries)
{
    QStringList names;
    for (const AfcFileInfo &entry : entries)
        names.append(entry.name + (entry.isDir() ? "/" : ""));
    return names;
}

QByteArray readAll(AfcClient &client, const QString &path, int expected)
{
    AfcFile file;
    if (!client.openForRead(path, file))
        return QByteArray();
    QByteArray bytes(expected + 100, '\0');
    const int n = file.read(bytes.data(), bytes.size());
    return n < 0 ? QByteArray() : bytes.left(n);
}

bool writeAll(AfcClient &client, const QString &path, const QByteArray &bytes)
{
    AfcFile file;
    return client.openForWrite(path, file) && file.write(bytes.constData(), int(bytes.size())) == bytes.size();
}

} // namespace

class TestAfcClient : public QObject
{
    Q_OBJECT

    AttachedPhones phones;
    void *device = nullptr;
    QString media;
    qint64 liveAtStart = 0;

private slots:
    void initTestCase()
    {
        phones.start();
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("afc");
        setup.mediaFiles.insert(kPhoto, QByteArray("\xff\xd8\xff\xe0 jpeg", 9));
        setup.mediaFiles.insert(kNote, QString::fromUtf8("Liebe Gr\u00fc\u00dfe \U0001F60A").toUtf8());
        setup.appContainers.insert(kApp, {{"Documents/note.txt", "in the container"}});
        device = phones.attach(setup);
        QVERIFY(device);
        media = testsupport::virtualIPhoneMedia(phones.folder("afc"));
    }
    void cleanupTestCase()
    {
        QVERIFY(phones.detach("afc", device));
    }
    void init() { liveAtStart = liveValues(); }
    void cleanup() { QCOMPARE(liveValues(), liveAtStart); }

    void aPlainConnectionIsTheMediaFolder()
    {
        AfcClient client(device);
        QCOMPARE(client.socket, 0);
        client.open();
        QVERIFY(client.socket > 2);
        QCOMPARE(readAll(client, "/" + kNote, 100), QString::fromUtf8("Liebe Gr\u00fc\u00dfe \U0001F60A").toUtf8());
        // No house_arrest command went anywhere.
        QVERIFY(testsupport::recordedServiceRequests(phones.folder("afc"), "com.apple.mobile.house_arrest").isEmpty());
        client.close();
        QCOMPARE(client.socket, 0);
        client.close();
    }

    void appContainers_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("error");
        QTest::newRow("installed") << kApp << QString();
        QTest::newRow("not installed") << "com.example.missing" << "can not find com.example.missing.";
        // An identifier is a name, never a way out of the containers.
        QTest::newRow("a path for a name") << "../afc" << "can not find ../afc.";
    }
    void appContainers()
    {
        QFETCH(QString, app);
        QFETCH(QString, error);
        AfcClient client(device);
        QString thrown;
        try {
            client.open(app);
        } catch (const std::runtime_error &e) {
            thrown = QString::fromUtf8(e.what());
        }
        QCOMPARE(thrown, error);
        // The socket stays with the client until close, failure or not.
        QVERIFY(client.socket > 2);
        if (error.isEmpty()) {
            QCOMPARE(readAll(client, "/Documents/note.txt", 100), QByteArray("in the container"));
            QCOMPARE(namesOf(client.entryInfoList("/")), QStringList{"/Documents/"});
        }
        const QVariant sent = cfmessages::parsed(
            testsupport::recordedServiceRequests(phones.folder("afc"), "com.apple.mobile.house_arrest"));
        QCOMPARE(sent.toList().last(), QVariant(QVariantMap{{"Command", "VendContainer"}, {"Identifier", app}}));
        client.close();
        QCOMPARE(client.socket, 0);
    }

    void makeRenameListRemove()
    {
        AfcClient client(device);
        client.open();
        const QString folder = QString::fromUtf8("/Notes \U0001F4DD/2024");
        QVERIFY(client.makeDirectory(folder));
        QVERIFY(client.makeDirectory(folder)); // there already: fine
        QVERIFY(writeAll(client, folder + "/a.txt", "alpha"));
        QVERIFY(client.renamePath(folder + "/a.txt", folder + "/b.txt"));
        QVERIFY(client.makeDirectory(folder + "/sub"));
        QCOMPARE(namesOf(client.entryInfoList(folder)), QStringList({folder + "/b.txt", folder + "/sub/"}));
        QCOMPARE(QFile(media + "/Notes \U0001F4DD/2024/b.txt").size(), 5);

        QVERIFY(!client.renamePath(folder + "/a.txt", folder + "/c.txt"));
        QVERIFY(!client.removePath(folder)); // not empty
        QVERIFY(client.removePath(folder + "/b.txt"));
        QVERIFY(!client.removePath(folder + "/b.txt"));
        QVERIFY(client.removePath(folder + "/sub"));
        QVERIFY(client.removePath(folder));
        QVERIFY(client.removePath(QString::fromUtf8("/Notes \U0001F4DD")));
        QVERIFY(!QFileInfo::exists(media + "/Notes \U0001F4DD"));
        // The folder shown as "/" itself stays.
        QVERIFY(!client.removePath("/"));
    }

    void aLargeFileRoundTrip()
    {
        QByteArray data(200000, Qt::Uninitialized);
        QRandomGenerator random(21);
        for (char &byte : data)
            byte = char(random.bounded(256));
        AfcClient client(device);
        client.open();
        QVERIFY(writeAll(client, "/large.bin", data));
        const AfcFileInfo info = client.fileInfo("/large.bin");
        QCOMPARE(info.size, qint64(200000));
        QVERIFY(info.isFile());
        QCOMPARE(readAll(client, "/large.bin", 200000), data);
        // Reading in small pieces gives the same bytes, then 0 at the end.
        AfcFile file;
        QVERIFY(client.openForRead("/large.bin", file));
        QByteArray pieces;
        char buffer[7000];
        for (int n; (n = file.read(buffer, sizeof buffer)) > 0;)
            pieces.append(buffer, n);
        QCOMPARE(pieces, data);
        QCOMPARE(file.read(buffer, 0), 0);
        file.close();
        QVERIFY(client.removePath("/large.bin"));
    }

    void listingsHoldFilesAndFoldersOnly()
    {
        QVERIFY(QDir().mkpath(media + "/Listing/Sub"));
        QFile::copy(media + "/" + kPhoto, media + "/Listing/photo.jpg");
        QVERIFY(QFile::link(media + "/Listing/photo.jpg", media + "/Listing/link.jpg"));
        AfcClient client(device);
        client.open();
        // The device lists ".", "..", the link, the file and the folder.
        QCOMPARE(mobiledevice_afc_read_directory(client.socket, "/Listing"),
                 QStringList({".", "..", "Sub", "link.jpg", "photo.jpg"}));
        QCOMPARE(namesOf(client.entryInfoList("/Listing")), QStringList({"/Listing/Sub/", "/Listing/photo.jpg"}));
        // Paths are the device's: "." and ".." resolved, no folder of this computer.
        QCOMPARE(namesOf(client.entryInfoList("/Listing/Sub/../")), QStringList({"/Listing/Sub/", "/Listing/photo.jpg"}));
        QCOMPARE(client.fileInfo("/Listing/link.jpg").type, QString("S_IFLNK"));
        QVERIFY(client.entryInfoList("/no such folder").isEmpty());
        QDir(media + "/Listing").removeRecursively();
    }

    void theTopAndFilesOpenAlready()
    {
        AfcClient client(device);
        client.open();
        QVERIFY(client.fileInfo("/").isDir());
        AfcFile file;
        QVERIFY(client.openForRead("/" + kPhoto, file));
        const quint64 handle = file.handle;
        // Opening into a file that is open would lose its handle.
        QVERIFY(!client.openForRead("/" + kNote, file));
        QCOMPARE(file.handle, handle);
        char buffer[4];
        QCOMPARE(file.read(buffer, 4), 4);
        QCOMPARE(QByteArray(buffer, 4), QByteArray("\xff\xd8\xff\xe0", 4));
    }

    void filesThatAreNotThere()
    {
        AfcClient client(device);
        client.open();
        AfcFile file;
        QVERIFY(!client.openForRead("/nothing.txt", file));
        QCOMPARE(file.handle, quint64(0));
        QCOMPARE(file.socket, 0);
        QVERIFY(!client.openForRead("/DCIM", file)); // a folder
        const AfcFileInfo none = client.fileInfo("/nothing.txt");
        QVERIFY(!none.isValid() && none.name.isEmpty() && none.modified.isNull());
        char buffer[4];
        QCOMPARE(file.read(buffer, 4), -1); // never opened
        QCOMPARE(file.write("x", 1), -1);
    }

    // ".." stops at the top of the media folder, and a link out of it leads
    // nowhere: the phone's own files and this computer's stay out of reach.
    void pathsStayInsideThePhonesFolder()
    {
        QTemporaryDir outside;
        QVERIFY(QFile::link(phones.folder("afc"), media + "/up"));
        QVERIFY(QFile::link(outside.path() + "/made.txt", media + "/dangling"));
        AfcClient client(device);
        client.open();
        AfcFile file;
        for (const char *path : {"/../device.plist", "/../../../../device.plist", "../device.plist",
                                    "/DCIM/../../device.plist", "/up/device.plist"})
            QVERIFY2(!client.openForRead(QString::fromUtf8(path), file), path);
        QVERIFY(client.entryInfoList("/up").isEmpty());
        QVERIFY(!client.makeDirectory("/up/made"));
        QVERIFY(!QFileInfo::exists(phones.folder("afc") + "/made"));
        QVERIFY(!client.renamePath("/" + kNote, "/up/stolen.txt"));
        QVERIFY(!client.openForWrite("/dangling", file));
        QVERIFY(!QFileInfo::exists(outside.path() + "/made.txt"));
        // ".." above the top is the top: this lands inside.
        QVERIFY(client.makeDirectory("/../../escape"));
        QVERIFY(QFileInfo(media + "/escape").isDir());
        QVERIFY(!QFileInfo::exists(phones.folder("afc") + "/escape"));
        // The links themselves may go.
        QVERIFY(client.removePath("/up") && client.removePath("/dangling") && client.removePath("/escape"));
        QVERIFY(QFileInfo(phones.folder("afc") + "/device.plist").isFile());
    }

    void fileInformationFromTheDevice_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("type");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("msecs"); // LLONG_MIN: no time
        QTest::addColumn<bool>("isFile");
        QTest::addColumn<bool>("isDir");
        const qint64 none = std::numeric_limits<qint64>::min();
        QTest::newRow("a file of 1024 bytes")
            << afcpeer::reply(2, nulEnded({"st_ifmt", "S_IFREG", "st_size", "1024", "st_mtime", "1400000000000000000"}))
            << "S_IFREG" << qint64(1024) << qint64(1400000000000) << true << false;
        QTest::newRow("a type in lower case") << afcpeer::reply(2, nulEnded({"st_ifmt", "s_ifdir"})) << "s_ifdir"
                                              << qint64(0) << none << false << true;
        QTest::newRow("nanoseconds truncate toward zero")
            << afcpeer::reply(2, nulEnded({"st_ifmt", "S_IFREG", "st_mtime", "-1999999"})) << "S_IFREG" << qint64(0)
            << qint64(-1) << true << false;
        QTest::newRow("a size that is no number")
            << afcpeer::reply(2, nulEnded({"st_ifmt", "S_IFREG", "st_size", "lots"})) << "S_IFREG" << qint64(0) << none
            << true << false;
        QTest::newRow("no type") << afcpeer::reply(2, nulEnded({"st_size", "5"})) << "" << qint64(5) << none
                                 << false << false;
    }
    void fileInformationFromTheDevice()
    {
        if (AttachedPhones::throughUsbmux())
            QSKIP("the script plays the service in this process, the daemon runs it in its own");
        QFETCH(QByteArray, reply);
        QFETCH(QString, type);
        QFETCH(qint64, size);
        QFETCH(qint64, msecs);
        QFETCH(bool, isFile);
        QFETCH(bool, isDir);
        afcpeer::Request asked;
        ServicePeerHook hook([&](PeerSocket &phone) {
            asked = afcpeer::readRequest(phone);
            phone.write(reply);
        });
        AfcClient client(device);
        client.open();
        const AfcFileInfo info = client.fileInfo("/DCIM/IMG_0002.HEIC");
        QVERIFY(hook.waitFinished());
        QCOMPARE(hook.service(), QString("com.apple.afc"));
        QCOMPARE(asked.operation, quint64(10));
        QCOMPARE(info.name, QString("/DCIM/IMG_0002.HEIC"));
        QCOMPARE(info.type, type);
        QCOMPARE(info.size, size);
        QCOMPARE(info.isValid(), !type.isEmpty());
        QCOMPARE(info.isFile(), isFile);
        QCOMPARE(info.isDir(), isDir);
        if (msecs == std::numeric_limits<qint64>::min()) {
            QVERIFY(info.modified.isNull());
        } else {
            QCOMPARE(info.modified, QDateTime::fromMSecsSinceEpoch(msecs));
            QCOMPARE(info.modified.timeSpec(), Qt::LocalTime);
        }
        if (msecs == 1400000000000) // 16:53:20 UTC, summer time in Berlin
            QCOMPARE(info.modified.toString(Qt::ISODate), QString("2014-05-13T18:53:20"));
    }

    void closingAFileNeverOpenedSendsNothing()
    {
        if (AttachedPhones::throughUsbmux())
            QSKIP("the script plays the service in this process, the daemon runs it in its own");
        QByteArray received;
        ServicePeerHook hook([&](PeerSocket &phone) {
            received = phone.read(1, 5000);
            phone.closedByClient();
        });
        AfcClient client(device);
        client.open();
        {
            AfcFile file;
            file.socket = client.socket;
            file.close();
        } // and the destructor neither
        client.close();
        QVERIFY(hook.waitFinished());
        QVERIFY(received.isEmpty());
    }

    // A device that stops answering mid-way: every member reports the
    // failure its own way, and closing the file still forgets its handle.
    void aDeviceThatStopsAnswering()
    {
        if (AttachedPhones::throughUsbmux())
            QSKIP("the script plays the service in this process, the daemon runs it in its own");
        ServicePeerHook hook([&](PeerSocket &phone) {
            afcpeer::readRequest(phone);
            phone.write(afcpeer::reply(14, afcpeer::u64(5)));
        });
        AfcClient client(device);
        client.open();
        AfcFile file;
        QVERIFY(client.openForRead("/a", file));
        QCOMPARE(file.handle, quint64(5));
        QVERIFY(hook.waitFinished());
        char buffer[8];
        QCOMPARE(file.read(buffer, 8), -1);
        QCOMPARE(file.write("abc", 3), -1);
        QVERIFY(!client.makeDirectory("/b"));
        QVERIFY(!client.fileInfo("/a").isValid());
        QVERIFY(client.entryInfoList("/").isEmpty());
        file.close();
        QCOMPARE(file.handle, quint64(0));
    }
};

QP_TEST_MAIN(TestAfcClient)

} // namespace tst_afcclient

#include "tst_afcclient.moc"
