#include "TaskKill.h"

#include "ProgramFolder.h"
#include "platform/Platform.h"

namespace {
TaskKill::Hook g_hook = nullptr;

QList<qint64> reach(TaskKill::Action action)
{
    const QString program = ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
    if (g_hook)
        return g_hook(action, program);
    switch (action) {
    case TaskKill::Action::AskToEnd:
        return Platform::askToEnd(program);
    case TaskKill::Action::Kill:
        return Platform::killProgram(program);
    case TaskKill::Action::Find:
        break;
    }
    return Platform::processesOf(program);
}
} // namespace

QList<qint64> TaskKill::askRefresherToEnd()
{
    return reach(Action::AskToEnd);
}

QList<qint64> TaskKill::killRefresher()
{
    return reach(Action::Kill);
}

QList<qint64> TaskKill::runningRefreshers()
{
    return reach(Action::Find);
}

void TaskKill::setHookForTesting(Hook hook)
{
    g_hook = hook;
}
