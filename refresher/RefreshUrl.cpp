#include "RefreshUrl.h"

#include "UpdateServer.h"

#include <QRegularExpression>

bool RefreshUrl::hasScheme(const QString& text)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(text).hasMatch();
}

RefreshUrl::Target RefreshUrl::build(const QString& typed, const QString& token)
{
    Target target;
    target.fieldText = hasScheme(typed) ? typed : QStringLiteral("http://") + typed;
    // The separator looks at the text as typed: a prefix never brings a "?" of its own.
    const QString separator = typed.contains(QLatin1Char('?')) ? QStringLiteral("&rn=") : QStringLiteral("?rn=");
    target.url = target.fieldText + separator + token;
    return target;
}

QString RefreshUrl::pageKey(const QUrl& url)
{
    static const QRegularExpression token(QStringLiteral("[?&]rn=[^&]*$"));
    return url.adjusted(QUrl::RemoveFragment | QUrl::StripTrailingSlash).toString().remove(token);
}

QString RefreshUrl::startPage()
{
    return UpdateServer::startPageUrl();
}

QString RefreshUrl::updateCheckUrl(const QString& token)
{
    return UpdateServer::refresherVersionCheckUrl(token);
}
