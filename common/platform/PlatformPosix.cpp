#include "platform/Platform.h"

#include "platform/ElfVersionNote.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

QString Platform::executableName(const QString& baseName)
{
    return baseName;
}

bool Platform::startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory)
{
    return QProcess::startDetached(program, arguments, workingDirectory);
}

bool Platform::killByImageName(const QString& baseName)
{
    // pkill compares at most 15 characters of the process name, which "Pagewell" fits.
    return QProcess::startDetached(QStringLiteral("pkill"), {QStringLiteral("-KILL"), QStringLiteral("-x"), baseName});
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

bool Platform::replaceFile(const QString& from, const QString& to, QString* error)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (error)
        *error = qt_error_string(errno);
    return false;
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
