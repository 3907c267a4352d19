#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

class IniFile;

// What a person asked to be told about a page, and whether a load of it tells them anything: a part of the page
// (found again after each reload by a CSS selector) whose text changed, or a text that appeared in the page's visible
// text. Only loads that succeeded and settled are readings; the first after a watch is set, or after the start, is
// the baseline, and each later one is compared with the reading before it. Whitespace runs count as one blank, and the
// refresh's random token never counts; a reading of another page is a new baseline. A part that cannot be found is no
// change: it is said once, until found again.
class PageWatch
{
public:
    // What the page held once it settled, each side as its text; none when the part was not found, or not asked for.
    struct Reading
    {
        std::optional<QString> part;
        QString text;
    };
    struct Alert
    {
        QString what; // "监视的部分" or the watched text in quotes
        QString before;
        QString after;
    };
    enum class Missing
    {
        No,
        Found,    // the part was missing and is back
        NotFound, // the part is missing, for the first time since it was last found
    };
    struct Outcome
    {
        std::optional<Alert> alert;
        Missing missing = Missing::No;
    };

    // Each side of an alert, and of a line of the log, is cut to this many characters.
    static constexpr qsizetype ShownChars = 300;
    // The log is moved aside to watch.log.1 (replacing an older one) before it grows past this.
    static constexpr qint64 MaxLogBytes = 1024 * 1024;

    // An empty selector or text ends that watch. Setting one starts it afresh: the next reading is its baseline.
    void setPart(const QString& selector);
    void setText(const QString& text);
    void stop();
    const QString& part() const { return m_part; }
    const QString& text() const { return m_text; }
    bool isOn() const { return !m_part.isEmpty() || !m_text.isEmpty(); }
    // The watched part was missing at the last reading.
    bool partMissing() const { return m_missing; }
    // What the window's title says after the product name: whether a watch is on, and that its part is missing.
    QString titleMark() const;

    // A settled load of `address` (with its refresh token, if any) that succeeded, read as `reading`.
    Outcome read(const QString& address, const Reading& reading);

    // The watches from the settings file's section, and back; each write keeps every other key's bytes.
    void restore(const IniFile& file, const QString& section);
    bool store(const IniFile& file, const QString& section) const;

    // One line per alert or missing part, UTF-8, appended to the log file.
    static QString logLine(const QDateTime& at, const QString& address, const Outcome& outcome);
    static bool appendToLog(const QString& fileName, const QString& line);
    // The text as it is compared: whitespace runs as one blank, the token's text left out.
    static QString normalised(const QString& text, const QString& token);
    static QString cut(const QString& text);

private:
    QString m_part;
    QString m_text;
    // The page the readings are of, its refresh token aside.
    QString m_page;
    std::optional<QString> m_partBefore;
    std::optional<bool> m_textWasThere;
    bool m_missing = false;
};
