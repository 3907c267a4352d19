#include "UpdateCheck.h"

#include "HttpGet.h"

bool UpdateCheck::offersUpdate(const std::optional<QString>& reply, const QString& appVersion)
{
    return reply && reply->startsWith(u'v') && *reply != appVersion;
}

bool UpdateCheck::run(const QString& url, const QString& appVersion, int timeoutMs)
{
    return offersUpdate(HttpGet::get(url, timeoutMs), appVersion);
}
