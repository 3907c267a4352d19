#include "FuzzText.h"
#include "RefreshUrl.h"

using FuzzText::require;

// Whatever the user types, one refresh keeps the typed text, adds the scheme only when none is there, and ends in
// exactly one cache-busting token with the right separator.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const QString token = FuzzText::utf8(in, 16);
    const QString typed = QString::fromStdString(in.ConsumeRemainingBytesAsString());

    const RefreshUrl::Target target = RefreshUrl::build(typed, token);
    const bool scheme = RefreshUrl::hasScheme(typed);
    require(target.fieldText == (scheme ? typed : QStringLiteral("http://") + typed), "the field keeps the text",
            typed);
    require(RefreshUrl::hasScheme(target.fieldText), "the field always names a scheme", typed);
    require(RefreshUrl::hasScheme(target.fieldText + u'x'), "a scheme stays a scheme whatever follows", typed);
    const QString separator = typed.contains(u'?') ? QStringLiteral("&rn=") : QStringLiteral("?rn=");
    require(target.url == target.fieldText + separator + token, "the token goes at the end", target.url);
    require(RefreshUrl::updateCheckUrl(token).endsWith(QStringLiteral("&x=") + token), "the check keeps the token");
    return 0;
}
