#pragma once

#include <QDateTime>

#include <optional>

// When a refresher that runs for weeks asks the update server again: a day after the last check on the wall clock (a
// machine that sleeps at night still checks daily), plus a random part of an hour, drawn anew each time, so that a
// fleet switched on together does not ask in the same second.
class CheckSchedule
{
public:
    static constexpr qint64 DayS = 24 * 60 * 60;
    static constexpr qint64 SpreadS = 60 * 60;

    // Arms the next check, counted from now.
    void arm(const QDateTime& now);
    bool isDue(const QDateTime& now) const { return m_next && now >= *m_next; }
    const std::optional<QDateTime>& next() const { return m_next; }
    void setPeriod(qint64 periodSeconds, qint64 spreadSeconds);

private:
    std::optional<QDateTime> m_next;
    qint64 m_periodS = DayS;
    qint64 m_spreadS = SpreadS;
};
