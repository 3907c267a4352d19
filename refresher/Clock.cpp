#include "Clock.h"

#include <QDeadlineTimer>

QDateTime SystemClock::now() const
{
    // Dropping the milliseconds keeps "now + interval" comparisons in step with the times the window shows.
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
}

qint64 SystemClock::monotonicMs() const
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadline();
}

const SystemClock& SystemClock::instance()
{
    static const SystemClock clock;
    return clock;
}
