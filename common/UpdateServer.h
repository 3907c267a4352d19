#pragma once

#include <QString>

// Every request either program sends the update server is built here, from the two build-time hosts.
namespace UpdateServer {
// The refresher asks whether a release other than its own exists; the token only makes the URL unique.
QString refresherVersionCheckUrl(const QString& token);
// The updater asks for the newest release's file version ("v1.6.0.0").
QString updaterVersionUrl();
// The updater asks for the "|"-separated names of the files to fetch.
QString fileListUrl(const QString& token);
// A listed file, its name percent-encoded as one path segment.
QString fileUrl(const QString& name);
// The page the refresher shows at start-up.
QString startPageUrl();

QString refresherHost();
QString updateHost();
// Tests point both hosts at a local server ("127.0.0.1:<port>"); an empty host restores the built-in one.
void setHostsForTesting(const QString& refresherHost, const QString& updateHost);
} // namespace UpdateServer
