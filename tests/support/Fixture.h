#pragma once

#include "MessageBox.h"
#include "ProcessLauncher.h"
#include "ProgramFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

// What the programs show, stop and start, logged in order instead of done ("message ...", "kill ...",
// "launch ..."); servers may log their requests into the same list. No test stops a process it did not start.
inline QStringList& events()
{
    static QStringList log;
    return log;
}

// The process a recorded launch hands out as the one started: by default this test, which runs on.
inline qint64& launchedPid()
{
    static qint64 pid = QCoreApplication::applicationPid();
    return pid;
}

// How many of the next recorded launches fail, as for a program that cannot be started.
inline int& failingLaunches()
{
    static int count = 0;
    return count;
}

inline void recordInsteadOfActing()
{
    MessageBox::setHandlerForTesting([](QWidget*, const QString& text) { events().append("message " + text); });
    ProcessLauncher::setHookForTesting([](const QString& program, const QStringList& arguments, qint64* pid) {
        events().append((QStringList{"launch", program} + arguments).join(' '));
        if (failingLaunches() > 0)
            return --failingLaunches() < 0;
        if (pid)
            *pid = launchedPid();
        return true;
    });
}

// A process the test starts, stopped and reaped when it goes out of scope.
struct ChildProcess : QProcess
{
    ~ChildProcess() override
    {
        kill();
        waitForFinished();
    }
};

// The identifier of a process that has ended: nothing runs under it.
inline qint64 endedProcessId()
{
    QProcess process;
    process.start(QStringLiteral("true"));
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

inline QStringList eventsStartingWith(const QString& prefix)
{
    QStringList matching;
    for (const QString& event : events())
        if (event.startsWith(prefix))
            matching.append(event.mid(prefix.size()));
    return matching;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Makes a file look as last written that many seconds ago.
inline bool backdate(const QString& path, int seconds)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(QDateTime::currentDateTime().addSecs(-seconds), QFileDevice::FileModificationTime);
}

// A throw-away program folder that the programs take for their own while it lives.
struct TestFolder
{
    QTemporaryDir dir;
    TestFolder() { ProgramFolder::overrideForTesting(dir.path()); }
    ~TestFolder() { ProgramFolder::overrideForTesting(QString()); }
    QString path(const QString& name) const { return dir.filePath(name); }
    // Hidden entries included: a temporary file left behind shows here. The lock of an updater still alive does not.
    QStringList entries() const
    {
        QStringList names = QDir(dir.path()).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        names.removeOne(QStringLiteral("update.lock"));
        return names;
    }
    // The events that match, with this folder's path left out of them.
    QStringList events(const QString& pattern) const
    {
        return ::events().filter(QRegularExpression(pattern)).replaceInStrings(dir.path() + '/', QString());
    }
};
