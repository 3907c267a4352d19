#include "UpdateLeftovers.h"

#include "ProgramFolder.h"
#include "Rollback.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLockFile>

namespace {
QString refresherProgram()
{
    return ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
}
} // namespace

UpdateLeftovers::UpdateLeftovers(QObject* parent) : QObject(parent)
{
    m_poll.setSingleShot(true);
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &UpdateLeftovers::settle);
}

void UpdateLeftovers::settle()
{
    // Held only for these few file operations, so that no updater starts on the folder meanwhile.
    if (const std::unique_ptr<QLockFile> lock = Rollback::lockFolder()) {
        // Started from where a failed rollback left the old program, this one is not the program in place.
        const QString program = refresherProgram();
        const bool runsFromKept = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath() ==
                                  QFileInfo(Rollback::keptPath(program)).canonicalFilePath();
        Rollback::settle(program, !runsFromKept || !Platform::processesOf(program).isEmpty());
        Rollback::removeTransferLeftovers();
        return;
    }
    // An updater at work: a transfer's files are its own; a watch of this refresher is its to end, unless it goes.
    if (Rollback::isWatched(refresherProgram()))
        m_poll.start();
}

void UpdateLeftovers::noteOrderlyEnd()
{
    Rollback::noteOrderlyEnd(refresherProgram());
}
