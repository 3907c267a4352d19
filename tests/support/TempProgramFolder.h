#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A throw-away program folder: while it lives, ProgramFolder points at it, so whatever a test makes the programs
// read or write beside themselves stays inside it.
class TempProgramFolder
{
public:
    TempProgramFolder();
    ~TempProgramFolder();
    TempProgramFolder(const TempProgramFolder&) = delete;
    TempProgramFolder& operator=(const TempProgramFolder&) = delete;

    bool isValid() const;
    QString path() const;
    QString filePath(const QString& name) const;
    bool write(const QString& name, const QByteArray& bytes) const;
    // The file's bytes; empty when it cannot be read.
    QByteArray read(const QString& name) const;
    bool exists(const QString& name) const;

private:
    QTemporaryDir m_dir;
};
