#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The blocking GET both programs use to ask the update server something. It waits on the calling thread (pumping
// only non-input events) until the request has completed, failed, or run out of time.
//
// A completed request is a reply whatever its HTTP status: an error page is what the server sent, and the callers
// judge the text themselves. A request that fails on the way (refused, reset, closed before the announced end of
// the body, over time, longer than the bound, redirected to another scheme, host or port) yields no reply at all.
// Nothing is reported to the user here. Needs a QCoreApplication, but no window, and may be called any number of
// times.
namespace HttpGet {
// Every text the programs ask for is a few bytes to a few KiB; a larger reply is not one of them, and is not read.
inline constexpr qint64 MaxReplyBytes = 64 * 1024;

struct Response
{
    int status = 0; // 0 when the reply carried no HTTP status
    QByteArray body;
    bool isSuccess() const { return status >= 200 && status <= 299; }
};

// The whole body, as raw bytes, with the status it came with; no reply when it is longer than maxBytes.
std::optional<Response> fetch(const QString& url, int timeoutMs, qint64 maxBytes = MaxReplyBytes);
// The whole body decoded as UTF-8.
std::optional<QString> get(const QString& url, int timeoutMs);
} // namespace HttpGet
