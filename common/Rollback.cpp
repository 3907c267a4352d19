#include "Rollback.h"

#include "HttpGet.h"
#include "ProgramFolder.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QCryptographicHash>
#include <QSaveFile>

#include <algorithm>

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

QString beside(const QString& program, const QString& name)
{
    return QDir(folderOf(program)).filePath(name);
}

// A lock file with no owner in it is one whose writer lost its contents; no updater takes longer than this to write.
constexpr qint64 EmptyLockStaleMs = 10000;

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

QString Rollback::keptPath(const QString& file)
{
    return file + QStringLiteral(".previous");
}

QString Rollback::markerPath(const QString& program)
{
    return keptPath(program) + QStringLiteral(".watch");
}

QString Rollback::closedNotePath(const QString& program)
{
    return keptPath(program) + QStringLiteral(".closed");
}

QString Rollback::startsPath(const QString& program)
{
    return keptPath(program) + QStringLiteral(".starts");
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
    if (lock->tryLock(0))
        return lock;
    qint64 pid = 0;
    QString host;
    QString application;
    const QFileInfo file(lockPath());
    if (lock->error() == QLockFile::LockFailedError && !lock->getLockInfo(&pid, &host, &application) &&
        file.exists() && file.lastModified().msecsTo(QDateTime::currentDateTime()) > EmptyLockStaleMs &&
        lock->removeStaleLockFile() && lock->tryLock(0))
        return lock;
    return nullptr;
}

std::optional<WatchMarker> Rollback::marker(const QString& program)
{
    if (!QFile::exists(markerPath(program)))
        return std::nullopt;
    WatchMarker watch = WatchMarker::parse(readText(markerPath(program)), QFileInfo(program).fileName());
    // A record beside a marker of the earlier form was left by an earlier watch: it counts nothing of this one.
    if (watch.form >= 2)
        watch.readStarts(readText(startsPath(program)));
    return watch;
}

bool Rollback::isWatched(const QString& program)
{
    return QFile::exists(markerPath(program));
}

QString Rollback::markedVersion(const QString& program)
{
    return marker(program).value_or(WatchMarker()).version;
}

bool Rollback::mark(const QString& program, const QString& version, const QStringList& replaced,
                    const QStringList& added, int watchMs)
{
    // An unsettled watch kept what last ran here; the release it watched never proved itself, so it is not kept.
    const std::optional<WatchMarker> earlier = marker(program);
    WatchMarker next;
    next.version = version;
    next.watchMs = watchMs;
    if (earlier) {
        next.kept = earlier->kept;
        next.added = earlier->added;
    }
    for (const QString& name : replaced) {
        if (!next.kept.contains(name) && !next.added.contains(name)) {
            // Whatever an earlier update left under this name is no part of this one.
            QFile::remove(keptPath(beside(program, name)));
            next.kept.append(name);
        }
    }
    for (const QString& name : added) {
        if (!next.kept.contains(name) && !next.added.contains(name))
            next.added.append(name);
    }
    // An orderly end noted in an earlier watch says nothing of this release, nor do its starts.
    QFile::remove(closedNotePath(program));
    QFile::remove(startsPath(program));
    return writeText(markerPath(program), next.text());
}

bool Rollback::keep(const QString& program)
{
    const std::optional<WatchMarker> watch = marker(program);
    bool kept = watch.has_value();
    for (const QString& name : watch ? watch->kept : QStringList()) {
        const QString file = beside(program, name);
        // Kept by a watch that was never settled: what last ran here.
        if (QFileInfo(keptPath(file)).isFile() || !QFile::exists(file))
            continue;
        QString reason;
        if (!Platform::linkFile(file, keptPath(file), &reason) && !copyWhole(file, keptPath(file))) {
            kept = false;
            break;
        }
    }
    Platform::syncFolder(folderOf(program));
    if (!kept)
        QFile::remove(markerPath(program));
    return kept;
}

bool Rollback::putBack(const QString& program, QString* error, bool* mayClear)
{
    const WatchMarker watch = marker(program).value_or(WatchMarker());
    for (const QString& name : watch.kept) {
        const QString file = beside(program, name);
        if (QFile::exists(keptPath(file)) && !Platform::replaceFile(keptPath(file), file, error, mayClear))
            return false;
    }
    for (const QString& name : watch.added)
        QFile::remove(beside(program, name));
    Platform::syncFolder(folderOf(program));
    return true;
}

void Rollback::confirm(const QString& program)
{
    QStringList kept = marker(program).value_or(WatchMarker()).kept;
    if (!kept.contains(QFileInfo(program).fileName()))
        kept.append(QFileInfo(program).fileName());
    for (const QString& name : std::as_const(kept)) {
        QFile::remove(keptPath(beside(program, name)));
        QFile::remove(keptPath(beside(program, name)) + QStringLiteral(".copying"));
    }
    QFile::remove(closedNotePath(program));
    QFile::remove(startsPath(program));
    QFile::remove(markerPath(program));
}

bool Rollback::countStart(const QString& program, qint64 pid)
{
    std::optional<WatchMarker> watch = marker(program);
    // An updater of the earlier form would leave the record behind, and judges the release by its own watch.
    if (!watch || watch->form < 2)
        return false;
    ++watch->starts;
    watch->pid = pid;
    // What the previous start said of its end is settled by now.
    QFile::remove(closedNotePath(program));
    return writeText(startsPath(program), watch->startsText());
}

void Rollback::noteOrderlyEnd(const QString& program, qint64 pid)
{
    const std::optional<WatchMarker> watch = marker(program);
    // An earlier form names no start: its one watched start is the one that ends.
    if (!watch || (watch->pid != 0 && watch->pid != pid))
        return;
    QFile note(closedNotePath(program));
    if (note.open(QIODevice::WriteOnly))
        note.close();
}

bool Rollback::endedOrderly(const QString& program)
{
    return QFile::exists(closedNotePath(program));
}

Rollback::Settled Rollback::settle(const QString& program, bool programRuns)
{
    const std::optional<WatchMarker> watch = marker(program);
    if (!watch) {
        // Left by an earlier updater's confirm, which knew nothing of the starts.
        QFile::remove(closedNotePath(program));
        QFile::remove(startsPath(program));
        return Settled::Nothing;
    }
    // Cut before any new file took its place, the kept files are the files themselves: nothing to undo, nothing held.
    const bool untouched = std::all_of(watch->kept.cbegin(), watch->kept.cend(), [&program](const QString& name) {
        const QString file = beside(program, name);
        return !QFile::exists(keptPath(file)) || sameBytes(keptPath(file), file);
    }) && std::none_of(watch->added.cbegin(), watch->added.cend(), [&program](const QString& name) {
        return QFile::exists(beside(program, name));
    });
    if (untouched) {
        confirm(program);
        return Settled::Nothing;
    }
    // Nothing proves a running release good or bad yet, nor one that a person closed: it goes on judging itself.
    if (programRuns || endedOrderly(program))
        return Settled::Running;
    hold(watch->version);
    if (!putBack(program, nullptr, nullptr))
        return Settled::NotRestored;
    confirm(program);
    return Settled::RolledBack;
}

QString Rollback::transferFileName(const QString& name)
{
    // Derived from the name, so that a clean-up knows the updater's files from anybody else's "*.part".
    const QByteArray digest =
        QCryptographicHash::hash("pagewell transfer " + name.toUtf8(), QCryptographicHash::Sha256);
    return name + QLatin1Char('.') + QString::fromLatin1(digest.first(4).toHex()) + QStringLiteral(".part");
}

void Rollback::removeTransferLeftovers()
{
    static const QRegularExpression leftover(QStringLiteral("^(.+)\\.[0-9a-f]{8}\\.part$"));
    const QDir folder(ProgramFolder::path());
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch match = leftover.match(name);
        if (match.hasMatch() && transferFileName(match.captured(1)) == name)
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
