#pragma once

#include <QString>

// The folder that holds the running program file. Both programs and user.ini live there.
namespace ProgramFolder {
QString path();
// The folder joined with a plain file name.
QString filePath(const QString& fileName);
// Tests point the program folder at a temporary folder; an empty path restores the real one.
void overrideForTesting(const QString& folder);
} // namespace ProgramFolder
