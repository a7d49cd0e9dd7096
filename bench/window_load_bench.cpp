// A phone of a million messages loaded through the main window's own path: the
// phone's folder lies in the data folder's "virtual_ios", the window reads its
// conversations at start, and selecting the phone reads and lists every
// message. Prints the peak resident memory of the whole program (target at
// most 1 GB) and the seconds of the load against plain SQLite statements
// reading the same rows.
//
//   window_load_bench [messages chats handles]   (default 1000000 2000 500)
//
// The database is written by a child process of this program, so the memory
// of generating it never counts.
#include "app/datafolder.h"
#include "app/makerserver.h"
#include "bench/benchmeasure.h"
#include "bench/benchsetup.h"
#include "tests/support/messagedbfixture.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTreeView>

#include <malloc.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace {

constexpr double kTargetBytes = 1024.0 * 1024 * 1024;

// The statements the window's reader runs on the phone's file.
double floorSeconds(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    quint64 sum = 0;
    sum += drain(db, "select * from chat");
    sum += drain(db, "select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id = "
                     "h.rowid");
    sum += drain(db, "select j.chat_id, m.* from chat_message_join as j inner join message as m on j.message_id = "
                     "m.rowid and m.item_type <> 4");
    sqlite3_close(db);
    return sum == 0 ? 0 : timer.nsecsElapsed() / 1e9;
}

// An adb that finds no phone, first in PATH: the window's Android monitor
// must neither start the machine's adb server nor wait for it.
void stubAdb(const QTemporaryDir &home)
{
    const QString bin = home.path() + "/bin";
    QDir().mkpath(bin);
    QFile adb(bin + "/adb");
    if (!adb.open(QIODevice::WriteOnly) || adb.write("#!/bin/sh\necho 'List of devices attached'\necho\n") < 0)
        throw std::runtime_error("cannot write the adb stand-in");
    adb.close();
    adb.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", QFile::encodeName(bin) + ":" + qgetenv("PATH"));
}

int generate(int argc, char **argv)
{
    // --generate folder messages chats handles
    if (argc < 6)
        return 2;
    QCoreApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(folder);
    testsupport::writeMsgDb(folder, testsupport::MsgDbLayout::Local,
                            testsupport::generateMsgContent(std::atoi(argv[4]), std::atoi(argv[3]),
                                                            std::atoi(argv[5]), 10));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--generate") == 0)
        return generate(argc, argv);

    QTemporaryDir home;
    useBenchHome(home);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int messages = args.size() > 1 ? args.at(1).toInt() : 1000000;
    const int chats = args.size() > 2 ? args.at(2).toInt() : 2000;
    const int handles = args.size() > 3 ? args.at(3).toInt() : 500;

    try {
        stubAdb(home);
        // Nothing of the window goes to the network: the checks are done for
        // today and the server is a closed local port.
        setMakerServerUrl(QUrl(QStringLiteral("http://127.0.0.1:9/")));
        const QDir data = appDataDir();
        QDir().mkpath(data.path());
        QFile checked(data.absoluteFilePath(QStringLiteral("last-check-version-time")));
        if (!checked.open(QIODevice::WriteOnly)
            || checked.write(QByteArray::number(QDateTime::currentSecsSinceEpoch())) <= 0)
            throw std::runtime_error("cannot write into the data folder");
        checked.close();
        MainWindow::setUsbTipsDelay(-1);

        const QString folder = data.absoluteFilePath(QStringLiteral("virtual_ios/phone"));
        QElapsedTimer timer;
        timer.start();
        const int rc = QProcess::execute(QCoreApplication::applicationFilePath(),
                                         {QStringLiteral("--generate"), folder, QString::number(messages),
                                          QString::number(chats), QString::number(handles)});
        if (rc != 0)
            throw std::runtime_error("generating the phone failed");
        const QString path = testsupport::messageDbPath(folder);
        std::printf("generated %d messages, %d chats, %d handles in %.1f s (%.0f MB)\n", messages, chats, handles,
                    timer.nsecsElapsed() / 1e9, QFileInfo(path).size() / 1048576.0);

        double floor = floorSeconds(path); // the file into the page cache
        floor = qMin(floor, floorSeconds(path));

        malloc_trim(0);
        const qint64 before = statusKb("VmRSS");
        const bool peakReset = resetPeak();
        timer.restart();
        MainWindow window;
        window.show();
        MainWindow::Node *phone = nullptr;
        for (MainWindow::Node *child : window.treeModel()->rootDevice->children)
            phone = child;
        auto *tree = window.findChild<QTreeView *>(QStringLiteral("treeViewDS"));
        if (!phone || !tree)
            throw std::runtime_error("the window shows no phone");
        tree->setCurrentIndex(window.treeModel()->indexOf(phone));
        QCoreApplication::processEvents();
        const double load = timer.nsecsElapsed() / 1e9;
        const qint64 peak = statusKb("VmHWM");
        const int listed = window.messageModel()->rowCount();

        std::printf("listed %d messages\n", listed);
        if (listed != messages)
            throw std::runtime_error("the window listed " + std::to_string(listed) + " messages");
        std::printf("window load:       %.3f s\n", load);
        std::printf("plain SQLite:      %.3f s (best of 2)\n", floor);
        std::printf("ratio:             %.2f\n", load / floor);
        std::printf("resident before:   %.0f MB\n", before / 1024.0);
        if (peakReset && peak >= 0)
            std::printf("peak resident:     %.0f MB (target at most %.0f MB)\n", peak / 1024.0,
                        kTargetBytes / 1048576.0);
        else
            std::printf("peak resident:     not measurable here\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "window_load_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
