#include "UpdateLeftovers.h"

#include "ProcessLauncher.h"
#include "ProgramFolder.h"
#include "Rollback.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace {
QString refresherProgram()
{
    return ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
}

// Started from where a failed rollback left the old program, this one is not the program in place.
bool runsFromKept()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath() ==
           QFileInfo(Rollback::keptPath(refresherProgram())).canonicalFilePath();
}
} // namespace

UpdateLeftovers::UpdateLeftovers(QObject* parent) : QObject(parent)
{
    m_sinceStart.start();
    m_poll.setSingleShot(true);
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &UpdateLeftovers::settle);
    m_proven.setSingleShot(true);
    connect(&m_proven, &QTimer::timeout, this, &UpdateLeftovers::confirmIfProven);
}

bool UpdateLeftovers::judgeStart(const QStringList& arguments)
{
    const QString program = refresherProgram();
    const std::optional<WatchMarker> watch = Rollback::marker(program);
    if (!watch || runsFromKept())
        return true;
    // Another start of the program runs: that one is the start being judged.
    if (!Platform::processesOf(program).isEmpty())
        return true;
    const std::unique_ptr<QLockFile> lock = Rollback::lockFolder();
    if (lock && watch->starts > 0 && !Rollback::endedOrderly(program)) {
        // The release started here before and ended abnormally, and no updater is there to undo it.
        switch (Rollback::settle(program, false)) {
        case Rollback::Settled::RolledBack:
            ProcessLauncher::launch(program, arguments);
            return false;
        case Rollback::Settled::NotRestored:
            ProcessLauncher::launch(Rollback::keptPath(program), arguments);
            return false;
        case Rollback::Settled::Nothing:
        case Rollback::Settled::Running:
            return true;
        }
    }
    if (watch->form >= 2 && !Rollback::countStart(program, QCoreApplication::applicationPid()))
        return true;
    m_watched = true;
    m_watchMs = watch->watchMs;
    return true;
}

void UpdateLeftovers::settle()
{
    m_shown = true;
    // Held only for these few file operations, so that no updater starts on the folder meanwhile.
    if (const std::unique_ptr<QLockFile> lock = Rollback::lockFolder()) {
        const QString program = refresherProgram();
        Rollback::settle(program, !runsFromKept() || !Platform::processesOf(program).isEmpty());
        Rollback::removeTransferLeftovers();
        m_awaitUpdater = false;
    } else if ((Rollback::isWatched(refresherProgram()) && !m_watched) || m_awaitUpdater) {
        // An updater at work: a transfer's files are its own; a watch of this refresher is its to end, unless it goes.
        m_poll.start();
    }
    confirmIfProven();
}

void UpdateLeftovers::pageLoadEnded()
{
    m_loadEnded = true;
    confirmIfProven();
}

void UpdateLeftovers::confirmIfProven()
{
    if (!m_watched || !m_shown || !m_loadEnded)
        return;
    const qint64 left = m_watchMs - m_sinceStart.elapsed();
    if (left > 0) {
        m_proven.start(int(left));
        return;
    }
    m_watched = false;
    const QString program = refresherProgram();
    const std::optional<WatchMarker> watch = Rollback::marker(program);
    // Ended by its updater meanwhile (an earlier one confirms without the record of the starts).
    if (!watch) {
        QFile::remove(Rollback::startsPath(program));
        return;
    }
    // Only the start being watched speaks for the release; an updater that watches it sees the marker go.
    if (watch->pid != 0 && watch->pid != QCoreApplication::applicationPid())
        return;
    // Under the folder's lock when no updater holds it (a dead one's goes with it); a watching updater sees it anyway.
    const std::unique_ptr<QLockFile> lock = Rollback::lockFolder();
    Rollback::confirm(program);
    // Should that updater die before it ends, its lock is left to clear once it is gone.
    if (!lock) {
        m_awaitUpdater = true;
        m_poll.start();
    }
}

void UpdateLeftovers::noteOrderlyEnd()
{
    Rollback::noteOrderlyEnd(refresherProgram(), QCoreApplication::applicationPid());
}
