#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QObject;

// Starts a program detached with a normal window and returns at once. Its process identifier goes to pid when given.
namespace ProcessLauncher {
bool launch(const QString& program, const QStringList& arguments = {}, qint64* pid = nullptr);

// Starts a program as a child of this one and calls finished on context's thread once it ended: true for an exit
// status of 0, false for a failure status, a crash, a program that could not start, or one still running after
// timeoutMs (it is then stopped). The program is stopped too if context goes first.
void run(const QString& program, const QStringList& arguments, int timeoutMs, QObject* context,
         std::function<void(bool succeeded)> finished);

// Tests observe launches instead of starting programs. The hook returns what launch() should report, and for run()
// whether the program succeeded.
// It may hand out a process identifier of its own choosing through pid when that is given.
using Hook = bool (*)(const QString& program, const QStringList& arguments, qint64* pid);
void setHookForTesting(Hook hook);
} // namespace ProcessLauncher
