#include "HttpGet.h"

#include "HttpGetRequest.h"

#include <QEventLoop>

std::optional<HttpGet::Response> HttpGet::fetch(const QString& url, int timeoutMs, qint64 maxBytes)
{
    HttpGetRequest request(url, timeoutMs, maxBytes);
    if (!request.isFinished()) {
        QEventLoop loop;
        QObject::connect(&request, &HttpGetRequest::finished, &loop, &QEventLoop::quit);
        // Input events stay queued: the caller is blocked, and a click must not run a handler in the middle of it.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return request.response();
}

std::optional<QString> HttpGet::get(const QString& url, int timeoutMs)
{
    const std::optional<Response> response = fetch(url, timeoutMs);
    if (!response)
        return std::nullopt;
    return QString::fromUtf8(response->body);
}
