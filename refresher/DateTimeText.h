#pragma once

#include <QDateTime>
#include <QString>

// How the window writes dates and times: always with seconds, never with leading zeros on the date parts.
namespace DateTimeText {
// General date and time, e.g. "2013-4-26 17:42:58".
QString general(const QDateTime& value);
// Time of day, e.g. "17:42:58".
QString timeOfDay(const QDateTime& value);
} // namespace DateTimeText
