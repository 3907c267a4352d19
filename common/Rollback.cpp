#include "Rollback.h"

#include "ProgramFolder.h"
#include "platform/Platform.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
// A version text is "v" and four numbers; a marker or hold much larger than that was not written here.
constexpr qint64 MaxVersionBytes = 256;
constexpr qint64 HoldSeconds = 24 * 60 * 60;

bool writeText(const QString& path, const QString& text)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
}

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(MaxVersionBytes)) : QString();
}
} // namespace

QString Rollback::keptPath(const QString& program)
{
    return program + QStringLiteral(".previous");
}

QString Rollback::markerPath(const QString& program)
{
    return keptPath(program) + QStringLiteral(".watch");
}

QString Rollback::holdPath()
{
    return ProgramFolder::filePath(QStringLiteral("update.hold"));
}

bool Rollback::keep(const QString& program, const QString& version)
{
    // The marker comes first: a power cut between the two steps leaves a marker without a kept file, which settles
    // to nothing.
    if (!QFile::exists(program) || !writeText(markerPath(program), version))
        return false;
    if (Platform::replaceFile(program, keptPath(program), nullptr))
        return true;
    QFile::remove(markerPath(program));
    return false;
}

void Rollback::confirm(const QString& program)
{
    QFile::remove(keptPath(program));
    QFile::remove(markerPath(program));
}

bool Rollback::undo(const QString& program)
{
    if (!Platform::replaceFile(keptPath(program), program, nullptr))
        return false;
    QFile::remove(markerPath(program));
    return true;
}

bool Rollback::restore(const QString& program)
{
    // Held before the old program runs again, so that it does not take the same release at its start-up check.
    writeText(holdPath(), readText(markerPath(program)));
    return undo(program);
}

void Rollback::settle(const QString& program)
{
    if (!QFile::exists(markerPath(program)))
        return;
    if (!QFile::exists(keptPath(program)) || !Platform::processesOf(program).isEmpty())
        confirm(program);
    else
        restore(program);
}

bool Rollback::isHeld(const QString& version, const QDateTime& now)
{
    const QFileInfo hold(holdPath());
    if (!hold.exists())
        return false;
    const QDateTime since = hold.lastModified();
    if (readText(hold.filePath()) == version && qAbs(since.secsTo(now)) < HoldSeconds)
        return true;
    QFile::remove(hold.filePath());
    return false;
}
