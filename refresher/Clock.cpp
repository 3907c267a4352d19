#include "Clock.h"

QDateTime SystemClock::now() const
{
    // Dropping the milliseconds keeps "now + interval" comparisons in step with the times the window shows.
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
}

const SystemClock& SystemClock::instance()
{
    static const SystemClock clock;
    return clock;
}
