#include "FileList.h"

#include <QRegularExpression>

QStringList FileList::split(const QString& reply)
{
    if (reply.isEmpty())
        return {};
    return reply.split(QLatin1Char('|'), Qt::KeepEmptyParts);
}

namespace {
bool isReservedDeviceName(const QString& name)
{
    // Windows opens these devices whatever the extension: "nul.txt" is the null device.
    const QString base = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList fixed = {QStringLiteral("CON"), QStringLiteral("PRN"),    QStringLiteral("AUX"),
                                      QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (fixed.contains(base))
        return true;
    const bool numbered =
        base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")));
    return numbered && base.at(3) >= QLatin1Char('1') && base.at(3) <= QLatin1Char('9');
}
} // namespace

bool FileList::isPlainFileName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        const char16_t code = c.unicode();
        if (code < 0x20 || code == 0x7F)
            return false;
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':'))
            return false;
    }
    return !isReservedDeviceName(name);
}

bool FileList::mayReplace(const QString& name)
{
    static const QRegularExpression own(
        QStringLiteral("^(user\\.ini|update\\.lock|update\\.hold)$|\\.previous(\\.[a-z]+)?$|\\.part$"),
        QRegularExpression::CaseInsensitiveOption);
    return isPlainFileName(name) && !own.match(name).hasMatch();
}
