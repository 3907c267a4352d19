#include "HandedState.h"

#include "BuildConfig.h"
#include "IniFile.h"
#include "IntervalParser.h"

namespace {
const QString UrlPrefix = QStringLiteral("--url=");
const QString IntervalPrefix = QStringLiteral("--interval=");
const QString StartOption = QStringLiteral("--start");
} // namespace

HandedState HandedState::fromFields(const QString& url, const QString& interval, bool ticked)
{
    HandedState state;
    state.m_url = url;
    if (IntervalParser::seconds(interval))
        state.m_interval = interval.trimmed();
    // Ticked, the window refreshes only with both a URL and a usable interval; the next one would refuse the tick.
    state.m_start = ticked && !state.m_url.isEmpty() && !state.m_interval.isEmpty();
    return state;
}

HandedState HandedState::savedIn(const QString& settingsFile) const
{
    // The window keeps its fields under its title, the URL as "TEXT2" and the interval as "TEXT1".
    const IniFile file(settingsFile);
    const QString section = QString::fromUtf8(BuildConfig::ProductName);
    return fromFields(file.value(section, QStringLiteral("TEXT2")).value_or(m_url),
                      file.value(section, QStringLiteral("TEXT1")).value_or(m_interval), m_start);
}

QStringList HandedState::arguments() const
{
    QStringList arguments;
    if (!m_url.isEmpty())
        arguments.append(UrlPrefix + m_url);
    if (!m_interval.isEmpty())
        arguments.append(IntervalPrefix + m_interval);
    if (m_start)
        arguments.append(StartOption);
    return arguments;
}

std::optional<std::optional<HandedState>> HandedState::fromUpdaterArguments(const QStringList& arguments)
{
    // The program name comes first.
    if (arguments.size() <= 1)
        return std::optional<HandedState>();
    if (arguments.at(1) != QLatin1String(FromRefresherOption))
        return std::nullopt;
    std::optional<QString> url;
    std::optional<QString> interval;
    bool start = false;
    for (const QString& argument : arguments.mid(2)) {
        if (argument.startsWith(UrlPrefix) && !url)
            url = argument.mid(UrlPrefix.size());
        else if (argument.startsWith(IntervalPrefix) && !interval)
            interval = argument.mid(IntervalPrefix.size());
        else if (argument == StartOption && !start)
            start = true;
        else
            return std::nullopt;
    }
    return fromFields(url.value_or(QString()), interval.value_or(QString()), start);
}
