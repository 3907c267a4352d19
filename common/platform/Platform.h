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

// A process as it was when found or started. Its identifier alone is not enough to watch it: once it has ended, the
// system may hand the same identifier to another process, which would then be taken for it. The start time tells
// that newcomer apart. A default identity is no process.
struct ProcessIdentity
{
    qint64 pid = 0;
    // When the process started, in the system's own units; 0 where the system does not tell (only pid counts then).
    qint64 started = 0;
};
// The process that runs with this identifier now; a default identity when none runs. Taken right after a start or a
// look-up, while the process cannot have ended and its identifier been reused yet.
ProcessIdentity identify(qint64 pid);
// Whether that very process still runs: not another one that has its identifier since. (Not an overload of
// isRunning, whose address callers take.)
bool stillRuns(const ProcessIdentity& process);

// The four-part dotted file version embedded in a program file ("1.6.0.0"), empty when there is none.
QString fileVersion(const QString& programFile);

// The running processes started from this program file, and from no copy of it elsewhere; not the calling process.
// The file is known by what the system identifies it with (device and inode, volume and file index), not by how its
// path is written: on Windows a drive letter made by subst or mapped to a share, a short 8.3 name or another case
// names the same file. A file hard-linked under two names is one file. A process whose file was replaced while it ran
// is found by the path it was started from, where the system still gives that path (the POSIX link does).
QList<qint64> processesOf(const QString& programFile);
// Asks those processes to end as a close of their windows would (SIGTERM here; on Windows WM_CLOSE to each of their
// visible top-level windows, owned ones such as a message box first and then their owners, since a window behind a
// modal box ignores a close while the box is up), without waiting for them; their identifiers, for isRunning().
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

// Puts the file `from` in place of `to` while `to` may be the program file of a running process, this one included
// (the updater replacing itself). Here that is replaceFile: a running program's file can be renamed over. Windows
// refuses to replace or remove the file of a running program, but lets it be renamed: `to` is renamed aside to
// `to` + ".old" (replacing an earlier one), then `from` to `to`; when that second step fails, the aside file is
// renamed back, so that `to` is never left missing. False, with the system's reason in error, when `to` is unchanged.
bool replaceRunningFile(const QString& from, const QString& to, QString* error);
// Removes the files that replaceRunningFile set aside in this folder, once their programs have ended: to be called at
// the next run, since a running program cannot remove its own file. One still in use stays for a later run. Only a
// name.old beside its name is taken, so that nothing else ending in ".old" goes. Nothing is set aside on POSIX
// systems, where this does nothing.
void removeAsideFiles(const QString& folder);

// A second name for the file `from` at `to` (which must not exist), sharing its bytes: a hard link. False, with the
// system's reason in error, where the file system refuses links.
bool linkFile(const QString& from, const QString& to, QString* error);

// Makes the entries of a folder (names created, renamed or removed) survive a power loss.
bool syncFolder(const QString& folder);

// Starts writing a range of an open file (its native handle) to the disk in the background and returns at once,
// so that a later flush has less left to wait for. Where the system has no such call, nothing happens.
void startWriteback(int handle, qint64 offset, qint64 length);
} // namespace Platform
