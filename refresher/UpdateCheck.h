#pragma once

#include <QString>

#include <optional>

// The start-up question to the update server: is there a release other than ours? Launching the updater is the
// caller's business.
namespace UpdateCheck {
// A reply offers an update when its first character is "v" and it is not exactly our version tag. Nothing is
// trimmed and case counts: a tag followed by a line break differs from the tag, and "V1.7" is no tag at all.
bool offersUpdate(const std::optional<QString>& reply, const QString& appVersion);
// Asks the server and decides; no reply within timeoutMs means no update.
bool run(const QString& url, const QString& appVersion, int timeoutMs);
} // namespace UpdateCheck
