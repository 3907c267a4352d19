#pragma once

#include <QDateTime>
#include <QString>

#include <memory>

class QLockFile;

// What an update leaves in the program folder, so that a release that cannot run is undone and not taken again, and
// an update cut short (a crash, a power cut) is settled by whichever program runs next:
//   update.lock               the updater that works on this folder; one at a time
//   <program>.previous        the replaced program, kept until the new one has run for a while
//   <program>.previous.watch  the marker of a watch in progress, holding the version being installed
//   <program>.previous.closed the new program ended as a person or the session ended it, not by a fault of its own
//   update.hold               a version that could not be installed here, not taken again for a day
// The version text comes from the server and is only ever file content, never part of a file name.
namespace Rollback {
QString keptPath(const QString& program);
QString markerPath(const QString& program);
QString closedNotePath(const QString& program);
QString holdPath();
QString lockPath();

// The folder's update lock, held, or null when another updater holds it or the folder cannot be written. A lock
// whose updater has died is taken over.
std::unique_ptr<QLockFile> lockFolder();

// Marks a watch of the version about to be installed over the program: false, with nothing changed, when the mark
// cannot be written.
bool mark(const QString& program, const QString& version);
// Keeps the installed program under a second name without its own name ever being empty (a hard link, a complete
// copy where links are refused): false, with the mark removed, when that cannot be done.
bool keep(const QString& program);
// Puts the kept program back in place in one step; false, with the system's reason, when that is refused (mayClear
// as Platform::replaceFile says). The marker stays until confirm().
bool putBack(const QString& program, QString* error, bool* mayClear);
// The kept program, the marker and the note go: the new program runs, or the old one never left.
void confirm(const QString& program);

// The version being watched, as the marker holds it.
QString markedVersion(const QString& program);
bool isWatched(const QString& program);
// Called by a program that ends in good order (its window closed, or the session ended): a watch in progress must
// not take that end for a fault of the release.
void noteOrderlyEnd(const QString& program);
bool endedOrderly(const QString& program);

// A watch that nobody finishes any more (its updater ended, the power went) is settled: a program that never left
// its place, or a new one that runs (or ended in good order), is kept; otherwise the kept one goes back and the
// version is held. Call with the folder's lock held.
void settle(const QString& program, bool programRuns);
// Temporary files of transfers that were cut short. Call with the folder's lock held.
void removeTransferLeftovers();

// Holds a version: the updater does not take it again for a day, or until the server offers another.
void hold(const QString& version);
// Whether the server's version is one held less than a day ago, and when that hold ends. A hold for another
// version, or an older one, is ended here.
bool isHeld(const QString& version, const QDateTime& now, QDateTime* until = nullptr);
} // namespace Rollback
