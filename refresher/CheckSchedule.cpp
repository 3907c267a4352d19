#include "CheckSchedule.h"

#include <QRandomGenerator>

void CheckSchedule::arm(const QDateTime& now)
{
    const qint64 spread = m_spreadS > 0 ? qint64(QRandomGenerator::global()->bounded(quint64(m_spreadS))) : 0;
    m_next = now.addSecs(m_periodS + spread);
}

void CheckSchedule::setPeriod(qint64 periodSeconds, qint64 spreadSeconds)
{
    m_periodS = periodSeconds;
    m_spreadS = spreadSeconds;
}
