#include "platform/linux/LinuxPlatform.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace plinthora::linux_platform {

// ---- dispatch and clock ----------------------------------------------------

void QtDispatch::async(Queue q, std::function<void()> block) {
    if (q == Queue::Global) {
        QThreadPool::globalInstance()->start(std::move(block));
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(block), Qt::QueuedConnection);
}

void QtDispatch::after(double seconds, Queue q, std::function<void()> block) {
    auto fire = [q, block = std::move(block), this]() mutable {
        if (q == Queue::Global)
            async(Queue::Global, std::move(block));
        else
            block();
    };
    const int ms = static_cast<int>(std::max(0.0, seconds) * 1000.0 + 0.5);
    // A timer must be started from a thread with an event loop; the main
    // one always has one.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [ms, fire = std::move(fire)]() mutable {
            QTimer::singleShot(ms, Qt::PreciseTimer, QCoreApplication::instance(), std::move(fire));
        },
        Qt::AutoConnection);
}

}  // namespace plinthora::linux_platform
