#include "platform/Platform.h"

#include <QFile>
#include <QProcess>

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

QString Platform::fileVersion(const QString& programFile)
{
    // Replaced by the ELF note reader once the program file carries its version.
    Q_UNUSED(programFile);
    return {};
}
