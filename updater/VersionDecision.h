#pragma once

#include <QString>

#include <array>
#include <optional>

// What the updater does with the server's answer to its version request.
namespace VersionDecision {
enum class Outcome
{
    NoReply,  // the server could not be reached: both error messages, then the end
    NotATag,  // no version tag ("v" first; with NewerOnly "v" and four numbers): the server error, then the end
    UpToDate, // nothing to install: the up-to-date message, then the end
    Proceed,  // stop the refresher and fetch the files
};

enum class Policy
{
    // Any tag other than exactly the installed version's, compared case-sensitively with nothing trimmed, so a tag
    // with a trailing line break is another version.
    AnyOtherTag,
    // Only a tag whose four numbers are newer than the installed version: with signed updates a server may offer
    // an older signed release, which must not be installed over a newer one. A reply that is not "v" and four
    // numbers is the server's error.
    NewerOnly,
};

// "v" and the installed program's file version; just "v" when the version could not be read.
QString localVersionTag(const QString& installedVersion);

// The four numbers of a dotted file version ("1.6.0.0"), each 0 to 65535 and without leading zeros; nothing for any
// other text. Configuring and deploy/make-release hold versions to the same rule (tests/version-cases.txt).
std::optional<std::array<quint16, 4>> fourPartVersion(const QString& text);

Outcome decide(const std::optional<QString>& reply, const QString& installedVersion, Policy policy);
} // namespace VersionDecision
