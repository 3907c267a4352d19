#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Everything that differs between Windows and POSIX systems. Only the Platform*.cpp sources know which one
// they are built for.
namespace Platform {
// The program file name for a base name: "update" here, "update.exe" on Windows.
QString executableName(const QString& baseName);

// Starts a program with a normal window and returns at once; the process is not waited for. Its identifier goes to
// pid when given: the process is no child of this one and outlives it.
bool startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                   qint64* pid = nullptr);

// Whether the process with this identifier is still running (a process that has ended but was not yet reaped by
// its parent counts as ended).
bool isRunning(qint64 pid);

// The four-part dotted file version embedded in a program file ("1.6.0.0"), empty when there is none.
QString fileVersion(const QString& programFile);

// The running processes started from this program file, and from no copy of it elsewhere; not the calling process.
QList<qint64> processesOf(const QString& programFile);
// Asks those processes to end as a close of their windows would (SIGTERM here, WM_CLOSE on Windows), without waiting
// for them; their identifiers, for isRunning().
QList<qint64> askToEnd(const QString& programFile);
// Forcibly stops those processes without waiting for them to end; their identifiers, for isRunning().
QList<qint64> killProgram(const QString& programFile);

// Has handler run on the calling thread's event loop when the system asks this process to end (SIGTERM, SIGHUP,
// SIGINT here, except a SIGHUP or SIGINT the process was started ignoring; on Windows the window system's close and
// session end reach the windows themselves). False where nothing could be installed.
bool onEndRequest(std::function<void()> handler);

// Makes a freshly written file runnable as a program (no-op where files need no such bit).
bool makeExecutable(const QString& filePath);

// Writes what the system still holds of an open file (its native handle) to the disk and waits until it is there.
bool syncToDisk(int handle);

// Puts the file `from` in place of `to` in one step, replacing `to` when it exists. False, with the system's reason in
// error, when that is refused; mayClear then says whether the refusal can clear by itself in a moment (on Windows, a
// program's file stays locked for a while after its process was stopped).
bool replaceFile(const QString& from, const QString& to, QString* error, bool* mayClear = nullptr);

// A second name for the file `from` at `to` (which must not exist), sharing its bytes: a hard link. False, with the
// system's reason in error, where the file system refuses links.
bool linkFile(const QString& from, const QString& to, QString* error);

// Makes the entries of a folder (names created, renamed or removed) survive a power loss.
bool syncFolder(const QString& folder);

// Starts writing a range of an open file (its native handle) to the disk in the background and returns at once,
// so that a later flush has less left to wait for. Where the system has no such call, nothing happens.
void startWriteback(int handle, qint64 offset, qint64 length);
} // namespace Platform
