#pragma once

#include <QString>

#include <optional>

// The refresh interval field: a whole number of seconds from 0 up to one year.
namespace IntervalParser {
inline constexpr qint64 MaxSeconds = 31536000;

// The seconds the text stands for, or nothing when it is not a whole number in range. Blanks around the
// digits are allowed; an empty text is not an interval (the window checks emptiness itself, first).
std::optional<qint64> seconds(const QString& text);

// Shown when the box is ticked with an interval that is neither empty nor valid.
QString invalidMessage();
} // namespace IntervalParser
