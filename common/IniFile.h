#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

// An INI file read and written with the semantics of the Windows profile-string functions, in GB18030 whatever the
// locale: earlier releases wrote GBK on Chinese systems, which GB18030 contains, and GB18030 also holds every other
// character a URL may carry. A file that starts with a UTF-8 byte-order mark was saved by a text editor as UTF-8; it
// is read and extended as UTF-8 so that the editor's file stays one encoding.
//
// Only the line that holds the key is ever rewritten (or a new key or section line inserted); every other byte of
// the file stays as it was, including comments, blank lines, LF-only line ends and bytes that are not valid text.
//
// The rules, matching what users of hand-edited profile files expect:
// - Section and key names match without regard to letter case, with blanks around them ignored. The first of two
//   sections (or keys) of the same name is the one read and written.
// - A key line is "key=value"; blanks around key and value are ignored when reading. Lines starting with ';' are
//   comments, and lines before the first section belong to no section.
// - A missing key goes right after the last non-blank line of its section, so the blank lines that part it from the
//   next section stay after it. A missing section goes after the last line of the file, with no blank line added.
// - Every line written ends in CRLF. Values are read whole, however long.
class IniFile
{
public:
    explicit IniFile(QString fileName);

    // The value stored under the key in the section; nullopt when the file, the section or the key is missing or the
    // file cannot be read.
    std::optional<QString> value(const QString& section, const QString& key) const;

    // Stores the value as one read-modify-write of the whole file, saved through a temporary file in the same folder
    // that replaces the file only once it is complete, so an interrupted save leaves the old file. False when nothing
    // was written: the file exists but cannot be read, the folder cannot be written, or the names cannot be stored.
    bool setValue(const QString& section, const QString& key, const QString& value) const;
    // Several values of one section in a single such save, so that an interrupted save leaves either all of them or
    // none. A name that cannot be stored is passed over (and makes the result false); the others are still saved.
    bool setValues(const QString& section, const QList<std::pair<QString, QString>>& keyValues) const;

    // The same rules on file contents held in memory.
    static std::optional<QString> valueIn(const QByteArray& contents, const QString& section, const QString& key);
    // The contents with the value stored; nullopt when a name cannot be stored (blank, or holding a line break, "=" in
    // a key or "]" in a section) or when the GB18030 codec is not available.
    static std::optional<QByteArray> withValue(const QByteArray& contents, const QString& section, const QString& key,
                                               const QString& value);

private:
    QString m_fileName;
};
