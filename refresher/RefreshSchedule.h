#pragma once

#include <QDateTime>

#include <optional>

// When the next timed refresh is due and how many have happened. Armed exactly while a next run time is set.
//
// The window shows wall-clock times, but the wall clock can be set back (by hand, by a bad time sync, by restoring a
// virtual machine), which alone would hold every refresh back for as long as the clock went back. So the schedule
// also remembers a monotonic reading from when it was armed, and a refresh is due once either clock says the interval
// has run out. A clock set forward, or a suspended machine waking up, gives one refresh at once; the next is counted
// from that refresh.
class RefreshSchedule
{
public:
    const std::optional<QDateTime>& nextRunTime() const { return m_nextRunTime; }
    int runCount() const { return m_runCount; }
    bool isArmed() const { return m_nextRunTime.has_value(); }

    // Sets the next run time to now plus the interval and returns it.
    QDateTime arm(const QDateTime& now, qint64 monotonicMs, qint64 intervalSeconds);
    void disarm();

    // Due at the first check at or after the next run time, or once the interval has passed on the monotonic clock;
    // never due while disarmed.
    bool isDue(const QDateTime& now, qint64 monotonicMs) const;
    // How long until it comes due by either clock (0 once due); none while disarmed.
    std::optional<qint64> msUntilDue(const QDateTime& now, qint64 monotonicMs) const;

    // Counts the timed refresh that has just come due and returns the time it was due at. The schedule stays
    // as it was: the caller re-arms or disarms it next.
    QDateTime countRun();

private:
    std::optional<QDateTime> m_nextRunTime;
    qint64 m_armedAtMs = 0;
    qint64 m_intervalMs = 0;
    int m_runCount = 0;
};
