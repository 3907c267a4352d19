#include "platform/Platform.h"

#include <QDir>
#include <QProcess>

#include <windows.h>

#include <io.h>

#include <vector>

QString Platform::executableName(const QString& baseName)
{
    return baseName + QStringLiteral(".exe");
}

bool Platform::startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory);
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
        args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        args->startupInfo->wShowWindow = SW_SHOWNORMAL;
    });
    return process.startDetached();
}

bool Platform::killByImageName(const QString& baseName)
{
    return QProcess::startDetached(QStringLiteral("taskkill"),
                                   {QStringLiteral("/im"), executableName(baseName), QStringLiteral("/f")});
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

bool Platform::replaceFile(const QString& from, const QString& to, QString* error)
{
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (error)
        *error = qt_error_string(int(GetLastError()));
    return false;
}

void Platform::startWriteback(int, qint64, qint64)
{
    // Windows has no call that starts writing a range without waiting for it; the final flush does it all.
}
