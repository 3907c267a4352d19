#include "WatchMarker.h"

#include <algorithm>

namespace {
const QString Header = QStringLiteral("pagewell-watch %1").arg(WatchMarker::FormVersion);
// A watch longer than this was not asked for by any updater: a damaged number must not keep a release unjudged.
constexpr int MaxWatchMs = 10 * 60 * 1000;

// The version is the server's whole reply, line breaks included: kept on one line as escapes.
QString escape(const QString& text)
{
    QString escaped;
    for (const QChar c : text)
        escaped += c == u'\\' ? QStringLiteral("\\\\") : c == u'\n' ? QStringLiteral("\\n") : c == u'\r' ? QStringLiteral("\\r") : QString(c);
    return escaped;
}

QString unescape(const QString& text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const QChar next = text[++i];
        plain += next == u'n' ? QChar(u'\n') : next == u'r' ? QChar(u'\r') : next;
    }
    return plain;
}
} // namespace

WatchMarker WatchMarker::parse(const QString& text, const QString& programName)
{
    WatchMarker marker;
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.value(0).trimmed() != Header) {
        marker.form = 1;
        marker.version = text;
        marker.kept = {programName};
        return marker;
    }
    lines.removeFirst();
    for (const QString& raw : std::as_const(lines)) {
        const QString line = raw.endsWith(QLatin1Char('\r')) ? raw.chopped(1) : raw;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1);
        if (equals < 0) {
            if (!line.isEmpty())
                marker.unknownLines.append(line);
        } else if (key == QLatin1String("version")) {
            marker.version = unescape(value);
        } else if (key == QLatin1String("watch")) {
            bool ok = false;
            const int ms = value.toInt(&ok);
            marker.watchMs = ok && ms >= 0 ? std::min(ms, MaxWatchMs) : DefaultWatchMs;
        } else if (key == QLatin1String("kept")) {
            if (!value.isEmpty() && !marker.kept.contains(value))
                marker.kept.append(value);
        } else if (key == QLatin1String("added")) {
            if (!value.isEmpty() && !marker.added.contains(value))
                marker.added.append(value);
        } else {
            marker.unknownLines.append(line);
        }
    }
    return marker;
}

QString WatchMarker::text() const
{
    QStringList lines{Header, QStringLiteral("version=") + escape(version), QStringLiteral("watch=%1").arg(watchMs)};
    for (const QString& name : kept)
        lines.append(QStringLiteral("kept=") + name);
    for (const QString& name : added)
        lines.append(QStringLiteral("added=") + name);
    lines.append(unknownLines);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void WatchMarker::readStarts(const QString& text)
{
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("starts=")))
            starts = std::max(0, line.mid(7).trimmed().toInt());
        else if (line.startsWith(QLatin1String("pid=")))
            pid = line.mid(4).trimmed().toLongLong();
    }
}

QString WatchMarker::startsText() const
{
    return QStringLiteral("starts=%1\npid=%2\n").arg(starts).arg(pid);
}
