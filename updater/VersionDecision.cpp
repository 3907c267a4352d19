#include "VersionDecision.h"

#include <QStringList>

#include <algorithm>

QString VersionDecision::localVersionTag(const QString& installedVersion)
{
    return QStringLiteral("v") + installedVersion;
}

std::optional<std::array<quint16, 4>> VersionDecision::fourPartVersion(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    std::array<quint16, 4> numbers{};
    for (int i = 0; i < 4; ++i) {
        const QString& part = parts.at(i);
        bool ok = false;
        const uint number = part.toUInt(&ok);
        // toUInt() takes a sign, blanks and leading zeros; a version part is digits only, with no leading zero (the
        // versions are compared as text, too, where "07" is not "7").
        const bool leadingZero = part.size() > 1 && part.startsWith(QLatin1Char('0'));
        if (!ok || number > 0xFFFF || part.isEmpty() || leadingZero ||
            !std::all_of(part.begin(), part.end(),
                         [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            return std::nullopt;
        numbers[i] = static_cast<quint16>(number);
    }
    return numbers;
}

VersionDecision::Outcome VersionDecision::decide(const std::optional<QString>& reply, const QString& installedVersion,
                                                 Policy policy)
{
    if (!reply)
        return Outcome::NoReply;
    if (!reply->startsWith(QLatin1Char('v')))
        return Outcome::NotATag;
    if (policy == Policy::AnyOtherTag)
        return *reply == localVersionTag(installedVersion) ? Outcome::UpToDate : Outcome::Proceed;
    const auto offered = fourPartVersion(reply->mid(1));
    // Newer or not can only be told of a version; anything else is the server's error.
    if (!offered)
        return Outcome::NotATag;
    // An installed program without a readable version is older than any release.
    const auto installed = fourPartVersion(installedVersion).value_or(std::array<quint16, 4>{});
    return *offered > installed ? Outcome::Proceed : Outcome::UpToDate;
}
