#pragma once

#include "WatchMarker.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

class QLockFile;

// What an update leaves in the program folder, so that a release that cannot run is undone and not taken again, and
// an update cut short (a crash, a power cut) is settled by whichever program runs next. These files pass between
// versions of both programs; their forms only grow (docs/ARCHITECTURE.md, "Files between versions"):
//   update.lock               the updater that works on this folder; one at a time
//   <file>.previous           a file the update replaced, kept until the new release has proven itself
//   <program>.previous.watch  the marker of a watch in progress (WatchMarker): the version, the files kept and added
//   <program>.previous.starts how often the new release started, and which start is judged now
//   <program>.previous.closed the watched start ended as a person or the session ended it, not by a fault of its own
//   update.hold               a version that could not be installed here, not taken again for a day
// The version text comes from the server and is only ever file content, never part of a file name. <program> is the
// refresher's program file: its marker stands for the whole release.
namespace Rollback {
QString keptPath(const QString& file);
QString markerPath(const QString& program);
QString closedNotePath(const QString& program);
QString startsPath(const QString& program);
QString holdPath();
QString lockPath();

// The folder's update lock, held, or null when another updater holds it or the folder cannot be written. A lock
// whose updater has died is taken over, and so is one that holds no owner (created, its contents lost in a power cut)
// once it is older than any updater takes to write it.
std::unique_ptr<QLockFile> lockFolder();

// The watch in progress, if any. Files named in it are plain names in the program's folder.
std::optional<WatchMarker> marker(const QString& program);
bool isWatched(const QString& program);
QString markedVersion(const QString& program);

// Marks a watch of the version about to be installed: the folder's files it replaces and the ones it adds. When an
// earlier watch was never settled, the files it kept are the ones last proven to run, and stay kept for this one too.
// False, with nothing changed, when the mark cannot be written.
bool mark(const QString& program, const QString& version, const QStringList& replaced, const QStringList& added,
          int watchMs);
// Keeps each file the marker names under a second name without its own name ever being empty (a hard link, a
// complete copy where links are refused), unless kept already: false, with the mark removed, when that cannot be done.
bool keep(const QString& program);
// Puts every kept file back in place, one rename each, and removes the files the update added; false, with the
// system's reason, when a rename is refused (mayClear as Platform::replaceFile says). The marker stays until confirm().
bool putBack(const QString& program, QString* error, bool* mayClear);
// The kept files, the marker and the note go: the new release runs, or the old one never left.
void confirm(const QString& program);

// A start of the watched release: counted, and from now on the one whose orderly end counts. False when the record
// cannot be written, or the marker is of the earlier form (its updater judges the release alone).
bool countStart(const QString& program, qint64 pid);

// Called by the watched start of a new release when it ends in good order (its window closed, or the session ended):
// its end is then no fault of the release. Another start of the same program writes nothing.
void noteOrderlyEnd(const QString& program, qint64 pid);
bool endedOrderly(const QString& program);

// A watch that its updater no longer finishes (it ended, or the power went), seen by whichever program runs next.
enum class Settled
{
    Nothing,     // no watch, or one that never changed the folder: nothing left
    Running,     // the release runs (or ended in good order): it goes on judging itself
    RolledBack,  // the release ended abnormally before it proved itself: the kept files are back, the version held
    NotRestored, // ... but the kept files could not be put back: the marker stays for the next try
};
// Call with the folder's lock held. programRuns: a start of the release runs now.
Settled settle(const QString& program, bool programRuns);
// Temporary files of transfers that were cut short: only the names the updater gives them.
void removeTransferLeftovers();
// The temporary name the updater gives the file it fetches for a listed name.
QString transferFileName(const QString& name);

// Holds a version: the updater does not take it again for a day, or until the server offers another.
void hold(const QString& version);
// Whether the server's version is one held less than a day ago, and when that hold ends. A hold for another
// version, or an older one, is ended here.
bool isHeld(const QString& version, const QDateTime& now, QDateTime* until = nullptr);
} // namespace Rollback
