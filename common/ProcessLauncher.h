#pragma once

#include <QString>
#include <QStringList>

// Starts a program detached with a normal window and returns at once. Its process identifier goes to pid when given.
namespace ProcessLauncher {
bool launch(const QString& program, const QStringList& arguments = {}, qint64* pid = nullptr);

// Tests observe launches instead of starting programs. The hook returns what launch() should report.
// It may hand out a process identifier of its own choosing through pid when that is given.
using Hook = bool (*)(const QString& program, const QStringList& arguments, qint64* pid);
void setHookForTesting(Hook hook);
} // namespace ProcessLauncher
