#pragma once
// Which devices an operation is using, and the calls that wait for them.
//
// A key names what one operation must have to itself: an iPhone's id while it
// arrives or is written to, "serial:" + an adb serial while that phone
// connects, "cache:" + an Android cache folder's name while it is loaded or
// sent to. A call that comes for a key in use is kept, with a tag naming the
// phone it is for, and runs once the key is free again.
//
// An arrival nested in the modal loop of an operation on the same phone must
// not wait in an event loop of its own: the operation below it on the stack
// could never return. So it is kept instead, and run from a fresh event after
// the operation's frame has ended. Kept calls of one key run one after the
// other, in the order they came; a call that finds nothing to do (its phone
// has gone meanwhile) never strands the ones behind it.
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

class DeviceBusy : public QObject
{
    Q_OBJECT

public:
    explicit DeviceBusy(QObject *parent = nullptr);

    // Marks a key as in use for its lifetime. When it ends, the calls kept
    // for the key start running, queued.
    class Hold
    {
    public:
        Hold(DeviceBusy &busy, const QString &key);
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        DeviceBusy &busy;
        QString key;
    };

    bool isBusy(const QString &key) const { return busyKeys.contains(key); }
    // When key is in use, keeps call for the end of that use and answers true;
    // otherwise answers false and call is not kept.
    bool keepWhileBusy(const QString &key, const QString &tag, const std::function<void()> &call);
    // Drops every kept call of that tag, whatever its key: the phone it was
    // for has left.
    void dropTagged(const QString &tag);
    int keptCount(const QString &key) const;

signals:
    // A key has become free (its kept calls are about to run).
    void released(const QString &key);

private:
    struct Kept
    {
        QString key;
        QString tag;
        std::function<void()> call;
    };
    void runKept(const QString &key);

    QSet<QString> busyKeys;
    QList<Kept> kept;
};
