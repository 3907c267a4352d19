#pragma once

#include "HttpGet.h"

#include <QObject>
#include <QTimer>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// One GET of a text from the update server, in the background: finished() comes once, after the reply has completed,
// failed, run out of time or passed the bound. The rules are HttpGet's; HttpGet::fetch waits for one of these.
class HttpGetRequest : public QObject
{
    Q_OBJECT

public:
    HttpGetRequest(const QString& url, int timeoutMs, qint64 maxBytes = HttpGet::MaxReplyBytes,
                   QObject* parent = nullptr);
    ~HttpGetRequest() override;

    bool isFinished() const { return m_finished; }
    // The reply once finished; nothing for a request that failed on the way.
    const std::optional<HttpGet::Response>& response() const { return m_response; }

signals:
    void finished();

private:
    void stopPast(qint64 length);
    void onFinished();

    QNetworkAccessManager* m_manager;
    QNetworkReply* m_reply = nullptr;
    QTimer m_deadline;
    std::optional<HttpGet::Response> m_response;
    qint64 m_maxBytes;
    bool m_tooLong = false;
    bool m_finished = false;
};
