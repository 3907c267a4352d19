#include "RefreshSchedule.h"

QDateTime RefreshSchedule::arm(const QDateTime& now, qint64 intervalSeconds)
{
    m_nextRunTime = now.addSecs(intervalSeconds);
    return *m_nextRunTime;
}

void RefreshSchedule::disarm()
{
    m_nextRunTime.reset();
}

bool RefreshSchedule::isDue(const QDateTime& now) const
{
    return m_nextRunTime.has_value() && now >= *m_nextRunTime;
}

QDateTime RefreshSchedule::countRun()
{
    ++m_runCount;
    return m_nextRunTime.value_or(QDateTime());
}
