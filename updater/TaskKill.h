#pragma once

#include <QString>

// The forced stop of every running refresher before its program file is replaced.
namespace TaskKill {
// Starts the system's forced task kill for the refresher's image name and returns at once, without waiting.
bool stopRefresher();

// Tests observe the kill instead: none of them may stop a process it did not start.
using Hook = bool (*)(const QString& baseName);
void setHookForTesting(Hook hook);
} // namespace TaskKill
