#include "Rollback.h"

#include "HttpGet.h"
#include "ProgramFolder.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSaveFile>

namespace {
constexpr qint64 HoldSeconds = 24 * 60 * 60;
// A version text is a reply of at most HttpGet::MaxReplyBytes, which grows at most threefold as UTF-8 (each byte
// that is no UTF-8 becomes U+FFFD); a marker or hold larger than that was not written here.
constexpr qint64 MaxVersionBytes = 3 * HttpGet::MaxReplyBytes;

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

QString folderOf(const QString& path)
{
    return QFileInfo(path).absolutePath();
}

bool sameBytes(const QString& first, const QString& second)
{
    QFile a(first);
    QFile b(second);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.size() != b.size())
        return false;
    constexpr qint64 Block = 1 << 20;
    while (!a.atEnd()) {
        if (a.read(Block) != b.read(Block))
            return false;
    }
    return true;
}

// A copy under a temporary name, on the disk, then renamed: a cut anywhere leaves no half copy under the kept name.
bool copyWhole(const QString& from, const QString& to)
{
    const QString partial = to + QStringLiteral(".copying");
    QFile::remove(partial);
    bool copied = QFile::copy(from, partial);
    if (copied) {
        QFile file(partial);
        copied = file.open(QIODevice::ReadWrite) && Platform::syncToDisk(int(file.handle()));
    }
    if (copied && Platform::replaceFile(partial, to, nullptr))
        return true;
    QFile::remove(partial);
    return false;
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

QString Rollback::closedNotePath(const QString& program)
{
    return keptPath(program) + QStringLiteral(".closed");
}

QString Rollback::holdPath()
{
    return ProgramFolder::filePath(QStringLiteral("update.hold"));
}

QString Rollback::lockPath()
{
    return ProgramFolder::filePath(QStringLiteral("update.lock"));
}

std::unique_ptr<QLockFile> Rollback::lockFolder()
{
    auto lock = std::make_unique<QLockFile>(lockPath());
    // Only a lock whose process has ended is stale: an updater may well hold it for minutes on a slow line.
    lock->setStaleLockTime(0);
    return lock->tryLock(0) ? std::move(lock) : nullptr;
}

bool Rollback::mark(const QString& program, const QString& version)
{
    // Whatever an earlier watch left is no part of this one.
    QFile::remove(closedNotePath(program));
    QFile::remove(keptPath(program));
    return QFile::exists(program) && writeText(markerPath(program), version);
}

bool Rollback::keep(const QString& program)
{
    QString reason;
    if (Platform::linkFile(program, keptPath(program), &reason) || copyWhole(program, keptPath(program))) {
        Platform::syncFolder(folderOf(program));
        return true;
    }
    QFile::remove(markerPath(program));
    return false;
}

bool Rollback::putBack(const QString& program, QString* error, bool* mayClear)
{
    if (!Platform::replaceFile(keptPath(program), program, error, mayClear))
        return false;
    Platform::syncFolder(folderOf(program));
    return true;
}

void Rollback::confirm(const QString& program)
{
    QFile::remove(keptPath(program));
    QFile::remove(keptPath(program) + QStringLiteral(".copying"));
    QFile::remove(closedNotePath(program));
    QFile::remove(markerPath(program));
}

QString Rollback::markedVersion(const QString& program)
{
    return readText(markerPath(program));
}

bool Rollback::isWatched(const QString& program)
{
    return QFile::exists(markerPath(program));
}

void Rollback::noteOrderlyEnd(const QString& program)
{
    if (!isWatched(program))
        return;
    QFile note(closedNotePath(program));
    if (note.open(QIODevice::WriteOnly))
        note.close();
}

bool Rollback::endedOrderly(const QString& program)
{
    return QFile::exists(closedNotePath(program));
}

void Rollback::settle(const QString& program, bool programRuns)
{
    if (!isWatched(program)) {
        QFile::remove(closedNotePath(program));
        return;
    }
    const QString kept = keptPath(program);
    // Cut before the new program took the place, the kept one is the program itself: nothing to undo, nothing held.
    if (!QFile::exists(kept) || sameBytes(kept, program) || programRuns || endedOrderly(program)) {
        confirm(program);
        return;
    }
    hold(markedVersion(program));
    if (putBack(program, nullptr, nullptr))
        confirm(program);
}

void Rollback::removeTransferLeftovers()
{
    static const QRegularExpression leftover(QStringLiteral("^.+\\.[0-9a-f]{8}\\.part$"));
    const QDir folder(ProgramFolder::path());
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (leftover.match(name).hasMatch())
            QFile::remove(folder.filePath(name));
    }
}

void Rollback::hold(const QString& version)
{
    writeText(holdPath(), version);
}

bool Rollback::isHeld(const QString& version, const QDateTime& now, QDateTime* until)
{
    const QFileInfo hold(holdPath());
    if (!hold.exists())
        return false;
    const QDateTime since = hold.lastModified();
    if (readText(hold.filePath()) == version && qAbs(since.secsTo(now)) < HoldSeconds) {
        if (until)
            *until = since.addSecs(HoldSeconds);
        return true;
    }
    QFile::remove(hold.filePath());
    return false;
}
