#include "RetryAfterProbe.h"

#include "ReloadBackoff.h"
#include "SystemProxy.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

RetryAfterProbe::RetryAfterProbe(const QUrl& url, QObject* parent) : QObject(parent)
{
    auto* manager = new QNetworkAccessManager(this);
    // The way the view reaches the page.
    SystemProxy::useFor(*manager);
    QNetworkRequest request(url);
    // The answer to this very address is wanted, not one a redirect or a cache would give.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(TimeoutMs);
    m_reply = manager->head(request);
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        const QByteArray retryAfter = m_reply->rawHeader("Retry-After");
        emit answered(retryAfter.isEmpty() ? std::nullopt : ReloadBackoff::retryAfterMs(retryAfter));
    });
}
