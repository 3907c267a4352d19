#pragma once

#include <QObject>
#include <QUrl>

#include <optional>

class QNetworkReply;

// The engine (Qt WebEngine 6.4) does not tell a load's response headers, so when a page is answered "not now" the
// server is asked once more, for the headers alone (HEAD, the same address), how long it wants to be left alone.
// answered() comes once, with the wait its Retry-After asks for, or none: no such header, a date, no whole answer
// within TimeoutMs. Deleting the probe abandons the request.
class RetryAfterProbe : public QObject
{
    Q_OBJECT

public:
    // Short, since the retry waits for it; a server that asks for a wait answers at once.
    static constexpr int TimeoutMs = 3000;

    RetryAfterProbe(const QUrl& url, QObject* parent);

signals:
    void answered(std::optional<qint64> retryAfterMs);

private:
    QNetworkReply* m_reply;
};
