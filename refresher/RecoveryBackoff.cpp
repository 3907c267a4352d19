#include "RecoveryBackoff.h"

#include <algorithm>

qint64 RecoveryBackoff::delayAfterCrash(qint64 monotonicMs)
{
    if (!m_lastReloadAtMs || monotonicMs - *m_lastReloadAtMs >= StableMs)
        m_retries = 0;
    else
        ++m_retries;
    // Doubling stops well before the shift could overflow; the cap is reached after seven retries.
    const qint64 delay = m_retries == 0 ? 0 : std::min(FirstRetryMs << std::min(m_retries - 1, 16), MaxDelayMs);
    m_lastReloadAtMs = monotonicMs + delay;
    return delay;
}
