#pragma once

#include <QDateTime>
#include <QString>

// What an update leaves in the program folder so that a release that cannot run is undone and not taken again:
//   <program>.previous        the replaced program, kept until the new one has run for a while
//   <program>.previous.watch  the marker of a watch in progress, holding the version being installed
//   update.hold               the version that was rolled back, which is not taken again for a day
// The version text comes from the server and is only ever file content, never part of a file name.
namespace Rollback {
QString keptPath(const QString& program);
QString markerPath(const QString& program);
QString holdPath();

// Keeps the installed program beside the new file, with a marker naming the version: false, with nothing changed,
// when that cannot be done.
bool keep(const QString& program, const QString& version);
// The new program has run long enough: the kept one and the marker go.
void confirm(const QString& program);
// The new file could not be put in place: the kept program goes back, and nothing is held.
bool undo(const QString& program);
// The new program cannot run: the version is held, the kept program put back in its place. False when it could not
// be put back (the marker stays, for the next run to settle).
bool restore(const QString& program);

// A watch that was cut short (the updater ended, the power went) is settled at the next run: a program running from
// the program file is kept, otherwise the kept one is restored.
void settle(const QString& program);

// Whether the server's version is one that was rolled back less than a day ago. A hold for another version, or an
// older one, is ended here.
bool isHeld(const QString& version, const QDateTime& now);
} // namespace Rollback
