#pragma once

#include "HandedState.h"
#include "platform/Platform.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

// The last steps of an update, taken only once every listed file is complete beside its target, so that every failure
// before them leaves the running refresher alone. The refreshers of this program folder are asked to end as a close of
// their window would (they save their settings), and stopped by force only when they do not; one that still runs ends
// the update with nothing changed. The update is then one transaction: each file it replaces is kept under a second
// name (Rollback), each new file is renamed over its target in one step, the folder is synced, and the first listed
// file is started: the refresher with the state it was handed, or an installer, whose status is waited for.
//
// The folder holds a program file at every instant, and every way this ends after the stop leaves a refresher
// running. When a new file cannot be put in place, or the first listed file cannot be started, every file goes back
// and the old refresher is started again in its state; a new refresher that ends abnormally before it proved itself
// (a crash, a failure status, an end before its window showed), or an installer that fails, is undone alike. Each of
// those endings holds the release, so that the refresher started again does not take the same update straight away.
// A new refresher proves itself: once it has run long enough it confirms the release itself (the marker goes), and
// this updater waits for that a while; one that a person closes, or the session ends, says so through the folder,
// which is no fault of the release and leaves the judgement to its next start. Nothing here blocks the window.
class HandOver : public QObject
{
    Q_OBJECT

public:
    struct File
    {
        // The complete new file, beside its target; removed unless it replaced the target.
        QString downloadedFile;
        // Where it goes: a listed name in the program folder.
        QString targetPath;
    };
    struct Plan
    {
        // In the order listed: the first is started at the end.
        QList<File> files;
        // What the refresher was doing when it started the updater (its URL and interval as it saved them when it
        // ended, once it is stopped); nothing for an updater started by hand.
        std::optional<HandedState> state;
        // The server's version text, held when the release cannot be installed here.
        QString version;
    };
    enum class Outcome
    {
        Started,     // the first listed file runs
        NotStopped,  // a refresher of this folder still runs: nothing was replaced; failure() names it
        NotReplaced, // the new file could not be put in place; failure() says why
        NotStarted,  // the first listed file could not be started; failure() says which
        RolledBack,  // the new refresher ended before it proved itself, or the installer failed: the old files are
                     // back, the old refresher running
        NotRestored, // ... but could not be put back in place: it runs from where it was kept; failure() says why
    };

    // How long a refresher asked to end may take to save its settings and go before it is stopped by force.
    static constexpr int EndGraceMs = 3000;
    static constexpr int StopWaitMs = 5000;
    static constexpr int ReplaceRetryMs = 3000;
    // How long a new refresher must keep running to count as one that runs; its start-up check alone may take 5 s.
    static constexpr int WatchMs = 30000;
    // After the watch, how long a running new refresher is given to confirm itself (its first page may take a minute
    // to load) before this updater ends and leaves the judgement to it.
    static constexpr int ConfirmWaitMs = 90000;
    // How long an installer listed first may run before it counts as failed.
    static constexpr int InstallerWaitMs = 10 * 60 * 1000;

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
    // Also shortens the wait for the new refresher to confirm itself, unless that is given.
    void setWatchMsForTesting(int watchMs, int confirmWaitMs = -1)
    {
        m_watchMs = watchMs;
        m_confirmWaitMs = confirmWaitMs < 0 ? watchMs : confirmWaitMs;
    }
    // Called with the name of each step at which the folder has just changed ("stopped", "marked", "kept",
    // "replaced", "launched", "watching", "confirmed"), so that a test can cut the hand-over there.
    using StepHook = void (*)(const char* step);
    static void setStepHookForTesting(StepHook hook);

signals:
    // The first listed file runs; a new refresher is being watched until finished().
    void launched();
    void finished(HandOver::Outcome outcome);

private:
    void waitForStop();
    // The complete files not yet in place go.
    void removeDownloads();
    void replace();
    void launch();
    void watch();
    void awaitConfirmation();
    void installerEnded(bool succeeded);
    // Every file back as it was, the release held, the old refresher started: ends with outcome.
    void rollBack(Outcome outcome, const QString& failure = {});
    void putBack();
    // Retries a step that the system refused for a moment (a just-stopped program's file stays locked on Windows).
    bool retryLater(bool mayClear, void (HandOver::*step)());
    // An ending that leaves the old program in place: the release is held, the refresher started again.
    void giveUp(Outcome outcome, const QString& failure);
    void finish(Outcome outcome, const QString& failure = {});
    void restartRefresher();
    void startRefresher(const QString& program);
    void poll(void (HandOver::*step)(), int milliseconds);

    Plan m_plan;
    Replace m_replace;
    QList<Platform::ProcessIdentity> m_stopped;
    Platform::ProcessIdentity m_watched;
    int m_watchMs = WatchMs;
    int m_confirmWaitMs = ConfirmWaitMs;
    // How many of the plan's files are in place.
    qsizetype m_replacedCount = 0;
    Outcome m_rollBackOutcome = Outcome::RolledBack;
    QTimer m_step;
    void (HandOver::*m_next)() = &HandOver::replace;
    QDeadlineTimer m_deadline;
    QString m_failure;
    bool m_running = false;
    bool m_forced = false;
    bool m_refresherStopped = false;
    bool m_halfWatched = false;
    bool m_restartAlways = false;
    // The replaced files are kept beside the new ones until the new release has shown that it runs.
    bool m_kept = false;
};
