#include "ReloadBackoff.h"

#include <algorithm>

qint64 ReloadBackoff::delayAfterCrash(qint64 monotonicMs)
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

bool ReloadBackoff::isFailure(const LoadEnd& end)
{
    const bool notNow = end.code == 408 || end.code == 429;
    const bool serversWord = end.kind == ErrorKind::HttpStatus && end.code >= 400 && end.code < 500 && !notNow;
    return !end.succeeded && !serversWord && end.kind != ErrorKind::Certificate;
}

std::optional<qint64> ReloadBackoff::retryAfterMs(QByteArrayView value)
{
    const QByteArrayView seconds = value.trimmed();
    // Ten digits are over three hundred years; more could overflow and ask for no less.
    if (seconds.isEmpty() || seconds.size() > 10 ||
        !std::all_of(seconds.begin(), seconds.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return seconds.toLongLong() * 1000;
}

std::optional<qint64> ReloadBackoff::delayAfterLoad(const LoadEnd& end, qint64 monotonicMs,
                                                    std::optional<qint64> untilRefreshMs)
{
    if (!isFailure(end)) {
        // Whoever answered is there: the next failure is a new outage.
        m_failingSinceMs.reset();
        return std::nullopt;
    }
    qint64 delay = m_firstFailureRetryMs;
    if (!m_failingSinceMs)
        m_failingSinceMs = monotonicMs;
    else
        delay = monotonicMs - *m_failingSinceMs < FrequentRetriesMs ? FailureRetryMs : SlowFailureRetryMs;
    if (end.retryAfterMs)
        delay = std::max(delay, std::min(*end.retryAfterMs, SlowFailureRetryMs));
    if (untilRefreshMs && *untilRefreshMs <= delay)
        return std::nullopt;
    return delay;
}
