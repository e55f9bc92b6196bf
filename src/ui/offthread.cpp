#include "offthread.h"

#include <QCoreApplication>
#include <QObject>

#include <atomic>
#include <thread>

void runOffThread(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    QObject waker;
    std::thread t([&] {
        work();
        done = true;
        // Wakes the wait below.
        QMetaObject::invokeMethod(
            &waker, [] {}, Qt::QueuedConnection);
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    t.join();
}
