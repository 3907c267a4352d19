#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <windows.h>

#include <tlhelp32.h>

#include <io.h>

#include <algorithm>
#include <optional>
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

namespace {
// What Windows knows a file by, however its path is written: the volume's serial number and the file's index on it.
struct FileIdentity
{
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> fileIdentity(const wchar_t* path)
{
    // Attributes only, sharing everything: a running program's file is open, and must stay renamable meanwhile.
    const HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known)
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Calls act with each running process started from the program file (not this one), opened with the access it
// needs; the identifiers of those act took. The handle stays open while act runs, so that the identifier cannot pass
// to another process in between. The image path the system gives for a process may be spelled otherwise than the
// program file (a subst drive, a short name, another case), or be where the file was before it was renamed aside:
// what it opens is compared.
QList<qint64> forEachProcessOf(const QString& programFile, DWORD access, const std::function<bool(HANDLE)>& act)
{
    QList<qint64> taken;
    const std::optional<FileIdentity> program =
        fileIdentity(QDir::toNativeSeparators(QFileInfo(programFile).absoluteFilePath()).toStdWString().c_str());
    if (!program)
        return taken;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return taken;
    std::vector<wchar_t> image(32768);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        const HANDLE process =
            OpenProcess(access | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        DWORD size = DWORD(image.size());
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
            QueryFullProcessImageNameW(process, 0, image.data(), &size) && fileIdentity(image.data()) == program &&
            act(process))
            taken.append(qint64(entry.th32ProcessID));
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return taken;
}
} // namespace

QList<qint64> Platform::processesOf(const QString& programFile)
{
    // By the file each process runs, so that copies of the program in other folders are left out.
    return forEachProcessOf(programFile, 0, [](HANDLE) { return true; });
}

namespace {
struct WindowsOf
{
    DWORD pid = 0;
    std::vector<HWND> found;
};

BOOL CALLBACK collectWindowOf(HWND window, LPARAM windows)
{
    auto* of = reinterpret_cast<WindowsOf*>(windows);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == of->pid && IsWindowVisible(window))
        of->found.push_back(window);
    return TRUE;
}

// How many owners stand above a window: a message box over a dialog over the main window is 2.
int ownerDepth(HWND window)
{
    int depth = 0;
    while ((window = GetWindow(window, GW_OWNER)) != nullptr)
        ++depth;
    return depth;
}

void closeWindowsOf(DWORD pid)
{
    WindowsOf windows{pid, {}};
    EnumWindows(collectWindowOf, reinterpret_cast<LPARAM>(&windows));
    // A window behind a modal box (its owner) ignores a close while the box is up, so the boxes are asked too. The
    // owner of a box is asked even when hidden: it may be the window whose close saves the program's settings.
    for (std::size_t i = 0; i < windows.found.size(); ++i) {
        const HWND owner = GetWindow(windows.found[i], GW_OWNER);
        DWORD ownerPid = 0;
        if (owner && GetWindowThreadProcessId(owner, &ownerPid) && ownerPid == pid &&
            std::find(windows.found.cbegin(), windows.found.cend(), owner) == windows.found.cend())
            windows.found.push_back(owner);
    }
    // The boxes first, then what they cover: by the time the owner's close is handled, the box is gone and the
    // owner no longer blocked. Messages posted to one thread are handled in the order posted.
    std::stable_sort(windows.found.begin(), windows.found.end(),
                     [](HWND a, HWND b) { return ownerDepth(a) > ownerDepth(b); });
    for (const HWND window : windows.found)
        PostMessageW(window, WM_CLOSE, 0, 0);
}
} // namespace

QList<qint64> Platform::askToEnd(const QString& programFile)
{
    // As a person closing each of its windows: the program saves what it keeps and ends by itself.
    return forEachProcessOf(programFile, 0, [](HANDLE process) {
        closeWindowsOf(GetProcessId(process));
        return true;
    });
}

bool Platform::onEndRequest(std::function<void()> handler)
{
    // Closing a window and ending the session come to the windows as messages, which Qt turns into close events.
    Q_UNUSED(handler);
    return false;
}

QList<qint64> Platform::killProgram(const QString& programFile)
{
    // Through the handle its program file was checked with: never a process that took over its identifier since.
    return forEachProcessOf(programFile, PROCESS_TERMINATE,
                            [](HANDLE process) { return TerminateProcess(process, 1) != 0; });
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

bool Platform::replaceRunningFile(const QString& from, const QString& to, QString* error)
{
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    const std::wstring aside = target + L".old";
    constexpr DWORD Flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    // A running program's file may be renamed, not replaced nor removed; an earlier aside file whose program has
    // ended goes now. A missing `to` needs nothing set aside.
    const bool setAside = MoveFileExW(target.c_str(), aside.c_str(), Flags) != 0;
    const DWORD asideCode = setAside ? ERROR_SUCCESS : GetLastError();
    if (!setAside && asideCode != ERROR_FILE_NOT_FOUND) {
        if (error)
            *error = qt_error_string(int(asideCode));
        return false;
    }
    if (MoveFileExW(source.c_str(), target.c_str(), Flags))
        return true;
    if (error)
        *error = qt_error_string(int(GetLastError()));
    // The program must stay where it is started from.
    if (setAside)
        MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    return false;
}

void Platform::removeAsideFiles(const QString& folder)
{
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.old")}, QDir::Files | QDir::Hidden | QDir::System)) {
        // Removal fails while its program still runs; it is tried again at the next run.
        if (dir.exists(name.chopped(4)))
            QFile::remove(dir.filePath(name));
    }
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
