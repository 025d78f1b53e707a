// SPDX-License-Identifier: Apache-2.0
#include "wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>

namespace kestravo::testkit {

bool WaitUntil(const std::function<bool()>& condition, int boundMs)
{
    QDeadlineTimer deadline(boundMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Outside a running event loop, an object's deleteLater() would otherwise wait for ever.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::usleep(200);
    }
    return true;
}

void SpinFor(int ms)
{
    WaitUntil([] { return false; }, ms);
}

} // namespace kestravo::testkit
