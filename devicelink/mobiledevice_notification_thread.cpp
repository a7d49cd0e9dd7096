#include "devicelink/mobiledevice_notification_thread.h"

#include "devicelink/notificationproxy.h"
#include "ios/mobiledevice.h"

#include <QDebug>

#include <chrono>
#include <exception>
#include <stdexcept>

mobiledevice_notification_thread::mobiledevice_notification_thread(void *device, QObject *parent)
    : QThread(parent), device(device)
{
}

mobiledevice_notification_thread::~mobiledevice_notification_thread()
{
    // run clears the stop request when it begins, so the request is repeated
    // until the loop has seen it.
    requestStop();
    mobiledevice_shutdown_socket(socket);
    while (!wait(100))
        requestStop();
    mobiledevice_closesocket(socket);
    socket = 0;
}

void mobiledevice_notification_thread::observe(const QStringList &names)
{
    // The loop owns the socket while it runs.
    if (isRunning())
        throw std::logic_error("mobiledevice_notification_thread::observe, the thread is running.");
    if (socket != 0) {
        mobiledevice_closesocket(socket);
        socket = 0;
    }
    mobiledevice_notification_start(device, &socket);
    for (const QString &name : names)
        mobiledevice_notification_observe(socket, name);
}

void mobiledevice_notification_thread::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(sleepMutex);
        stop.store(true);
    }
    wake.notify_all();
}

void mobiledevice_notification_thread::run()
{
    if (socket == 0) {
        qDebug("mobiledevice_notification_thread::run, start service first.");
        return;
    }
    stop.store(false);
    for (;;) {
        try {
            const QString name = mobiledevice_notification_get_throw(socket);
            emit recNotification(name);
        } catch (const std::exception &e) {
            qDebug("mobiledevice_notification_thread::run, %s", e.what());
        }
        std::unique_lock<std::mutex> lock(sleepMutex);
        if (wake.wait_for(lock, std::chrono::seconds(1), [this] { return stop.load(); }))
            return;
    }
}
