#include "TaskKill.h"

#include "ProgramFolder.h"
#include "platform/Platform.h"

namespace {
TaskKill::Hook g_hook = nullptr;
}

QList<qint64> TaskKill::stopRefresher()
{
    const QString program = ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
    if (g_hook)
        return g_hook(program);
    return Platform::killProgram(program);
}

void TaskKill::setHookForTesting(Hook hook)
{
    g_hook = hook;
}
