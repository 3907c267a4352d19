#include "IniFile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <utility>
#include <vector>

namespace {

const QByteArray Utf8Bom("\xEF\xBB\xBF");
constexpr char Gb18030Name[] = "GB18030";

enum class LineKind
{
    Blank,
    Comment,
    Section,
    Key,
    Other
};

struct Line
{
    qsizetype begin = 0;     // first byte of the line
    qsizetype textBegin = 0; // first byte after a byte-order mark (first line only)
    qsizetype end = 0;       // end of the text, before CR LF or LF
    qsizetype next = 0;      // first byte of the following line
    LineKind kind = LineKind::Other;
    QString name;
    QString value;
};

// Windows trims only spaces and tabs around names and values; QString::trimmed() would also eat characters such as
// the ideographic space that may belong to a Chinese value.
bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QString trimBlanks(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && isBlank(text.at(first)))
        ++first;
    while (last > first && isBlank(text.at(last - 1)))
        --last;
    return text.sliced(first, last - first);
}

bool sameName(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// The encoding the file's bytes are in: a UTF-8 byte-order mark says so, everything else is GB18030.
class Codec
{
public:
    explicit Codec(const QByteArray& contents) : m_utf8(contents.startsWith(Utf8Bom)) {}

    qsizetype markLength() const { return m_utf8 ? Utf8Bom.size() : 0; }

    // Each line is decoded on its own so that a broken byte sequence at the end of one line cannot swallow the next.
    QStringDecoder decoder() const
    {
        // ConvertInitialBom: a line of its own that starts with U+FEFF keeps it, as the writer wrote it; the file's
        // own byte-order mark is skipped before decoding.
        const auto flags = QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom;
        return m_utf8 ? QStringDecoder(QStringConverter::Utf8, flags) : QStringDecoder(Gb18030Name, flags);
    }
    QStringEncoder encoder() const
    {
        return m_utf8 ? QStringEncoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless)
                      : QStringEncoder(Gb18030Name, QStringConverter::Flag::Stateless);
    }

private:
    bool m_utf8;
};

void classify(Line& line, const QString& raw)
{
    const QString text = trimBlanks(raw);
    if (text.isEmpty()) {
        line.kind = LineKind::Blank;
    } else if (text.front() == u';') {
        line.kind = LineKind::Comment;
    } else if (text.front() == u'[') {
        // Brackets are looked for in the decoded text: in GB18030 the bytes of '[' and ']' also occur as the second
        // byte of Chinese characters.
        const qsizetype close = text.indexOf(u']');
        if (close > 0) {
            line.kind = LineKind::Section;
            line.name = trimBlanks(text.sliced(1, close - 1));
        }
    } else if (const qsizetype equals = text.indexOf(u'='); equals > 0) {
        line.name = trimBlanks(text.first(equals));
        line.value = trimBlanks(text.sliced(equals + 1));
        line.kind = line.name.isEmpty() ? LineKind::Other : LineKind::Key;
    }
}

std::vector<Line> parse(const QByteArray& contents, const Codec& codec)
{
    std::vector<Line> lines;
    QStringDecoder decoder = codec.decoder();
    qsizetype begin = 0;
    while (begin < contents.size()) {
        Line line;
        line.begin = begin;
        line.textBegin = lines.empty() ? codec.markLength() : begin;
        const qsizetype lineFeed = contents.indexOf('\n', begin);
        line.next = lineFeed < 0 ? contents.size() : lineFeed + 1;
        line.end = lineFeed < 0 ? contents.size() : lineFeed;
        if (line.end > line.textBegin && contents.at(line.end - 1) == '\r')
            --line.end;
        QString text = decoder.decode(QByteArrayView(contents).sliced(line.textBegin, line.end - line.textBegin));
        if (lines.empty() && text.startsWith(QChar(QChar::ByteOrderMark)))
            text.remove(0, 1);
        classify(line, text);
        lines.push_back(std::move(line));
        begin = lines.back().next;
    }
    return lines;
}

struct Location
{
    qsizetype section = -1;      // the section's header line
    qsizetype key = -1;          // the key's line
    qsizetype lastNonBlank = -1; // the section's last line that is not blank
};

Location locate(const std::vector<Line>& lines, const QString& section, const QString& key)
{
    Location found;
    for (qsizetype i = 0; i < qsizetype(lines.size()); ++i) {
        const Line& line = lines[size_t(i)];
        if (line.kind == LineKind::Section) {
            if (found.section >= 0)
                break; // the first section of that name is the one that counts
            if (sameName(line.name, section))
                found.section = found.lastNonBlank = i;
            continue;
        }
        if (found.section < 0)
            continue;
        if (line.kind != LineKind::Blank)
            found.lastNonBlank = i;
        if (line.kind == LineKind::Key && found.key < 0 && sameName(line.name, key))
            found.key = i;
    }
    return found;
}

// The bytes that end the file's last line before something is appended after it.
QByteArray lineBreakBeforeAppending(const QByteArray& contents, const Codec& codec)
{
    if (contents.size() <= codec.markLength() || contents.endsWith('\n'))
        return {};
    return contents.endsWith('\r') ? QByteArray("\n") : QByteArray("\r\n");
}

bool canStoreNames(const QString& section, const QString& key)
{
    static const auto hasLineBreak = [](const QString& text) { return text.contains(u'\r') || text.contains(u'\n'); };
    if (section.isEmpty() || key.isEmpty() || hasLineBreak(section) || hasLineBreak(key))
        return false;
    // A key that would read back as a comment or a section header, or a name holding its own delimiter, could never
    // be found again.
    return !section.contains(u']') && !key.contains(u'=') && !key.startsWith(u';') && !key.startsWith(u'[');
}

} // namespace

IniFile::IniFile(QString fileName) : m_fileName(std::move(fileName)) {}

std::optional<QString> IniFile::value(const QString& section, const QString& key) const
{
    QFile file(m_fileName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return valueIn(contents, section, key);
}

bool IniFile::setValue(const QString& section, const QString& key, const QString& value) const
{
    return setValues(section, {{key, value}});
}

bool IniFile::setValues(const QString& section, const QList<std::pair<QString, QString>>& keyValues) const
{
    QByteArray contents;
    QFile existing(m_fileName);
    const bool exists = existing.exists();
    if (exists) {
        // Starting from empty contents here would replace the user's other settings with our lines.
        if (!existing.open(QIODevice::ReadOnly))
            return false;
        contents = existing.readAll();
        if (existing.error() != QFileDevice::NoError)
            return false;
        existing.close();
    }
    bool allStored = true;
    QByteArray updated = contents;
    for (const auto& [key, value] : keyValues) {
        const std::optional<QByteArray> next = withValue(updated, section, key, value);
        if (!next) {
            allStored = false;
            continue;
        }
        updated = *next;
    }
    if (updated == contents && (exists || updated.isEmpty()))
        return allStored;
    // No direct-write fallback: when the folder refuses the temporary file, the old file is kept as it was.
    QSaveFile out(m_fileName);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    if (out.write(updated) != updated.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit() && allStored;
}

std::optional<QString> IniFile::valueIn(const QByteArray& contents, const QString& section, const QString& key)
{
    const Codec codec(contents);
    if (!codec.decoder().isValid())
        return std::nullopt;
    const std::vector<Line> lines = parse(contents, codec);
    const Location found = locate(lines, trimBlanks(section), trimBlanks(key));
    if (found.key < 0)
        return std::nullopt;
    return lines[size_t(found.key)].value;
}

std::optional<QByteArray> IniFile::withValue(const QByteArray& contents, const QString& section, const QString& key,
                                             const QString& value)
{
    const QString sectionName = trimBlanks(section);
    const QString keyName = trimBlanks(key);
    if (!canStoreNames(sectionName, keyName))
        return std::nullopt;
    const Codec codec(contents);
    QStringEncoder encoder = codec.encoder();
    if (!encoder.isValid() || !codec.decoder().isValid())
        return std::nullopt;

    // A line break inside the value would end its line early and turn the rest into a line of its own.
    QString storedValue = value;
    storedValue.replace(u'\r', u' ').replace(u'\n', u' ');
    const QByteArray valueBytes = encoder.encode(storedValue);

    const std::vector<Line> lines = parse(contents, codec);
    const Location found = locate(lines, sectionName, keyName);

    if (found.key >= 0) {
        // Keep the line's own spelling of the key and the blanks around "=", and replace what follows.
        const Line& line = lines[size_t(found.key)];
        // Compared as it reads back: blanks around a value are not part of it, and rewriting the line for them would
        // add the value's leading blanks to the line's own at every save.
        if (line.value == trimBlanks(storedValue))
            return contents; // nothing to replace; the line keeps its own line end
        qsizetype valueBegin = contents.indexOf('=', line.textBegin) + 1;
        while (valueBegin < line.end && (contents.at(valueBegin) == ' ' || contents.at(valueBegin) == '\t'))
            ++valueBegin;
        QByteArray result = contents.first(valueBegin);
        result += valueBytes;
        result += "\r\n";
        result += contents.sliced(line.next);
        return result;
    }

    const QByteArray keyLine = QByteArray(encoder.encode(keyName)) + '=' + valueBytes + "\r\n";
    if (found.section >= 0) {
        const Line& anchor = lines[size_t(found.lastNonBlank)];
        QByteArray result = contents.first(anchor.next);
        if (anchor.next == contents.size())
            result += lineBreakBeforeAppending(contents, codec);
        result += keyLine;
        result += contents.sliced(anchor.next);
        return result;
    }

    QByteArray result = contents;
    result += lineBreakBeforeAppending(contents, codec);
    result += '[' + QByteArray(encoder.encode(sectionName)) + "]\r\n";
    result += keyLine;
    return result;
}
