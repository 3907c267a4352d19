#include "StartPause.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace {
qint64 roundedSeconds(qint64 ms)
{
    // Floor division keeps the rounding right for readings before the clock's reference point as well.
    qint64 seconds = ms / 1000;
    qint64 rest = ms % 1000;
    if (rest < 0) {
        seconds -= 1;
        rest += 1000;
    }
    if (rest > 500 || (rest == 500 && seconds % 2 != 0))
        ++seconds;
    return seconds;
}
} // namespace

bool StartPause::isOver(qint64 startMs, qint64 nowMs)
{
    return roundedSeconds(nowMs) - roundedSeconds(startMs) >= 2;
}

void StartPause::wait()
{
    QElapsedTimer clock;
    clock.start();
    const qint64 start = clock.msecsSinceReference();
    // The ticks wake the loop below often enough to notice the end without spinning on an empty queue.
    QTimer tick;
    tick.start(10);
    while (!isOver(start, start + clock.elapsed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
