#include "RetryAfterProbe.h"

#include "ReloadBackoff.h"
#include "SystemProxy.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

RetryAfterProbe::RetryAfterProbe(const QUrl& url, QObject* parent) : QObject(parent)
{
    auto* manager = new QNetworkAccessManager(this);
    // The way the view reaches the page.
    SystemProxy::useFor(*manager);
    QNetworkRequest request(url);
    // The answer to this very address is wanted, not one a redirect or a cache would give.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    m_reply = manager->head(request);
    // A bound on the whole request, not only on the gaps between bytes: a server that trickles its headers would
    // otherwise hold the retry for as long as it likes.
    QTimer::singleShot(TimeoutMs, m_reply, [this] {
        if (m_reply->isRunning())
            m_reply->abort();
    });
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        const QByteArray retryAfter = m_reply->rawHeader("Retry-After");
        emit answered(retryAfter.isEmpty() ? std::nullopt : ReloadBackoff::retryAfterMs(retryAfter));
    });
}
