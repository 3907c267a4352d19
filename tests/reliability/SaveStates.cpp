#include "SaveStates.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

QString SaveStates::url(qint64 number)
{
    // Below the 32,767 characters a line edit holds.
    const qsizetype length = 2000 + (number * 7919) % 30000;
    return QStringLiteral("http://例子.中国/") + QString(length, QChar(u'页')) + QStringLiteral("?n=") +
           QString::number(number);
}

SaveStates::Checked SaveStates::check(const QByteArray& contents, qint64 previousInterval)
{
    Checked checked;
    const auto wrong = [&checked](const QString& what) {
        checked.wrong = what;
        return checked;
    };
    if (!contents.startsWith(Preamble))
        return wrong(QStringLiteral("the lines before the section were not kept"));
    QStringDecoder decoder("GB18030");
    const QString text = decoder.decode(contents.sliced(Preamble.size()));
    static const QRegularExpression shape(QStringLiteral("^\\[([^\\r\\n]*)\\]\\r\\nTEXT2=([^\\r\\n]*)\\r\\n(?:TEXT1=(\\d+)\\r\\n)?$"));
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch())
        return wrong(QStringLiteral("not a whole section of %1 bytes").arg(contents.size()));
    if (match.captured(1) != Section)
        return wrong(QStringLiteral("wrong section"));
    const QString storedUrl = match.captured(2);
    const qint64 number = storedUrl.sliced(storedUrl.lastIndexOf(QStringLiteral("?n=")) + 3).toLongLong();
    if (storedUrl != url(number))
        return wrong(QStringLiteral("TEXT2 is not whole (%1 characters)").arg(storedUrl.size()));
    checked.number = number;
    if (match.hasCaptured(3)) {
        const qint64 interval = match.captured(3).toLongLong();
        if (interval != number && interval != number - 1 && interval != previousInterval)
            return wrong(QStringLiteral("TEXT1 %1 does not belong to TEXT2 %2").arg(interval).arg(number));
        checked.interval = interval;
    }
    // GB18030 round trip: the decoded text must give back the very bytes.
    QStringEncoder encoder("GB18030");
    if (Preamble + QByteArray(encoder.encode(text)) != contents)
        return wrong(QStringLiteral("bytes that do not round-trip"));
    return checked;
}
