#include "SystemProxy.h"

#include <QHostAddress>
#include <QNetworkAccessManager>

QList<QNetworkProxy> SystemProxy::queryProxy(const QNetworkProxyQuery& query)
{
    const QString host = query.peerHostName();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback())
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    return systemProxyForQuery(query);
}

void SystemProxy::useFor(QNetworkAccessManager& manager)
{
    manager.setProxyFactory(new SystemProxy);
}
