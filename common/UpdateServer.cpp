#include "UpdateServer.h"

#include "BuildConfig.h"

#include <QUrl>

namespace {
struct Hosts
{
    QString refresher;
    QString update;
};

Hosts& overridden()
{
    static Hosts hosts;
    return hosts;
}
} // namespace

QString UpdateServer::refresherHost()
{
    const QString& host = overridden().refresher;
    return host.isEmpty() ? QString::fromUtf8(BuildConfig::RefresherHost) : host;
}

QString UpdateServer::updateHost()
{
    const QString& host = overridden().update;
    return host.isEmpty() ? QString::fromUtf8(BuildConfig::UpdateHost) : host;
}

void UpdateServer::setHostsForTesting(const QString& refresherHost, const QString& updateHost)
{
    overridden() = Hosts{refresherHost, updateHost};
}

QString UpdateServer::refresherVersionCheckUrl(const QString& token)
{
    return QStringLiteral("http://") + refresherHost() + QStringLiteral("/updata/pagewell/auto.asp?u=up&x=") + token;
}

QString UpdateServer::updaterVersionUrl()
{
    return QStringLiteral("http://") + updateHost() + QStringLiteral("/updata/updata.asp?v=Pagewell");
}

QString UpdateServer::fileListUrl(const QString& token)
{
    return QStringLiteral("http://") + updateHost() + QStringLiteral("/updata/updata.asp?e=Pagewellver&x=") + token;
}

QString UpdateServer::fileUrl(const QString& name)
{
    // Percent-encoded, so that a "#", "?" or "%" in a listed name cannot make the URL ask for another file.
    return QStringLiteral("http://") + updateHost() + QStringLiteral("/updata/") +
           QString::fromLatin1(QUrl::toPercentEncoding(name));
}

QString UpdateServer::startPageUrl()
{
    return QStringLiteral("http://") + refresherHost() + QStringLiteral("/updata/pagewell/wellhome.asp");
}
