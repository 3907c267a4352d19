#include "ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>

namespace {
QString& overridden()
{
    static QString folder;
    return folder;
}
} // namespace

QString ProgramFolder::path()
{
    if (!overridden().isEmpty())
        return overridden();
    return QCoreApplication::applicationDirPath();
}

QString ProgramFolder::filePath(const QString& fileName)
{
    return QDir(path()).filePath(fileName);
}

void ProgramFolder::overrideForTesting(const QString& folder)
{
    overridden() = folder;
}
