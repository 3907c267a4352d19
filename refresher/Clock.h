#pragma once

#include <QDateTime>

// Source of "now" for the scheduler and the clock label. Tests substitute a clock they advance by hand.
class Clock
{
public:
    virtual ~Clock() = default;
    // Local date and time, whole seconds: the window shows and compares times at that resolution.
    virtual QDateTime now() const = 0;
    // Milliseconds on a clock that only moves forward, at the pace of real time, whatever is done to the wall clock.
    virtual qint64 monotonicMs() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override;
    qint64 monotonicMs() const override;
    // One shared instance; a clock has no state, so every window may use it.
    static const SystemClock& instance();
};
