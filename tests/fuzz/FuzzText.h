#pragma once

#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

// Helpers the fuzz targets share: turning fuzz bytes into text, and stopping with a report when a property fails so
// that libFuzzer records the input that broke it.
namespace FuzzText {

inline QString utf8(FuzzedDataProvider& in, size_t maxBytes)
{
    return QString::fromStdString(in.ConsumeRandomLengthString(maxBytes));
}

// A short name from a small alphabet, so that the names the fuzzer picks often collide with names in the input.
inline QString shortName(FuzzedDataProvider& in)
{
    static const char16_t alphabet[] = u"aAbB1 \t=[];\u5C9A\u00E9\uFEFF";
    QString name;
    const int length = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < length; ++i)
        name.append(QChar(alphabet[in.ConsumeIntegralInRange<size_t>(0, std::size(alphabet) - 2)]));
    return name;
}

[[noreturn]] inline void fail(const char* property, const QString& detail = {})
{
    std::fprintf(stderr, "property failed: %s\n%s\n", property, qPrintable(detail));
    std::abort();
}

inline void require(bool holds, const char* property, const QString& detail = {})
{
    if (!holds)
        fail(property, detail);
}

} // namespace FuzzText
