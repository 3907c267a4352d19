#include "MinisignFormat.h"

#include <QList>
#include <QString>

#include <algorithm>

namespace {
constexpr QByteArrayView UntrustedPrefix = "untrusted comment: ";
constexpr QByteArrayView TrustedPrefix = "trusted comment: ";
// No file minisign writes comes near this; a larger reply is not a signature.
constexpr qsizetype MaxTextSize = 64 * 1024;

// Lines without their ends; minisign writes LF, an editor on Windows may have made it CRLF.
QList<QByteArrayView> lines(QByteArrayView text)
{
    QList<QByteArrayView> result;
    while (!text.isEmpty()) {
        const qsizetype end = text.indexOf('\n');
        QByteArrayView line = end < 0 ? text : text.first(end);
        if (line.endsWith('\r'))
            line.chop(1);
        result.append(line);
        text = end < 0 ? QByteArrayView() : text.sliced(end + 1);
    }
    return result;
}

// Strict base64 of exactly `size` bytes: anything else in the line makes it no key or signature.
std::optional<QByteArray> decode(QByteArrayView line, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(line.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}
} // namespace

std::optional<MinisignFormat::PublicKey> MinisignFormat::parsePublicKey(QByteArrayView text)
{
    if (text.size() > MaxTextSize)
        return std::nullopt;
    QList<QByteArrayView> all = lines(text);
    all.removeIf([](QByteArrayView line) { return line.trimmed().isEmpty(); });
    if (!all.isEmpty() && all.first().startsWith(UntrustedPrefix))
        all.removeFirst();
    if (all.size() != 1)
        return std::nullopt;
    const std::optional<QByteArray> bytes = decode(all.first().trimmed(), 2 + KeyIdSize + PublicKeySize);
    if (!bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    return PublicKey{bytes->mid(2, KeyIdSize), bytes->mid(2 + KeyIdSize)};
}

std::optional<MinisignFormat::Signature> MinisignFormat::parseSignature(QByteArrayView text)
{
    if (text.size() > MaxTextSize)
        return std::nullopt;
    QList<QByteArrayView> all = lines(text);
    // Trailing blank lines are harmless; anything else beyond the four lines is not minisign's.
    while (!all.isEmpty() && all.last().trimmed().isEmpty())
        all.removeLast();
    if (all.size() != 4 || !all[0].startsWith(UntrustedPrefix) || !all[2].startsWith(TrustedPrefix))
        return std::nullopt;
    const std::optional<QByteArray> signature = decode(all[1], 2 + KeyIdSize + SignatureSize);
    const std::optional<QByteArray> global = decode(all[3], SignatureSize);
    if (!signature || !global)
        return std::nullopt;
    Algorithm algorithm;
    if (signature->startsWith("ED"))
        algorithm = Algorithm::Prehashed;
    else if (signature->startsWith("Ed"))
        algorithm = Algorithm::Legacy;
    else
        return std::nullopt;
    return Signature{algorithm, signature->mid(2, KeyIdSize), signature->mid(2 + KeyIdSize),
                     all[2].sliced(TrustedPrefix.size()).toByteArray(), *global};
}

QString MinisignFormat::keyIdText(const QByteArray& keyId)
{
    QByteArray reversed = keyId;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}
