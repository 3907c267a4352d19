#include "HttpGet.h"

#include "SystemProxy.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {
// Qt folds HTTP error statuses into QNetworkReply's error codes. Those ranges mean the server answered in full;
// everything else (connection, proxy, protocol failures, cancellation) means no reply.
bool answeredInFull(const QNetworkReply& reply)
{
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError)
        return true;
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    const bool contentError =
        error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError;
    const bool serverError = error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError;
    return contentError || serverError;
}
} // namespace

std::optional<HttpGet::Response> HttpGet::fetch(const QString& url, int timeoutMs, qint64 maxBytes)
{
    // A manager per call keeps no connection or cookie state between requests, so each one is independent and
    // nothing lingers after start-up.
    QNetworkAccessManager manager;
    SystemProxy::useFor(manager);

    QNetworkRequest request{QUrl(url)};
    // A redirect is followed only to the same scheme, host and port: anywhere else (another port of this machine,
    // which no proxy stands in front of, say) any server on the path could make the user's machine ask its own
    // local services. Qt ends a request redirected elsewhere with an error, which counts as no reply. The time bound
    // covers the whole chain.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);

    QNetworkReply* reply = manager.get(request);
    // Qt stops reading from the socket once this much is waiting, so a reply over the bound is cut, not stored.
    reply->setReadBufferSize(maxBytes + 1);
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    // A coarse timer may fire 5 % late, a quarter of a second on the start-up check's 5 s; the bound is the bound.
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // abort() finishes the reply with OperationCanceledError, which counts as no reply.
    QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    // An announced length over the bound ends the request at the headers, any other body as soon as more than the
    // bound has arrived: nothing is read before the end, so all that arrived is waiting. downloadProgress would not
    // do: Qt reports progress at most every 100 ms, and once its buffer is full nothing more arrives to report,
    // so the request would stay open until the deadline.
    bool tooLong = false;
    const auto stopPast = [&](qint64 length) {
        if (length > maxBytes) {
            tooLong = true;
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [&] { stopPast(reply->bytesAvailable()); });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                     [&] { stopPast(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    deadline.start(std::max(0, timeoutMs));
    if (!reply->isFinished())
        // Input events stay queued: the caller is blocked, and a click must not run a handler in the middle of it.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    deadline.stop();

    std::optional<Response> response;
    if (!tooLong && answeredInFull(*reply))
        response = Response{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    // The manager owns the reply and deletes it when it goes out of scope.
    return response;
}

std::optional<QString> HttpGet::get(const QString& url, int timeoutMs)
{
    const std::optional<Response> response = fetch(url, timeoutMs);
    if (!response)
        return std::nullopt;
    return QString::fromUtf8(response->body);
}
