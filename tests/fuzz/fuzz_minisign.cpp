#include "FuzzText.h"
#include "MinisignFormat.h"

using FuzzText::require;

// A signature file comes from the update server, which may be anyone's. Whatever its bytes, the parser must take
// only exact minisign forms: fields of their fixed sizes, a one-line trusted comment, and the same result again for
// the text written back from what it took.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)MinisignFormat::parsePublicKey(text);
    const auto signature = MinisignFormat::parseSignature(text);
    if (!signature)
        return 0;
    require(signature->keyId.size() == 8 && signature->signature.size() == 64, "fixed sizes");
    require(signature->globalSignature.size() == 64, "fixed global size");
    require(!signature->trustedComment.contains('\n'), "one-line comment");
    const QByteArray algorithm = signature->algorithm == MinisignFormat::Algorithm::Prehashed ? "ED" : "Ed";
    const QByteArray again =
        "untrusted comment: x\n" + (algorithm + signature->keyId + signature->signature).toBase64() +
        "\ntrusted comment: " + signature->trustedComment + "\n" + signature->globalSignature.toBase64() + "\n";
    const auto reparsed = MinisignFormat::parseSignature(again);
    require(reparsed && reparsed->trustedComment == signature->trustedComment &&
                reparsed->signature == signature->signature && reparsed->keyId == signature->keyId,
            "written back, it reads the same");
    return 0;
}
