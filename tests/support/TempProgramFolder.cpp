#include "TempProgramFolder.h"

#include "ProgramFolder.h"

#include <QFile>
#include <QFileInfo>

TempProgramFolder::TempProgramFolder()
{
    ProgramFolder::overrideForTesting(m_dir.path());
}

TempProgramFolder::~TempProgramFolder()
{
    ProgramFolder::overrideForTesting(QString());
}

bool TempProgramFolder::isValid() const
{
    return m_dir.isValid();
}

QString TempProgramFolder::path() const
{
    return m_dir.path();
}

QString TempProgramFolder::filePath(const QString& name) const
{
    return m_dir.filePath(name);
}

bool TempProgramFolder::write(const QString& name, const QByteArray& bytes) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray TempProgramFolder::read(const QString& name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool TempProgramFolder::exists(const QString& name) const
{
    return QFileInfo::exists(filePath(name));
}
