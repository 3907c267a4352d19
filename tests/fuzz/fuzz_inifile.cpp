#include "FuzzText.h"
#include "IniFile.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

using FuzzText::require;

namespace {
QString trimBlanks(QString text)
{
    static const QRegularExpression blanks(QStringLiteral("^[ \t]+|[ \t]+\\z"));
    return text.remove(blanks);
}

// The value as the file can hold it: line breaks become blanks, the text goes through the file's encoding, and
// blanks around it are not part of what is read back.
QString storableValue(const QByteArray& contents, QString value)
{
    value.replace(u'\r', u' ').replace(u'\n', u' ');
    const bool utf8 = contents.startsWith("\xEF\xBB\xBF");
    QStringEncoder encoder = utf8 ? QStringEncoder(QStringConverter::Utf8) : QStringEncoder("GB18030");
    const auto flags = QStringConverter::Flag::ConvertInitialBom;
    QStringDecoder decoder = utf8 ? QStringDecoder(QStringConverter::Utf8, flags) : QStringDecoder("GB18030", flags);
    const QByteArray bytes = encoder.encode(value);
    return trimBlanks(decoder.decode(bytes));
}
} // namespace

// The INI reader on any bytes, and the writer's promises: the stored value reads back, every other key reads as it
// did, and storing the same value again changes nothing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const QString section = FuzzText::shortName(in);
    const QString key = FuzzText::shortName(in);
    const QString otherSection = FuzzText::shortName(in);
    const QString otherKey = FuzzText::shortName(in);
    const QString value = FuzzText::utf8(in, 64);
    const std::string rest = in.ConsumeRemainingBytesAsString();
    const QByteArray contents(rest.data(), qsizetype(rest.size()));

    const std::optional<QString> otherBefore = IniFile::valueIn(contents, otherSection, otherKey);
    (void)IniFile::valueIn(contents, section, key);

    const std::optional<QByteArray> written = IniFile::withValue(contents, section, key, value);
    if (!written)
        return 0;
    const std::optional<QString> readBack = IniFile::valueIn(*written, section, key);
    if (!readBack)
        FuzzText::fail("a stored key is found again", QString::fromLatin1(written->toHex()));
    if (*readBack != storableValue(contents, value))
        FuzzText::fail("the stored value reads back", *readBack + QStringLiteral(" | ") + value);

    const bool sameKey = QString::compare(trimBlanks(section), trimBlanks(otherSection), Qt::CaseInsensitive) == 0 &&
                         QString::compare(trimBlanks(key), trimBlanks(otherKey), Qt::CaseInsensitive) == 0;
    if (!sameKey)
        require(IniFile::valueIn(*written, otherSection, otherKey) == otherBefore, "other keys keep their values");

    const std::optional<QByteArray> again = IniFile::withValue(*written, section, key, value);
    if (again != written)
        FuzzText::fail("storing the same value again changes nothing",
                       QString::fromLatin1(written->toHex()) + QStringLiteral(" -> ") +
                           QString::fromLatin1(again.value_or(QByteArray("(nothing)")).toHex()));
    return 0;
}
