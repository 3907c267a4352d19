#pragma once

#include <QList>
#include <QString>

// The forced stop of the refresher before its program file is replaced.
namespace TaskKill {
// Forcibly stops every refresher started from this program folder's program file (another installation's runs on),
// without waiting; the stopped processes' identifiers, to wait for.
QList<qint64> stopRefresher();

// Tests observe the kill instead: none of them may stop a process it did not start.
using Hook = QList<qint64> (*)(const QString& programFile);
void setHookForTesting(Hook hook);
} // namespace TaskKill
