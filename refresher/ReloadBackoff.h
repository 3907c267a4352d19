#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

// When to ask for the main window's page again after it went away: after its renderer ended abnormally, or after a
// load of it failed. Both are meant for nobody watching, so a page comes back by itself, soon, but without
// hammering a machine or a server that is in trouble.
//
// A crash is answered at once; a page that brings its renderer down again soon after each reload is reloaded after
// 1 s, 2 s, 4 s ... up to a minute, so it cannot keep the machine busy restarting renderers. A page that has stayed
// up for a while starts the count again.
//
// A failed load is tried again 5 s later, then every 10 s for two minutes from the first failure, then every minute,
// until a load succeeds; a server that asks to be left alone longer (Retry-After) is, up to that minute. A timed
// refresh due no later than that asks in the retry's place, so none is made. The server's own refusals (a 4xx status
// other than 408 and 429, which say "not now") and a refused certificate do not clear by themselves and are not
// retried.
class ReloadBackoff
{
public:
    static constexpr qint64 FirstRetryMs = 1000;
    static constexpr qint64 MaxDelayMs = 60000;
    // A crash this long after the last reload counts as a first crash again.
    static constexpr qint64 StableMs = 30000;

    static constexpr qint64 FirstFailureRetryMs = 5000;
    static constexpr qint64 FailureRetryMs = 10000;
    static constexpr qint64 FrequentRetriesMs = 120000;
    static constexpr qint64 SlowFailureRetryMs = 60000;
    // A page whose document has not begun to arrive this long after it was asked for counts as a failed load.
    static constexpr qint64 ArrivalLimitMs = 60000;

    // How the engine said a load ended: the kind of its error and the code within that kind (an HTTP status for
    // HttpStatus, which a success may carry too; the engine's network error for Other). NeverBegan is the window's
    // own verdict on a page whose document did not begin to arrive in time.
    enum class ErrorKind
    {
        HttpStatus,
        Certificate,
        Other,
        NeverBegan,
    };
    struct LoadEnd
    {
        bool succeeded = false;
        ErrorKind kind = ErrorKind::Other;
        int code = 0;
        // The wait the answer asked for (Retry-After), where it could be read.
        std::optional<qint64> retryAfterMs = std::nullopt;
    };

    // Whether this end is a failure to be tried again; anything else is the page or the server's final word.
    static bool isFailure(const LoadEnd& end);
    // Whether the answer may have said how long to wait (Retry-After): 408, 429 and 503.
    static bool mayAskToWait(const LoadEnd& end)
    {
        return end.kind == ErrorKind::HttpStatus && (end.code == 408 || end.code == 429 || end.code == 503);
    }
    // The wait a Retry-After header's value asks for, when it is a number of seconds (the date form is not read).
    static std::optional<qint64> retryAfterMs(QByteArrayView value);
    // Whether a page asked for at this monotonic time whose document has not begun to arrive has waited too long.
    static bool arrivalOverdue(qint64 askedAtMs, qint64 monotonicMs)
    {
        return monotonicMs - askedAtMs >= ArrivalLimitMs;
    }

    explicit ReloadBackoff(qint64 firstFailureRetryMs = FirstFailureRetryMs)
        : m_firstFailureRetryMs(firstFailureRetryMs)
    {
    }

    // The wait before reloading, for a crash at this monotonic time.
    qint64 delayAfterCrash(qint64 monotonicMs);
    // The wait before asking again for a page whose load ended like this at this monotonic time, with the next timed
    // refresh this far away (none while the schedule is off); none when the page is not to be asked for again.
    std::optional<qint64> delayAfterLoad(const LoadEnd& end, qint64 monotonicMs, std::optional<qint64> untilRefreshMs);

private:
    std::optional<qint64> m_lastReloadAtMs;
    int m_retries = 0;
    qint64 m_firstFailureRetryMs;
    // When the first of the failures since the last load that succeeded happened.
    std::optional<qint64> m_failingSinceMs;
};
