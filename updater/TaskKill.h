#pragma once

#include <QList>
#include <QString>

// The stop of the refreshers started from this program folder's program file (another installation's run on) before
// that file is replaced.
namespace TaskKill {
enum class Action
{
    AskToEnd, // as a close of the window: the refresher saves its settings and ends by itself
    Kill,     // at once, saving nothing
    Find,     // nothing: only which still run
};

// Each returns the identifiers of the refreshers it reached, to wait for; nothing waits here.
QList<qint64> askRefresherToEnd();
QList<qint64> killRefresher();
QList<qint64> runningRefreshers();

// Tests observe the stop instead: none of them may stop a process it did not start.
using Hook = QList<qint64> (*)(Action action, const QString& programFile);
void setHookForTesting(Hook hook);
} // namespace TaskKill
