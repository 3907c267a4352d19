#include "VersionDecision.h"

QString VersionDecision::localVersionTag(const QString& installedVersion)
{
    return QStringLiteral("v") + installedVersion;
}

VersionDecision::Outcome VersionDecision::decide(const std::optional<QString>& reply, const QString& localVersionTag)
{
    if (!reply)
        return Outcome::NoReply;
    if (!reply->startsWith(QLatin1Char('v')))
        return Outcome::NotATag;
    if (*reply == localVersionTag)
        return Outcome::UpToDate;
    return Outcome::Proceed;
}
