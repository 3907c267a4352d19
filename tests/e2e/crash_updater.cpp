// The updater with a cut at one step of its hand-over, for the crash-point sweep: PAGEWELL_CRASH_AT="<step> updater"
// kills it there, "<step> power" kills every process of the program folder first, as a power cut would. The watch
// lasts PAGEWELL_WATCH_MS.
#include "HandOver.h"
#include "ProgramFolder.h"
#include "UpdaterMain.h"
#include "platform/Platform.h"
#include "updata.h"

#include <csignal>

#include <unistd.h>

namespace {
void cutAt(const char* step)
{
    const QByteArrayList cut = qgetenv("PAGEWELL_CRASH_AT").split(' ');
    if (cut.value(0) != step)
        return;
    if (cut.value(1) == "power")
        for (const char* program : {"Pagewell", "Pagewell.previous"})
            for (const qint64 pid : Platform::processesOf(ProgramFolder::filePath(QString::fromLatin1(program))))
                ::kill(pid_t(pid), SIGKILL);
    ::kill(::getpid(), SIGKILL);
}
} // namespace

int main(int argc, char* argv[])
{
    HandOver::setStepHookForTesting(&cutAt);
    return UpdaterMain::run(argc, argv, {}, [](updata& window) {
        window.handOver()->setWatchMsForTesting(qEnvironmentVariableIntValue("PAGEWELL_WATCH_MS"));
    });
}
