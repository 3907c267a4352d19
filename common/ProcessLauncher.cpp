#include "ProcessLauncher.h"

#include "platform/Platform.h"

#include <QFileInfo>

namespace {
ProcessLauncher::Hook g_hook = nullptr;
}

bool ProcessLauncher::launch(const QString& program, const QStringList& arguments, qint64* pid)
{
    if (g_hook)
        return g_hook(program, arguments, pid);
    const QFileInfo info(program);
    const QString workingDirectory = info.isAbsolute() ? info.absolutePath() : QString();
    return Platform::startDetached(program, arguments, workingDirectory, pid);
}

void ProcessLauncher::setHookForTesting(Hook hook)
{
    g_hook = hook;
}
