#pragma once

#include "MessageBox.h"
#include "ProcessLauncher.h"
#include "TaskKill.h"

#include <QDir>
#include <QWidget>

// What the updater would show, stop and start, recorded instead of done.
struct UpdaterHooks
{
    QStringList messages;
    QList<bool> windowVisible; // whether `window` was visible when each message appeared
    QStringList kills;
    QStringList launches;
    bool launchSucceeds = true;
    const QWidget* window = nullptr;

    static UpdaterHooks& recorded()
    {
        static UpdaterHooks hooks;
        return hooks;
    }

    static void install()
    {
        MessageBox::setHandlerForTesting([](QWidget*, const QString& text) {
            recorded().messages.append(text);
            recorded().windowVisible.append(recorded().window && recorded().window->isVisible());
        });
        TaskKill::setHookForTesting([](const QString& baseName) {
            recorded().kills.append(baseName);
            return true;
        });
        ProcessLauncher::setHookForTesting([](const QString& program, const QStringList&) {
            recorded().launches.append(program);
            return recorded().launchSucceeds;
        });
    }
};

// Everything in a folder, hidden entries included: temporary files must never stay behind.
inline QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Bytes that differ from one position to the next, so a chunk written in the wrong place shows.
inline QByteArray bytePattern(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}
