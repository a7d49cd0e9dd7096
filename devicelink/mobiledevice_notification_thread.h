#pragma once
// Listens to a phone's notification proxy (notificationproxy.h) in a thread of
// its own and turns every relayed notification into recNotification.
//
// Use: construct with the phone, observe (starts the service, subscribes),
// start. The loop receives one message per pass (a receive waits as long as
// the device layer waits for a frame's length), logs every failure, and
// sleeps a second between passes; it ends once a stop is requested. The
// thread owns the socket: destroying it requests the stop, shuts the socket
// down (which wakes a receive in progress), waits for the loop to end and
// closes the socket.
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class mobiledevice_notification_thread : public QThread
{
    Q_OBJECT
public:
    mobiledevice_notification_thread(void *device, QObject *parent = nullptr);
    ~mobiledevice_notification_thread() override;

    // Before start: starts the service (closing one started before) and
    // observes each name in order. Throws the device layer's texts, and
    // std::logic_error while the thread runs.
    void observe(const QStringList &names);
    // The loop ends after the pass in progress; a sleep between passes is cut
    // short. Safe from any thread.
    void requestStop();

    // The service socket; 0 until observe started the service.
    int serviceSocket() const { return socket; }

signals:
    void recNotification(QString name);

protected:
    void run() override;

private:
    // Written by other threads, read by the loop.
    std::atomic<bool> stop{false};
    void *device = nullptr;
    int socket = 0;
    std::mutex sleepMutex;
    std::condition_variable wake;
};
