#include "DateTimeText.h"

QString DateTimeText::general(const QDateTime& value)
{
    return value.toString(QStringLiteral("yyyy-M-d H:mm:ss"));
}

QString DateTimeText::timeOfDay(const QDateTime& value)
{
    return value.toString(QStringLiteral("H:mm:ss"));
}
