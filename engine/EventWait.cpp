#include "engine/EventWait.h"

#include <QEventLoop>
#include <QTimer>

namespace {
class EventLoopWait : public EventWait
{
public:
    bool wait(int ms) override
    {
        // A nested event loop sleeps until something happens, where a processEvents() loop
        // would spin a core for the whole wait. Quitting the application ends every loop,
        // so a timer still running afterwards means the wait was cut short.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(ms);
        loop.exec();
        return !timer.isActive();
    }
};
}

EventWait *EventWait::standard()
{
    static EventLoopWait wait;
    return &wait;
}
