#pragma once

#include <QtGlobal>

// Maps exact 64-bit byte counts onto a progress bar whose range is an int. Lengths up to the int range are shown
// byte for byte; longer ones are divided by the smallest power of two that fits, so the bar still ends full.
namespace ProgressScale {
struct Bar
{
    int maximum;
    int value;
    friend bool operator==(const Bar&, const Bar&) = default;
};

// The bar while a transfer runs. An unknown length (negative) gives the busy bar, range 0 to 0; a zero length
// gives an empty bar that cannot be mistaken for the busy one.
Bar running(qint64 written, qint64 expected);
// The full bar once a transfer of this many bytes has completed.
Bar complete(qint64 written);
} // namespace ProgressScale
