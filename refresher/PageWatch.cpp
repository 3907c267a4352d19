#include "PageWatch.h"

#include "IniFile.h"
#include "RefreshUrl.h"

#include <QFile>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace {
const QString PartKey = QStringLiteral("WATCH");
const QString TextKey = QStringLiteral("WATCHTEXT");
// The refresh's random token: its own query item, which a page may echo back (a form's action, a link, a counter).
const QString TokenItem = QStringLiteral("rn");

QUrl withoutToken(const QString& address)
{
    QUrl url(address, QUrl::TolerantMode);
    QUrlQuery query(url);
    query.removeAllQueryItems(TokenItem);
    url.setQuery(query);
    return url;
}
} // namespace

void PageWatch::setPart(const QString& selector)
{
    m_part = selector.trimmed();
    m_partBefore.reset();
    m_missing = false;
}

void PageWatch::setText(const QString& text)
{
    m_text = text.simplified();
    m_textWasThere.reset();
}

void PageWatch::stop()
{
    setPart({});
    setText({});
}

QString PageWatch::titleMark() const
{
    if (!isOn())
        return {};
    return m_missing ? QStringLiteral("（监视中：找不到监视的部分）") : QStringLiteral("（监视中）");
}

QString PageWatch::normalised(const QString& text, const QString& token)
{
    QString result = text;
    // A bare "0" or "1" would take digits out of the page itself; a token drawn by Pagewell has a point.
    if (token.size() > 2)
        result.remove(token);
    return result.simplified();
}

QString PageWatch::cut(const QString& text)
{
    return text.size() <= ShownChars ? text : text.left(ShownChars - 1) + QStringLiteral("…");
}

PageWatch::Outcome PageWatch::read(const QString& address, const Reading& reading)
{
    Outcome outcome;
    const QUrl url(address, QUrl::TolerantMode);
    const QString token = QUrlQuery(url).queryItemValue(TokenItem);
    const bool wasMissing = m_missing;
    // Another page (the start page before the user's, another address typed) is no change of this one: its first
    // reading is a new baseline.
    if (const QString page = RefreshUrl::pageKey(url); page != m_page) {
        m_page = page;
        setPart(m_part);
        setText(m_text);
    }
    if (!m_part.isEmpty()) {
        if (!reading.part) {
            // The part's last text is kept: should it come back as it was, nothing changed.
            if (!wasMissing)
                outcome.missing = Missing::NotFound;
            m_missing = true;
        } else {
            m_missing = false;
            if (wasMissing)
                outcome.missing = Missing::Found;
            const QString now = normalised(*reading.part, token);
            if (m_partBefore && *m_partBefore != now)
                outcome.alert = Alert{QStringLiteral("监视的部分"), cut(*m_partBefore), cut(now)};
            m_partBefore = now;
        }
    }
    if (!m_text.isEmpty()) {
        const QString page = normalised(reading.text, token);
        const qsizetype at = page.indexOf(m_text, 0, Qt::CaseInsensitive);
        // Only an appearance counts: the text there from the baseline on, or going away, tells nobody anything.
        if (at >= 0 && m_textWasThere == false && !outcome.alert) {
            const qsizetype from = std::max<qsizetype>(0, at - (ShownChars - m_text.size()) / 2);
            outcome.alert = Alert{QStringLiteral("文字“%1”").arg(cut(m_text)), QStringLiteral("（没有）"),
                                  cut(page.mid(from, ShownChars))};
        }
        m_textWasThere = at >= 0;
    }
    return outcome;
}

void PageWatch::restore(const IniFile& file, const QString& section)
{
    setPart(file.value(section, PartKey).value_or(QString()));
    setText(file.value(section, TextKey).value_or(QString()));
}

bool PageWatch::store(const IniFile& file, const QString& section) const
{
    return file.setValues(section, {{PartKey, m_part}, {TextKey, m_text}});
}

QString PageWatch::logLine(const QDateTime& at, const QString& address, const Outcome& outcome)
{
    const QString when = at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString page = withoutToken(address).toString();
    if (outcome.alert)
        return QStringLiteral("%1 %2 %3：%4 → %5")
            .arg(when, page, outcome.alert->what, outcome.alert->before, outcome.alert->after);
    if (outcome.missing == Missing::NotFound)
        return QStringLiteral("%1 %2 找不到监视的部分").arg(when, page);
    if (outcome.missing == Missing::Found)
        return QStringLiteral("%1 %2 又找到了监视的部分").arg(when, page);
    return {};
}

bool PageWatch::appendToLog(const QString& fileName, const QString& line)
{
    // The newest lines are the ones a person comes back to read; the older half stays one file further.
    const QByteArray bytes = line.toUtf8() + '\n';
    QFile file(fileName);
    if (file.size() > 0 && file.size() + bytes.size() > MaxLogBytes) {
        QFile::remove(fileName + QStringLiteral(".1"));
        QFile::rename(fileName, fileName + QStringLiteral(".1"));
    }
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(bytes) == bytes.size();
}
