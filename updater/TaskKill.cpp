#include "TaskKill.h"

#include "platform/Platform.h"

namespace {
TaskKill::Hook g_hook = nullptr;
}

bool TaskKill::stopRefresher()
{
    const QString image = QStringLiteral("Pagewell");
    if (g_hook)
        return g_hook(image);
    return Platform::killByImageName(image);
}

void TaskKill::setHookForTesting(Hook hook)
{
    g_hook = hook;
}
