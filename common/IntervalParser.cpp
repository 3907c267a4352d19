#include "IntervalParser.h"

std::optional<qint64> IntervalParser::seconds(const QString& text)
{
    const QString digits = text.trimmed();
    // Only plain ASCII digits: no signs, no decimal point, no exponent, no digits of other scripts.
    if (digits.isEmpty() || digits.size() > 9)
        return std::nullopt;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const qint64 value = digits.toLongLong();
    if (value > MaxSeconds)
        return std::nullopt;
    return value;
}

QString IntervalParser::invalidMessage()
{
    return QStringLiteral("间隔时间须为0到31536000之间的整数秒");
}
