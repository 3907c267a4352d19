#include "RefreshSchedule.h"

#include <algorithm>

QDateTime RefreshSchedule::arm(const QDateTime& now, qint64 monotonicMs, qint64 intervalSeconds)
{
    m_nextRunTime = now.addSecs(intervalSeconds);
    m_armedAtMs = monotonicMs;
    m_intervalMs = intervalSeconds * 1000;
    return *m_nextRunTime;
}

void RefreshSchedule::disarm()
{
    m_nextRunTime.reset();
}

bool RefreshSchedule::isDue(const QDateTime& now, qint64 monotonicMs) const
{
    return m_nextRunTime.has_value() && (now >= *m_nextRunTime || monotonicMs - m_armedAtMs >= m_intervalMs);
}

std::optional<qint64> RefreshSchedule::msUntilDue(const QDateTime& now, qint64 monotonicMs) const
{
    if (!m_nextRunTime)
        return std::nullopt;
    return std::max<qint64>(0, std::min(now.msecsTo(*m_nextRunTime), m_armedAtMs + m_intervalMs - monotonicMs));
}

QDateTime RefreshSchedule::countRun()
{
    ++m_runCount;
    return m_nextRunTime.value_or(QDateTime());
}
