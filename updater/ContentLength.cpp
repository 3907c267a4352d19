#include "ContentLength.h"

#include <limits>

std::optional<qint64> ContentLength::parse(QByteArrayView value)
{
    const QByteArrayView digits = value.trimmed();
    if (digits.isEmpty())
        return std::nullopt;
    qint64 length = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (length > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        length = length * 10 + digit;
    }
    return length;
}
