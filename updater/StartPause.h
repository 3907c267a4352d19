#pragma once

#include <QtGlobal>

// The pause before each transfer starts: between one and two seconds, during which the event queue keeps running.
// Both readings are rounded to whole seconds (halves to the even neighbour) and the pause ends at the first
// reading two seconds past the start. The readings come from a monotonic clock, so the pause cannot stall when the
// time of day starts again at midnight or the system clock is set back.
namespace StartPause {
// Whether a pause that began at startMs is over at nowMs (milliseconds of one monotonic clock).
bool isOver(qint64 startMs, qint64 nowMs);
// Waits out the pause, processing events all the while.
void wait();
} // namespace StartPause
