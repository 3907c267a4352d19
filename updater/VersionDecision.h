#pragma once

#include <QString>

#include <optional>

// What the updater does with the server's answer to its version request.
namespace VersionDecision {
enum class Outcome
{
    NoReply,  // the server could not be reached: both error messages, then the end
    NotATag,  // the answer does not begin with "v": the server error message, then the end
    UpToDate, // the answer is exactly the installed version's tag: the up-to-date message, then the end
    Proceed,  // any other tag: stop the refresher and fetch the files
};

// "v" and the installed program's file version; just "v" when the version could not be read.
QString localVersionTag(const QString& installedVersion);

// Exact, case-sensitive comparisons; nothing is trimmed, so a tag with a trailing line break is another version.
Outcome decide(const std::optional<QString>& reply, const QString& localVersionTag);
} // namespace VersionDecision
