#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringEncoder>

// Byte-level helpers for tests that check user.ini exactly as it lies on disk.
namespace FileBytes {

// The text as the settings file stores it.
inline QByteArray gb(const QString& text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}

// The whole file, or nothing when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace FileBytes
