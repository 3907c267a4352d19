#pragma once

#include "HandedState.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

// The last steps of an update, taken only once the new file is complete beside its target, so that every failure
// before them leaves the running refresher alone: the refresher of this program folder is stopped and its end waited
// for, the file is renamed into place, and the first listed file is started, the refresher with the state it was
// handed. From the stop on, every way this ends leaves a refresher running: when the new file cannot be put in place,
// or the first listed file is refused or cannot be started, the refresher is started again in that state. Nothing
// here blocks the window: the waits are timers. A new refresher that ends within its first 30 s is replaced by the
// one it replaced, which is started again, and its release is held (see Rollback).
class HandOver : public QObject
{
    Q_OBJECT

public:
    struct Plan
    {
        // The complete new file, beside its target; removed unless it replaced the target.
        QString downloadedFile;
        QString targetPath;
        // The name to start at the end, as listed.
        QString firstName;
        // What the refresher was doing when it started the updater; nothing for an updater started by hand.
        std::optional<HandedState> state;
        // The server's version text, held when the new refresher cannot run.
        QString version;
    };
    enum class Outcome
    {
        Started,     // the first listed file runs
        NotReplaced, // the new file could not be put in place; failure() says why
        NotStarted,  // the first listed file was refused or could not be started; failure() says which
        RolledBack,  // the new refresher ended within the watch: the old one is back, running, and the release held
    };

    static constexpr int StopWaitMs = 5000;
    static constexpr int ReplaceRetryMs = 3000;
    // How long a new refresher must keep running to count as one that runs; its start-up check alone may take 5 s.
    static constexpr int WatchMs = 30000;

    explicit HandOver(QObject* parent = nullptr);
    // A hand-over cut short (the window closed, the program ending) starts a stopped refresher again.
    ~HandOver() override;

    void start(const Plan& plan);
    // Ends a hand-over now, as if cut short.
    void abandon();
    QString failure() const { return m_failure; }

    // Whether a listed name may be what an update ends with: a plain file name, and not the updater itself, which
    // would only start this update again, and again, since the list is not signed and could be in any order.
    static bool mayStart(const QString& name);

    using Replace = std::function<bool(const QString& from, const QString& to, QString* error, bool* mayClear)>;
    void setReplaceForTesting(Replace replace);
    void setWatchMsForTesting(int milliseconds) { m_watchMs = milliseconds; }

signals:
    // The first listed file runs; a new refresher is being watched until finished().
    void launched();
    void finished(HandOver::Outcome outcome);

private:
    void waitForStop();
    void replace();
    void launch();
    void watch();
    void rollBack();
    void finish(Outcome outcome, const QString& failure = {});
    void restartRefresher();
    void startRefresher();

    Plan m_plan;
    Replace m_replace;
    QList<qint64> m_stopped;
    qint64 m_watched = 0;
    int m_watchMs = WatchMs;
    QTimer m_step;
    void (HandOver::*m_next)() = &HandOver::replace;
    QDeadlineTimer m_deadline;
    QString m_failure;
    bool m_running = false;
    bool m_refresherStopped = false;
    // The replaced refresher is kept beside the new one until the new one has shown that it runs.
    bool m_kept = false;
};
