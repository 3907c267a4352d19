#pragma once

#include <QDateTime>

#include <optional>

// When a refresher that runs for weeks asks the update server again: a day after the last check on the wall clock (a
// machine that sleeps at night still checks daily), plus a random part of an hour, drawn anew each time, so that a
// fleet switched on together does not ask in the same second. As with the refresh schedule, a wall clock set back
// does not hold the check back: it is also due once that long has passed on the monotonic clock.
class CheckSchedule
{
public:
    static constexpr qint64 DayS = 24 * 60 * 60;
    static constexpr qint64 SpreadS = 60 * 60;

    // Arms the next check, counted from now.
    void arm(const QDateTime& now, qint64 monotonicMs);
    bool isDue(const QDateTime& now, qint64 monotonicMs) const;
    const std::optional<QDateTime>& next() const { return m_next; }
    void setPeriod(qint64 periodSeconds, qint64 spreadSeconds);

private:
    std::optional<QDateTime> m_next;
    qint64 m_armedAtMs = 0;
    qint64 m_waitMs = 0;
    qint64 m_periodS = DayS;
    qint64 m_spreadS = SpreadS;
};
