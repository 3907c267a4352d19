#include "platform/Platform.h"

#include "platform/ElfVersionNote.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>

#include <algorithm>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

QString Platform::executableName(const QString& baseName)
{
    return baseName;
}

bool Platform::startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                             qint64* pid)
{
    return QProcess::startDetached(program, arguments, workingDirectory, pid);
}

namespace {
// The fields of /proc/<pid>/stat from the third (the state) on: the program's name before them may hold spaces and
// parentheses. Empty where the system has no such file or the process has gone.
QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.read(1024);
    const qsizetype end = text.lastIndexOf(')');
    return end < 0 ? QList<QByteArray>() : text.mid(end + 2).split(' ');
}

// Field 22: the time the process started, in clock ticks after the boot.
qint64 startTime(qint64 pid)
{
    return statFields(pid).value(22 - 3).toLongLong();
}
} // namespace

bool Platform::isRunning(qint64 pid)
{
    if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
        return false;
    // A killed process stays a zombie until its parent reaps it, which may be never for an orphan of a shell.
    const QByteArray state = statFields(pid).value(0);
    return state != "Z" && state != "X";
}

Platform::ProcessIdentity Platform::identify(qint64 pid)
{
    // Read before the process is seen running: should it end and its identifier be reused in between, the time
    // recorded is the ended one's, which the newcomer does not match.
    const qint64 started = startTime(pid);
    return isRunning(pid) ? ProcessIdentity{pid, started} : ProcessIdentity{};
}

bool Platform::stillRuns(const ProcessIdentity& process)
{
    return isRunning(process.pid) && (process.started == 0 || startTime(process.pid) == process.started);
}

QList<qint64> Platform::processesOf(const QString& programFile)
{
    // The link of each process to its program file tells copies of the program in other folders (other
    // installations) apart; a name-based kill would stop them too. The file it leads to is compared, not the path it
    // shows, which depends on the mount it was started through. A program file replaced while it runs is another
    // file now; its link still shows where it was started from, followed by " (deleted)".
    const QString program = QFileInfo(programFile).canonicalFilePath();
    struct stat file = {};
    QList<qint64> found;
    if (program.isEmpty() || ::stat(QFile::encodeName(program).constData(), &file) != 0)
        return found;
    const QString replaced = program + QStringLiteral(" (deleted)");
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (!isNumber || pid == self)
            continue;
        const QString exe = QStringLiteral("/proc/%1/exe").arg(entry);
        struct stat image = {};
        const bool same = ::stat(QFile::encodeName(exe).constData(), &image) == 0 && image.st_dev == file.st_dev &&
                          image.st_ino == file.st_ino;
        if ((same || QFile::symLinkTarget(exe) == replaced) && isRunning(pid))
            found.append(pid);
    }
    return found;
}

namespace {
QList<qint64> signalProgram(const QString& programFile, int signal)
{
    QList<qint64> signalled;
    for (const qint64 pid : Platform::processesOf(programFile)) {
        if (::kill(pid_t(pid), signal) == 0)
            signalled.append(pid);
    }
    return signalled;
}

// The write end of the pipe from the signal handler to the event loop; a handler may do little more than write.
int g_endRequestWriter = -1;

void writeEndRequest(int)
{
    const int saved = errno;
    const char byte = 1;
    (void)!::write(g_endRequestWriter, &byte, 1);
    errno = saved;
}
} // namespace

QList<qint64> Platform::askToEnd(const QString& programFile)
{
    return signalProgram(programFile, SIGTERM);
}

QList<qint64> Platform::killProgram(const QString& programFile)
{
    return signalProgram(programFile, SIGKILL);
}

bool Platform::onEndRequest(std::function<void()> handler)
{
    int fds[2];
    if (g_endRequestWriter >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return false;
    g_endRequestWriter = fds[0];
    // Lives as long as the program: the request may come at any moment of its life.
    auto* notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [reader = fds[1], handler = std::move(handler)] {
        char bytes[16];
        while (::read(reader, bytes, sizeof bytes) > 0) {
        }
        handler();
    });
    struct sigaction action = {};
    action.sa_handler = writeEndRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        // A hang-up or an interrupt ignored by whoever started the program (nohup, a background job) stays ignored:
        // that was asked for. An end asked for with SIGTERM is always heard.
        struct sigaction inherited = {};
        if (signal != SIGTERM && ::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
    return true;
}

bool Platform::makeExecutable(const QString& filePath)
{
    QFile file(filePath);
    return file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser |
                               QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

bool Platform::syncToDisk(int handle)
{
    // The data and what is needed to read it back (the size); the times of the file need not wait for the disk.
    return ::fdatasync(handle) == 0;
}

bool Platform::replaceFile(const QString& from, const QString& to, QString* error, bool* mayClear)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (error)
        *error = qt_error_string(errno);
    // A running program's file can be renamed over here; nothing that refuses it clears by itself.
    if (mayClear)
        *mayClear = false;
    return false;
}

bool Platform::replaceRunningFile(const QString& from, const QString& to, QString* error)
{
    return replaceFile(from, to, error);
}

void Platform::removeAsideFiles(const QString& folder)
{
    Q_UNUSED(folder);
}

bool Platform::linkFile(const QString& from, const QString& to, QString* error)
{
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (error)
        *error = qt_error_string(errno);
    return false;
}

bool Platform::syncFolder(const QString& folder)
{
    const int handle = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0)
        return false;
    const bool synced = ::fsync(handle) == 0;
    ::close(handle);
    return synced;
}

void Platform::startWriteback(int handle, qint64 offset, qint64 length)
{
#ifdef SYNC_FILE_RANGE_WRITE
    // Linux only: asks for the range to be written without waiting for it; errors only mean no head start.
    (void)sync_file_range(handle, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(handle);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

QString Platform::fileVersion(const QString& programFile)
{
    const QFileInfo info(programFile);
    if (!info.isFile())
        return {};
    QFile file(programFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    // Mapping lets the parser touch only the pages the headers point to, however large the program file is.
    if (uchar* mapped = file.map(0, size)) {
        const QString version =
            ElfVersionNote::readElfFileVersion(QByteArrayView(reinterpret_cast<const char*>(mapped), size));
        file.unmap(mapped);
        return version;
    }
    // Where mapping is refused, the headers and notes of any program this system builds lie well within this.
    constexpr qint64 ReadLimit = 64 * 1024 * 1024;
    return ElfVersionNote::readElfFileVersion(file.read(std::min(size, ReadLimit)));
}
