#include "ProgressScale.h"

#include <algorithm>
#include <limits>

namespace {
int shiftFor(qint64 total)
{
    int shift = 0;
    while ((total >> shift) > std::numeric_limits<int>::max())
        ++shift;
    return shift;
}
} // namespace

ProgressScale::Bar ProgressScale::running(qint64 written, qint64 expected)
{
    if (expected < 0)
        return {0, 0};
    if (expected == 0)
        return {1, 0};
    const int shift = shiftFor(expected);
    const qint64 clamped = std::clamp<qint64>(written, 0, expected);
    return {static_cast<int>(expected >> shift), static_cast<int>(clamped >> shift)};
}

ProgressScale::Bar ProgressScale::complete(qint64 written)
{
    const qint64 total = std::max<qint64>(written, 1);
    const int maximum = static_cast<int>(total >> shiftFor(total));
    return {maximum, maximum};
}
