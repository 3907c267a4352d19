#include "RandomToken.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <chrono>

QString RandomToken::format(double value)
{
    // Seven significant digits without an exponent: URLs stay readable and the server sees a plain decimal.
    QString text = QString::number(value, 'g', 7);
    if (text.contains(QLatin1Char('e'))) {
        text = QString::number(value, 'f', 7);
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

QString RandomToken::next()
{
    // The clock seed includes nanoseconds so two refreshes within one second still get different tokens.
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch();
    const auto ticks = static_cast<quint64>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    QRandomGenerator generator(static_cast<quint32>(ticks ^ (ticks >> 32)));
    // Seven digits after the point at most, never exactly 0 so the token is never the bare "0".
    const double value = static_cast<double>(generator.bounded(1, 10000000)) / 10000000.0;
    return format(value);
}
