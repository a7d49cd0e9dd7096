#pragma once
// Puts the fake `adb` (adbstandin/) first on PATH for the life of the object
// and scripts its answers in a private folder; restores PATH and the
// variables on destruction. With installed false, PATH holds only an empty
// folder: adb is missing (and no real adb can be found either).
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class FakeAdb
{
public:
    explicit FakeAdb(bool installed = true);
    ~FakeAdb();
    FakeAdb(const FakeAdb &) = delete;
    FakeAdb &operator=(const FakeAdb &) = delete;

    // The answer of a command key (see adbstandin/fakeadbmain.cpp) for every
    // call, or only for its call-th call (1-based).
    void answer(const QString &key, const QByteArray &out, const QByteArray &err = QByteArray(),
                int exitCode = 0, int call = 0);
    // Waits ms before answering; a large value makes adb hang.
    void delay(const QString &key, int ms, int call = 0);
    // Hands broadcast URLs to the fake companion app's control port.
    void handUrlsTo(quint16 controlPort);

    // The arguments of every call, in the order the calls started.
    QList<QStringList> calls() const;
    // "> key" when a call started, "< key" when it ended normally, in order.
    QStringList events() const;
    int count(const QString &key) const;
    // Waits (at most timeoutMs) until count(key) reaches n.
    bool waitForCalls(const QString &key, int n, int timeoutMs = 20000) const;

private:
    void write(const QString &name, const QByteArray &bytes);
    QList<QStringList> logLines() const;

    QTemporaryDir folder;
    QTemporaryDir emptyPath;
    QByteArray oldPath;
    QByteArray oldDir;
    QByteArray oldAppPort;
};
