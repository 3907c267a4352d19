#pragma once

#include <QDateTime>

#include <optional>

// When the next timed refresh is due and how many have happened. Armed exactly while a next run time is set.
class RefreshSchedule
{
public:
    const std::optional<QDateTime>& nextRunTime() const { return m_nextRunTime; }
    int runCount() const { return m_runCount; }
    bool isArmed() const { return m_nextRunTime.has_value(); }

    // Sets the next run time to now plus the interval and returns it.
    QDateTime arm(const QDateTime& now, qint64 intervalSeconds);
    void disarm();

    // Due at the first check at or after the next run time; never due while disarmed.
    bool isDue(const QDateTime& now) const;

    // Counts the timed refresh that has just come due and returns the time it was due at. The schedule stays
    // as it was: the caller re-arms or disarms it next.
    QDateTime countRun();

private:
    std::optional<QDateTime> m_nextRunTime;
    int m_runCount = 0;
};
