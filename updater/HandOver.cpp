#include "HandOver.h"

#include "FileList.h"
#include "ProcessLauncher.h"
#include "ProgramFolder.h"
#include "Rollback.h"
#include "TaskKill.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {
constexpr int StopPollMs = 20;
constexpr int RetryStepMs = 50;
constexpr int WatchPollMs = 100;

HandOver::StepHook g_stepHook = nullptr;

void reached(const char* step)
{
    if (g_stepHook)
        g_stepHook(step);
}

QString refresherProgram()
{
    return ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
}

bool isRefresher(const QString& path)
{
    return QFileInfo(path).fileName().compare(Platform::executableName(QStringLiteral("Pagewell")),
                                              Qt::CaseInsensitive) == 0;
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString nameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}
} // namespace

HandOver::HandOver(QObject* parent)
    : QObject(parent), m_replace([](const QString& from, const QString& to, QString* error, bool* mayClear) {
          // The updater replacing itself, or putting its old self back: a running program's file is set aside where
          // it cannot be replaced.
          if (QFileInfo(to).canonicalFilePath() == QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath())
              return Platform::replaceRunningFile(from, to, error);
          return Platform::replaceFile(from, to, error, mayClear);
      })
{
    m_step.setSingleShot(true);
    connect(&m_step, &QTimer::timeout, this, [this] {
        if (m_running)
            (this->*m_next)();
    });
}

HandOver::~HandOver()
{
    abandon();
}

bool HandOver::mayStart(const QString& name)
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return FileList::isPlainFileName(name) && name.compare(self, Qt::CaseInsensitive) != 0 &&
           name.compare(Platform::executableName(QStringLiteral("update")), Qt::CaseInsensitive) != 0;
}

void HandOver::setReplaceForTesting(Replace replace)
{
    m_replace = std::move(replace);
}

void HandOver::setStepHookForTesting(StepHook hook)
{
    g_stepHook = hook;
}

void HandOver::poll(void (HandOver::*step)(), int milliseconds)
{
    m_next = step;
    m_step.start(milliseconds);
}

void HandOver::start(const Plan& plan)
{
    m_plan = plan;
    m_failure.clear();
    m_running = true;
    m_kept = false;
    m_forced = false;
    m_halfWatched = false;
    m_replacedCount = 0;
    m_restartAlways = false;
    // Asked as a person closing its window would, the refresher keeps what was typed into it.
    m_stopped.clear();
    for (const qint64 pid : TaskKill::askRefresherToEnd())
        m_stopped.append(Platform::identify(pid));
    m_refresherStopped = true;
    m_deadline.setRemainingTime(EndGraceMs);
    waitForStop();
}

void HandOver::removeDownloads()
{
    for (qsizetype i = m_replacedCount; i < m_plan.files.size(); ++i)
        QFile::remove(m_plan.files.at(i).downloadedFile);
}

void HandOver::waitForStop()
{
    // The files are put in place only once the old program is gone: on Windows its file is locked while it runs, and
    // a refresher still running could be mistaken for the new one.
    const bool running = std::any_of(m_stopped.cbegin(), m_stopped.cend(), &Platform::stillRuns);
    if (running && !m_deadline.hasExpired())
        return poll(&HandOver::waitForStop, StopPollMs);
    if (running && !m_forced) {
        m_forced = true;
        TaskKill::killRefresher();
        m_deadline.setRemainingTime(StopWaitMs);
        return poll(&HandOver::waitForStop, StopPollMs);
    }
    // Looked up again: one that could not be stopped, or one started meanwhile, would run beside the new one.
    const QList<qint64> left = TaskKill::runningRefreshers();
    if (!left.isEmpty()) {
        QStringList ids;
        for (const qint64 pid : left)
            ids.append(QString::number(pid));
        // It runs on, so nothing is started again; the release is held as after any ending after the stop.
        m_refresherStopped = false;
        removeDownloads();
        Rollback::hold(m_plan.version);
        return finish(Outcome::NotStopped,
                      tr("%1（进程 %2）").arg(native(refresherProgram()), ids.join(QStringLiteral("、"))));
    }
    reached("stopped");
    // A refresher that ended when asked saved what it held at that moment, which may be newer than what it handed at
    // the check (the person typed on during the download): every refresher started from here on starts with that.
    if (m_plan.state && !m_forced)
        m_plan.state = m_plan.state->savedIn(ProgramFolder::filePath(QStringLiteral("user.ini")));
    QStringList replaced;
    QStringList added;
    for (const File& file : std::as_const(m_plan.files))
        (QFile::exists(file.targetPath) ? replaced : added).append(nameOf(file.targetPath));
    // Without the old files kept, a release that cannot run could not be undone: nothing is replaced then.
    if (!Rollback::mark(refresherProgram(), m_plan.version, replaced, added, m_watchMs))
        return giveUp(Outcome::NotReplaced, tr("无法在 %1 中写入文件").arg(native(ProgramFolder::path())));
    reached("marked");
    if (!Rollback::keep(refresherProgram()))
        return giveUp(Outcome::NotReplaced, tr("无法保留原来的文件（%1）").arg(replaced.join(QStringLiteral("、"))));
    m_kept = true;
    reached("kept");
    m_deadline.setRemainingTime(ReplaceRetryMs);
    replace();
}

bool HandOver::retryLater(bool mayClear, void (HandOver::*step)())
{
    if (!mayClear || m_deadline.hasExpired())
        return false;
    poll(step, RetryStepMs);
    return true;
}

void HandOver::replace()
{
    while (m_replacedCount < m_plan.files.size()) {
        const File& file = m_plan.files.at(m_replacedCount);
        QString reason;
        bool mayClear = false;
        const bool replaced = m_replace(file.downloadedFile, file.targetPath, &reason, &mayClear);
        // The window may have been closed meanwhile, which ended the hand-over.
        if (!m_running)
            return;
        if (!replaced) {
            if (retryLater(mayClear, &HandOver::replace))
                return;
            const QString failure = tr("无法替换 %1（%2）").arg(native(file.targetPath), reason);
            // Nothing replaced yet, nothing to put back: the kept files' second names go.
            if (m_replacedCount == 0)
                return giveUp(Outcome::NotReplaced, failure);
            return rollBack(Outcome::NotReplaced, failure);
        }
        ++m_replacedCount;
        m_deadline.setRemainingTime(ReplaceRetryMs);
    }
    Platform::syncFolder(ProgramFolder::path());
    reached("replaced");
    launch();
}

void HandOver::launch()
{
    const QString program = m_plan.files.value(0).targetPath;
    m_watched = {};
    if (!isRefresher(program)) {
        // An installer has its own command line, and says by its status whether it did its work.
        reached("launched");
        emit launched();
        m_refresherStopped = false;
        return ProcessLauncher::run(program, {}, InstallerWaitMs, this,
                                    [this](bool succeeded) { installerEnded(succeeded); });
    }
    qint64 pid = 0;
    if (!ProcessLauncher::launch(program, m_plan.state ? m_plan.state->arguments() : QStringList(), &pid))
        // A new refresher that cannot be started is one that cannot run.
        return rollBack(Outcome::RolledBack);
    // Known by its start time too: another process that gets its identifier within the watch is not it.
    m_watched = Platform::identify(pid);
    m_refresherStopped = false;
    reached("launched");
    emit launched();
    m_deadline.setRemainingTime(m_watchMs);
    watch();
}

void HandOver::installerEnded(bool succeeded)
{
    if (!m_running)
        return;
    if (!succeeded) {
        // What it was to replace runs again, as after any release that cannot run here.
        m_refresherStopped = true;
        return rollBack(Outcome::NotStarted, native(m_plan.files.value(0).targetPath));
    }
    Rollback::confirm(refresherProgram());
    reached("confirmed");
    finish(Outcome::Started);
}

void HandOver::watch()
{
    const QString program = refresherProgram();
    // The process the detached start reported, no child of this one: its end is seen, not its status, so the
    // refresher says through the folder when it ended in good order, and confirms itself once it proved it runs.
    if (!Platform::stillRuns(m_watched)) {
        if (Rollback::isWatched(program) && !Rollback::endedOrderly(program))
            return rollBack(Outcome::RolledBack);
        return finish(Outcome::Started);
    }
    if (!m_deadline.hasExpired()) {
        if (!m_halfWatched && m_deadline.remainingTime() <= m_watchMs / 2) {
            m_halfWatched = true;
            reached("watching");
        }
        return poll(&HandOver::watch, WatchPollMs);
    }
    m_deadline.setRemainingTime(m_confirmWaitMs);
    awaitConfirmation();
}

void HandOver::awaitConfirmation()
{
    const QString program = refresherProgram();
    if (!Rollback::isWatched(program)) {
        reached("confirmed");
        return finish(Outcome::Started);
    }
    if (!Platform::stillRuns(m_watched)) {
        if (!Rollback::endedOrderly(program))
            return rollBack(Outcome::RolledBack);
        return finish(Outcome::Started);
    }
    // Still unproven (its first page has not ended loading): it judges itself from here on.
    if (m_deadline.hasExpired())
        return finish(Outcome::Started);
    poll(&HandOver::awaitConfirmation, WatchPollMs);
}

void HandOver::rollBack(Outcome outcome, const QString& failure)
{
    // Held before the old program runs again, so that it does not take the same release at its start-up check.
    Rollback::hold(m_plan.version);
    removeDownloads();
    m_rollBackOutcome = outcome;
    m_failure = failure;
    // A new refresher that ended is a stopped one: the old one runs again, whoever started this updater.
    if (outcome == Outcome::RolledBack)
        m_restartAlways = m_refresherStopped = true;
    m_deadline.setRemainingTime(ReplaceRetryMs);
    putBack();
}

void HandOver::putBack()
{
    const QString program = refresherProgram();
    const WatchMarker watch = Rollback::marker(program).value_or(WatchMarker());
    // The files of this plan that never left their places need no putting back.
    QStringList untouched;
    for (qsizetype i = m_replacedCount; i < m_plan.files.size(); ++i)
        untouched.append(nameOf(m_plan.files.at(i).targetPath));
    // Put back as the new files were put in place, one rename over each, retried alike.
    for (const QString& name : watch.kept) {
        const QString file = ProgramFolder::filePath(name);
        if (!QFile::exists(Rollback::keptPath(file)) || untouched.contains(name))
            continue;
        QString reason;
        bool mayClear = false;
        if (m_replace(Rollback::keptPath(file), file, &reason, &mayClear))
            continue;
        if (retryLater(mayClear, &HandOver::putBack))
            return;
        // The update was to end with a refresher running: the old one runs from where it was kept. The marker
        // stays, so that the next run puts everything back.
        const QString kept = Rollback::keptPath(program);
        startRefresher(QFile::exists(kept) ? kept : program);
        return finish(Outcome::NotRestored,
                      tr("%1（%2），已从 %3 启动").arg(native(file), reason, native(QFile::exists(kept) ? kept : program)));
    }
    for (const QString& name : watch.added)
        QFile::remove(ProgramFolder::filePath(name));
    Platform::syncFolder(ProgramFolder::path());
    Rollback::confirm(program);
    restartRefresher();
    finish(m_rollBackOutcome, m_failure);
}

void HandOver::giveUp(Outcome outcome, const QString& failure)
{
    removeDownloads();
    // The old files never left their places: their second names go.
    if (m_kept || Rollback::isWatched(refresherProgram()))
        Rollback::confirm(refresherProgram());
    Rollback::hold(m_plan.version);
    restartRefresher();
    finish(outcome, failure);
}

void HandOver::abandon()
{
    if (!m_running)
        return;
    m_step.stop();
    m_running = false;
    removeDownloads();
    // Cut short before the new release ran: the folder goes back to what it was.
    if (m_refresherStopped && Rollback::isWatched(refresherProgram())) {
        if (m_replacedCount == 0 || Rollback::putBack(refresherProgram(), nullptr, nullptr))
            Rollback::confirm(refresherProgram());
    }
    // A new refresher being watched settles the watch itself once this updater is gone.
    if (m_refresherStopped)
        Rollback::hold(m_plan.version);
    restartRefresher();
}

void HandOver::restartRefresher()
{
    // An updater started by hand found the refresher running only if it stopped one.
    if (m_refresherStopped && (m_plan.state || !m_stopped.isEmpty() || m_restartAlways))
        startRefresher(refresherProgram());
}

void HandOver::startRefresher(const QString& program)
{
    m_refresherStopped = false;
    ProcessLauncher::launch(program, m_plan.state ? m_plan.state->arguments() : QStringList());
}

void HandOver::finish(Outcome outcome, const QString& failure)
{
    m_failure = failure;
    m_running = false;
    emit finished(outcome);
}
