#pragma once

#include <QByteArrayView>

#include <optional>

// The "Content-Length" header's value as an exact 64-bit byte count.
namespace ContentLength {
// Only decimal digits count (surrounding blanks aside); signs, fractions, lists and values past the 64-bit range
// give no length.
std::optional<qint64> parse(QByteArrayView value);
} // namespace ContentLength
