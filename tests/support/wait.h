#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <functional>

// Runs the event loop until the predicate holds or the time is up.
inline bool waitFor(const std::function<bool()>& predicate, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for the given time.
inline void spin(int ms)
{
    waitFor([] { return false; }, ms);
}
