#include "CheckSchedule.h"

#include <QRandomGenerator>

void CheckSchedule::arm(const QDateTime& now, qint64 monotonicMs)
{
    const qint64 spread = m_spreadS > 0 ? qint64(QRandomGenerator::global()->bounded(quint64(m_spreadS))) : 0;
    m_next = now.addSecs(m_periodS + spread);
    m_armedAtMs = monotonicMs;
    m_waitMs = (m_periodS + spread) * 1000;
}

bool CheckSchedule::isDue(const QDateTime& now, qint64 monotonicMs) const
{
    return m_next && (now >= *m_next || monotonicMs - m_armedAtMs >= m_waitMs);
}

void CheckSchedule::setPeriod(qint64 periodSeconds, qint64 spreadSeconds)
{
    m_periodS = periodSeconds;
    m_spreadS = spreadSeconds;
}
