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
} // namespace

HandOver::HandOver(QObject* parent) : QObject(parent), m_replace(&Platform::replaceFile)
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
    // Asked as a person closing its window would, the refresher keeps what was typed into it.
    m_stopped = TaskKill::askRefresherToEnd();
    m_refresherStopped = true;
    m_deadline.setRemainingTime(EndGraceMs);
    waitForStop();
}

void HandOver::waitForStop()
{
    // The file is put in place only once the old program is gone: on Windows its file is locked while it runs, and
    // a refresher still running could be mistaken for the new one.
    const bool running = std::any_of(m_stopped.cbegin(), m_stopped.cend(), &Platform::isRunning);
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
        QFile::remove(m_plan.downloadedFile);
        Rollback::hold(m_plan.version);
        return finish(Outcome::NotStopped,
                      tr("%1（进程 %2）").arg(native(refresherProgram()), ids.join(QStringLiteral("、"))));
    }
    reached("stopped");
    if (isRefresher(m_plan.targetPath)) {
        // Without the old program kept, a new one that cannot run could not be undone: nothing is replaced then.
        if (!Rollback::mark(m_plan.targetPath, m_plan.version))
            return giveUp(Outcome::NotReplaced, tr("无法在 %1 中写入文件").arg(native(ProgramFolder::path())));
        reached("marked");
        if (!Rollback::keep(m_plan.targetPath))
            return giveUp(Outcome::NotReplaced, tr("无法保留原来的 %1").arg(native(m_plan.targetPath)));
        m_kept = true;
        reached("kept");
    }
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
    QString reason;
    bool mayClear = false;
    const bool replaced = m_replace(m_plan.downloadedFile, m_plan.targetPath, &reason, &mayClear);
    // The window may have been closed meanwhile, which ended the hand-over.
    if (!m_running)
        return;
    if (!replaced) {
        if (retryLater(mayClear, &HandOver::replace))
            return;
        return giveUp(Outcome::NotReplaced, tr("无法替换 %1（%2）").arg(native(m_plan.targetPath), reason));
    }
    Platform::syncFolder(QFileInfo(m_plan.targetPath).absolutePath());
    reached("replaced");
    launch();
}

void HandOver::launch()
{
    const QString& program = m_plan.targetPath;
    // Only the refresher is told what it was doing: an installer listed first has its own command line.
    const QStringList arguments = isRefresher(program) && m_plan.state ? m_plan.state->arguments() : QStringList();
    m_watched = 0;
    if (!ProcessLauncher::launch(program, arguments, &m_watched)) {
        // A new refresher that cannot be started is one that cannot run.
        if (m_kept)
            return rollBack();
        return giveUp(Outcome::NotStarted, native(program));
    }
    m_refresherStopped = false;
    reached("launched");
    emit launched();
    if (!m_kept)
        return finish(Outcome::Started);
    m_deadline.setRemainingTime(m_watchMs);
    watch();
}

void HandOver::watch()
{
    // The process the detached start reported, no child of this one: its end is seen, not its status, so the
    // refresher says through the folder when it ended in good order.
    if (!Platform::isRunning(m_watched)) {
        if (!Rollback::endedOrderly(m_plan.targetPath))
            return rollBack();
    } else if (!m_deadline.hasExpired()) {
        if (!m_halfWatched && m_deadline.remainingTime() <= m_watchMs / 2) {
            m_halfWatched = true;
            reached("watching");
        }
        return poll(&HandOver::watch, WatchPollMs);
    }
    Rollback::confirm(m_plan.targetPath);
    reached("confirmed");
    finish(Outcome::Started);
}

void HandOver::rollBack()
{
    // Held before the old program runs again, so that it does not take the same release at its start-up check.
    Rollback::hold(m_plan.version);
    m_deadline.setRemainingTime(ReplaceRetryMs);
    putBack();
}

void HandOver::putBack()
{
    QString reason;
    bool mayClear = false;
    // Put back as the new file was put in place, one rename over the program, retried alike.
    const QString kept = Rollback::keptPath(m_plan.targetPath);
    if (m_replace(kept, m_plan.targetPath, &reason, &mayClear)) {
        Platform::syncFolder(QFileInfo(m_plan.targetPath).absolutePath());
        Rollback::confirm(m_plan.targetPath);
        startRefresher(m_plan.targetPath);
        return finish(Outcome::RolledBack);
    }
    if (retryLater(mayClear, &HandOver::putBack))
        return;
    // The update was to end with a refresher running: the old one runs from where it was kept. The marker stays, so
    // that the next run puts it back.
    startRefresher(kept);
    finish(Outcome::NotRestored, tr("%1（%2），已从 %3 启动").arg(native(m_plan.targetPath), reason, native(kept)));
}

void HandOver::giveUp(Outcome outcome, const QString& failure)
{
    QFile::remove(m_plan.downloadedFile);
    // The old program never left its place: its second name goes.
    if (m_kept || Rollback::isWatched(m_plan.targetPath))
        Rollback::confirm(m_plan.targetPath);
    Rollback::hold(m_plan.version);
    restartRefresher();
    finish(outcome, failure);
}

void HandOver::abandon()
{
    if (!m_running)
        return;
    m_step.stop();
    // Cut short before the new file took the place of the old program: the folder stays as it was.
    if (QFile::exists(m_plan.downloadedFile)) {
        QFile::remove(m_plan.downloadedFile);
        if (Rollback::isWatched(m_plan.targetPath))
            Rollback::confirm(m_plan.targetPath);
    }
    // A new refresher being watched settles the watch itself once this updater is gone.
    if (m_refresherStopped)
        Rollback::hold(m_plan.version);
    restartRefresher();
    m_running = false;
}

void HandOver::restartRefresher()
{
    // An updater started by hand found the refresher running only if it stopped one.
    if (m_refresherStopped && (m_plan.state || !m_stopped.isEmpty()))
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
