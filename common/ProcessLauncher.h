#pragma once

#include <QString>
#include <QStringList>

// Starts a program detached with a normal window and returns at once; the process identifier is not kept.
namespace ProcessLauncher {
bool launch(const QString& program, const QStringList& arguments = {});

// Tests observe launches instead of starting programs. The hook returns what launch() should report.
using Hook = bool (*)(const QString& program, const QStringList& arguments);
void setHookForTesting(Hook hook);
} // namespace ProcessLauncher
