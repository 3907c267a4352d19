#pragma once

#include <QString>
#include <QUrl>

// The URLs the refresher builds: the page to refresh, its start page and its version-check address.
namespace RefreshUrl {

// What one refresh does with the URL field's text.
struct Target
{
    QString fieldText; // the text the URL field holds afterwards
    QString url;       // the address the browser view is sent to
};

// True when the text starts with a URL scheme and "://" (letters, digits, "+", "-", "." after a first letter),
// in any letter case: such text is loaded as typed.
bool hasScheme(const QString& text);

// One refresh of the typed text: "http://" is put in front unless the text already names a scheme, and the
// token is appended with "&rn=" when the typed text already has a query ("?"), else with "?rn=".
Target build(const QString& typed, const QString& token);

// The page an address shows, whatever its token: the address without the token a refresh appends, its fragment
// and a trailing slash (which the engine adds to a bare host).
QString pageKey(const QUrl& url);

// The vendor's start page shown when the window loads (built with the update server's other URLs).
QString startPage();

// The version-check address, made unique by the token.
QString updateCheckUrl(const QString& token);

} // namespace RefreshUrl
