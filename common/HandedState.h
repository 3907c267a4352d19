#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What a running Pagewell is doing (its URL, its interval and whether "开启" is ticked), handed on the command line
// to the updater it starts and from there to the Pagewell that runs after the update, so that an update never ends
// unattended refreshing. Only values the window itself accepts go across: an interval it would refuse goes across
// as none, and unticked.
class HandedState
{
public:
    // The updater's first argument when Pagewell started it; the state's own arguments follow.
    static constexpr const char* FromRefresherOption = "--from-pagewell";

    static HandedState fromFields(const QString& url, const QString& interval, bool ticked);
    // What a refresher asked to end saved of this state: the URL and the interval its settings file holds now (what
    // was typed after the check included) replace the ones handed at the check; a value the file lacks, or a file
    // that cannot be read, keeps the handed one. The tick goes across as handed.
    HandedState savedIn(const QString& settingsFile) const;
    // The arguments a Pagewell takes for this state: "--url=<URL>" (a URL that begins with "-" stays a value),
    // "--interval=<seconds>", "--start".
    QStringList arguments() const;
    // The updater's arguments: nothing when it was started by hand, the handed state when Pagewell started it. Any
    // other argument, or one given twice, is refused.
    static std::optional<std::optional<HandedState>> fromUpdaterArguments(const QStringList& arguments);

    QString url() const { return m_url; }
    QString interval() const { return m_interval; }
    bool start() const { return m_start; }
    bool operator==(const HandedState&) const = default;

private:
    QString m_url;
    QString m_interval;
    bool m_start = false;
};
