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
constexpr int ReplaceRetryStepMs = 50;
constexpr int WatchPollMs = 100;

QString refresherProgram()
{
    return ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
}

bool isRefresher(const QString& name)
{
    return name.compare(Platform::executableName(QStringLiteral("Pagewell")), Qt::CaseInsensitive) == 0;
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

void HandOver::start(const Plan& plan)
{
    m_plan = plan;
    m_failure.clear();
    m_running = true;
    m_kept = false;
    // The refresher saves nothing when it is stopped this way; the state it was handed goes to the next one instead.
    m_stopped = TaskKill::stopRefresher();
    m_refresherStopped = true;
    m_deadline.setRemainingTime(StopWaitMs);
    waitForStop();
}

void HandOver::waitForStop()
{
    // The file is put in place only once the old program is gone: on Windows its file is locked while it runs, and
    // a refresher still running could be mistaken for the new one.
    const bool running = std::any_of(m_stopped.cbegin(), m_stopped.cend(), &Platform::isRunning);
    if (running && !m_deadline.hasExpired()) {
        m_next = &HandOver::waitForStop;
        m_step.start(StopPollMs);
        return;
    }
    m_deadline.setRemainingTime(ReplaceRetryMs);
    if (isRefresher(QFileInfo(m_plan.targetPath).fileName()))
        m_kept = Rollback::keep(m_plan.targetPath, m_plan.version);
    replace();
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
        if (mayClear && !m_deadline.hasExpired()) {
            m_next = &HandOver::replace;
            m_step.start(ReplaceRetryStepMs);
            return;
        }
        QFile::remove(m_plan.downloadedFile);
        if (m_kept)
            Rollback::undo(m_plan.targetPath);
        restartRefresher();
        finish(Outcome::NotReplaced, tr("无法替换 %1（%2）").arg(QDir::toNativeSeparators(m_plan.targetPath), reason));
        return;
    }
    launch();
}

void HandOver::launch()
{
    const QString& name = m_plan.firstName;
    if (!mayStart(name)) {
        restartRefresher();
        finish(Outcome::NotStarted, name);
        return;
    }
    const QString program = ProgramFolder::path() + QLatin1Char('/') + name;
    // Only the refresher is told what it was doing: an installer listed first has its own command line.
    const QStringList arguments = isRefresher(name) && m_plan.state ? m_plan.state->arguments() : QStringList();
    m_watched = 0;
    if (ProcessLauncher::launch(program, arguments, &m_watched)) {
        m_refresherStopped = false;
        emit launched();
        if (!m_kept || !isRefresher(name)) {
            finish(Outcome::Started);
            return;
        }
        m_deadline.setRemainingTime(m_watchMs);
        watch();
        return;
    }
    // A new refresher that cannot be started is one that cannot run.
    if (isRefresher(name) && m_kept) {
        rollBack();
        return;
    }
    if (!isRefresher(name))
        restartRefresher();
    finish(Outcome::NotStarted, QDir::toNativeSeparators(program));
}

void HandOver::watch()
{
    // The process the detached start reported, no child of this one: it lives on when the updater ends.
    if (Platform::isRunning(m_watched)) {
        if (m_deadline.hasExpired()) {
            Rollback::confirm(m_plan.targetPath);
            finish(Outcome::Started);
            return;
        }
        m_next = &HandOver::watch;
        m_step.start(WatchPollMs);
        return;
    }
    rollBack();
}

void HandOver::rollBack()
{
    if (!Rollback::restore(m_plan.targetPath)) {
        finish(Outcome::NotStarted, QDir::toNativeSeparators(m_plan.targetPath));
        return;
    }
    // The update was to end with a refresher running: the old one runs in the new one's place, started by hand or not.
    startRefresher();
    finish(Outcome::RolledBack);
}

void HandOver::abandon()
{
    if (!m_running)
        return;
    m_step.stop();
    // Cut short between keeping the old program and putting the new one in its place: the old one goes back.
    if (QFile::exists(m_plan.downloadedFile)) {
        QFile::remove(m_plan.downloadedFile);
        if (m_kept)
            Rollback::undo(m_plan.targetPath);
    }
    restartRefresher();
    m_running = false;
}

void HandOver::restartRefresher()
{
    // An updater started by hand found the refresher running only if it stopped one.
    if (m_refresherStopped && (m_plan.state || !m_stopped.isEmpty()))
        startRefresher();
}

void HandOver::startRefresher()
{
    m_refresherStopped = false;
    ProcessLauncher::launch(refresherProgram(), m_plan.state ? m_plan.state->arguments() : QStringList());
}

void HandOver::finish(Outcome outcome, const QString& failure)
{
    m_failure = failure;
    m_running = false;
    emit finished(outcome);
}
