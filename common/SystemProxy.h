#pragma once

#include <QNetworkProxyFactory>

class QNetworkAccessManager;

// The proxy the system is configured with (http_proxy and no_proxy, or the desktop's settings, as Qt reads them),
// so that behind a required proxy the update server is still reached, as the web view reaches the page. Loopback
// addresses are always asked directly: a server on this machine is never behind its proxy.
class SystemProxy final : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;

    // Gives the manager a factory of its own (the manager owns it).
    static void useFor(QNetworkAccessManager& manager);
};
