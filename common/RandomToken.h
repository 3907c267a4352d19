#pragma once

#include <QString>

// Text of a pseudo-random number between 0 and 1 with up to seven significant digits, such as "0.7055475".
// It only makes request URLs unique so that no cache answers in the server's place.
namespace RandomToken {
// Reseeds from the clock on every call.
QString next();
// The text form for a given value; exposed so the format can be checked without randomness.
QString format(double value);
} // namespace RandomToken
