#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The marker of an update being watched (<program>.previous.watch), read and written by every later version of both
// programs, so its form only ever grows. Since the first line "pagewell-watch 2" it holds "key=value" lines:
//   version=<the server's version text>   what is being installed; held if the release cannot run
//   watch=<milliseconds>                  how long the new program must run before it confirms itself
//   kept=<name>                           a file replaced by the update, kept as <name>.previous (one line each)
//   added=<name>                          a file the update brought that the folder did not have (one line each)
// Unknown keys are kept as they are, for a later version's sake. A marker without that first line is the earlier
// form, written by updaters that replaced the refresher alone: its whole text is the version, and the refresher the
// one file kept. Only an updater writes the marker (an earlier updater reads it back whole); the new program counts
// its starts beside it, in <program>.previous.starts: "starts=<n>" and "pid=<the start being judged>".
class WatchMarker
{
public:
    static constexpr int FormVersion = 2;
    static constexpr int DefaultWatchMs = 30000;

    static WatchMarker parse(const QString& text, const QString& programName);
    QString text() const;
    // The record of the new program's starts, read into starts and pid, and written from them.
    void readStarts(const QString& text);
    QString startsText() const;

    // 1 for the earlier form, whose updaters know nothing of the starts (nor remove their record).
    int form = FormVersion;
    QString version;
    int watchMs = DefaultWatchMs;
    int starts = 0;
    qint64 pid = 0;
    QStringList kept;
    QStringList added;
    QStringList unknownLines;
};
