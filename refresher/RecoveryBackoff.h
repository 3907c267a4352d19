#pragma once

#include <QtGlobal>

#include <optional>

// How long to wait before reloading a page whose renderer has ended abnormally. The first crash is answered at once;
// a page that brings its renderer down again soon after each reload is retried after 1 s, 2 s, 4 s ... up to a
// minute, so it cannot keep the machine busy restarting renderers. A page that has stayed up for a while starts
// the count again.
class RecoveryBackoff
{
public:
    static constexpr qint64 FirstRetryMs = 1000;
    static constexpr qint64 MaxDelayMs = 60000;
    // A crash this long after the last reload counts as a first crash again.
    static constexpr qint64 StableMs = 30000;

    // The wait before reloading, for a crash at this monotonic time.
    qint64 delayAfterCrash(qint64 monotonicMs);

private:
    std::optional<qint64> m_lastReloadAtMs;
    int m_retries = 0;
};
