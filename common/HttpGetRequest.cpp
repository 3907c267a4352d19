#include "HttpGetRequest.h"

#include "SystemProxy.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
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

HttpGetRequest::HttpGetRequest(const QString& url, int timeoutMs, qint64 maxBytes, QObject* parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_maxBytes(maxBytes)
{
    // A manager per request keeps no connection or cookie state between requests, so each one is independent and
    // nothing lingers afterwards.
    SystemProxy::useFor(*m_manager);

    QNetworkRequest request{QUrl(url)};
    // A redirect is followed only to the same scheme, host and port: anywhere else (another port of this machine,
    // which no proxy stands in front of, say) any server on the path could make the user's machine ask its own
    // local services. Qt ends a request redirected elsewhere with an error, which counts as no reply. The time bound
    // covers the whole chain.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);

    m_reply = m_manager->get(request);
    // Qt stops reading from the socket once its buffer is nearly full, which for a body of unknown length (chunked or
    // not) could leave it waiting just short of the bound until the deadline. The buffer has room past the bound, so
    // a reply over it is seen as the bytes arrive and cut there, and never more than this is stored.
    m_reply->setReadBufferSize(2 * maxBytes + 1);
    m_deadline.setSingleShot(true);
    // A coarse timer may fire 5 % late, a quarter of a second on the start-up check's 5 s; the bound is the bound.
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(m_reply, &QNetworkReply::finished, this, &HttpGetRequest::onFinished);
    // abort() finishes the reply with OperationCanceledError, which counts as no reply.
    connect(&m_deadline, &QTimer::timeout, m_reply, &QNetworkReply::abort);
    // An announced length over the bound ends the request at the headers, any other body as soon as more than the
    // bound has arrived: nothing is read before the end, so all that arrived is waiting. downloadProgress would not
    // do: Qt reports progress at most every 100 ms, and once its buffer is full nothing more arrives to report,
    // so the request would stay open until the deadline.
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { stopPast(m_reply->bytesAvailable()); });
    connect(m_reply, &QNetworkReply::metaDataChanged, this,
            [this] { stopPast(m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    m_deadline.start(std::max(0, timeoutMs));
}

HttpGetRequest::~HttpGetRequest()
{
    if (m_reply) {
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
    }
}

void HttpGetRequest::stopPast(qint64 length)
{
    if (length > m_maxBytes) {
        m_tooLong = true;
        m_reply->abort();
    }
}

void HttpGetRequest::onFinished()
{
    m_deadline.stop();
    if (!m_tooLong && answeredInFull(*m_reply))
        m_response =
            HttpGet::Response{m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), m_reply->readAll()};
    disconnect(m_reply, nullptr, this, nullptr);
    m_reply->deleteLater();
    m_reply = nullptr;
    m_finished = true;
    emit finished();
}
