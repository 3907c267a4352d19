#pragma once

#include <QDateTime>

// Source of "now" for the scheduler and the clock label. Tests substitute a clock they advance by hand.
class Clock
{
public:
    virtual ~Clock() = default;
    // Local date and time, whole seconds: the window shows and compares times at that resolution.
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override;
    // One shared instance; a clock has no state, so every window may use it.
    static const SystemClock& instance();
};
