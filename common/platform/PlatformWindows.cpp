#include "platform/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <windows.h>

#include <tlhelp32.h>

#include <io.h>

#include <iterator>
#include <vector>

QString Platform::executableName(const QString& baseName)
{
    return baseName + QStringLiteral(".exe");
}

bool Platform::startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                             qint64* pid)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory);
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
        args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        args->startupInfo->wShowWindow = SW_SHOWNORMAL;
    });
    return process.startDetached(pid);
}

bool Platform::isRunning(qint64 pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

namespace {
// The process's creation time (100 ns units since 1601), 0 when it does not run. One handle for both: while it is
// open, the identifier cannot pass to another process.
qint64 startedIfRunning(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT || !GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return qint64((quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime);
}

qint64 startedIfRunning(qint64 pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return 0;
    const qint64 started = startedIfRunning(process);
    CloseHandle(process);
    return started;
}
} // namespace

Platform::ProcessIdentity Platform::identify(qint64 pid)
{
    const qint64 started = startedIfRunning(pid);
    return started != 0 ? ProcessIdentity{pid, started} : ProcessIdentity{};
}

bool Platform::stillRuns(const ProcessIdentity& process)
{
    if (process.pid == 0)
        return false;
    const qint64 started = startedIfRunning(process.pid);
    return started != 0 && (process.started == 0 || started == process.started);
}

QList<qint64> Platform::processesOf(const QString& programFile)
{
    // By the full path of each process's image, so that copies of the program in other folders are left out.
    const QString program = QDir::toNativeSeparators(QFileInfo(programFile).absoluteFilePath());
    QList<qint64> found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t image[MAX_PATH * 4];
        DWORD size = DWORD(std::size(image));
        if (QueryFullProcessImageNameW(process, 0, image, &size) &&
            QString::fromWCharArray(image, int(size)).compare(program, Qt::CaseInsensitive) == 0)
            found.append(qint64(entry.th32ProcessID));
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

namespace {
BOOL CALLBACK closeWindowOf(HWND window, LPARAM pid)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == DWORD(pid) && GetWindow(window, GW_OWNER) == nullptr && IsWindowVisible(window))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}
} // namespace

QList<qint64> Platform::askToEnd(const QString& programFile)
{
    // As a click on each top-level window's close button: the program saves what it keeps and ends by itself.
    const QList<qint64> asked = processesOf(programFile);
    for (const qint64 pid : asked)
        EnumWindows(closeWindowOf, LPARAM(pid));
    return asked;
}

bool Platform::onEndRequest(std::function<void()> handler)
{
    // Closing a window and ending the session come to the windows as messages, which Qt turns into close events.
    Q_UNUSED(handler);
    return false;
}

QList<qint64> Platform::killProgram(const QString& programFile)
{
    QList<qint64> killed;
    for (const qint64 pid : processesOf(programFile)) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
        if (process && TerminateProcess(process, 1))
            killed.append(pid);
        if (process)
            CloseHandle(process);
    }
    return killed;
}

bool Platform::makeExecutable(const QString& filePath)
{
    Q_UNUSED(filePath);
    return true;
}

QString Platform::fileVersion(const QString& programFile)
{
    const std::wstring path = QDir::toNativeSeparators(programFile).toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return {};
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info)
        return {};
    return QStringLiteral("%1.%2.%3.%4")
        .arg(HIWORD(info->dwFileVersionMS))
        .arg(LOWORD(info->dwFileVersionMS))
        .arg(HIWORD(info->dwFileVersionLS))
        .arg(LOWORD(info->dwFileVersionLS));
}

bool Platform::syncToDisk(int handle)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(handle))) != 0;
}

bool Platform::replaceFile(const QString& from, const QString& to, QString* error, bool* mayClear)
{
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD code = GetLastError();
    if (error)
        *error = qt_error_string(int(code));
    // A program's file stays locked for a moment after its process was stopped.
    if (mayClear)
        *mayClear = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    return false;
}

bool Platform::linkFile(const QString& from, const QString& to, QString* error)
{
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring link = QDir::toNativeSeparators(to).toStdWString();
    if (CreateHardLinkW(link.c_str(), source.c_str(), nullptr))
        return true;
    if (error)
        *error = qt_error_string(int(GetLastError()));
    return false;
}

bool Platform::syncFolder(const QString& folder)
{
    // Renames here are made with MOVEFILE_WRITE_THROUGH, which returns once they are on the disk.
    Q_UNUSED(folder);
    return true;
}

void Platform::startWriteback(int, qint64, qint64)
{
    // Windows has no call that starts writing a range without waiting for it; the final flush does it all.
}
