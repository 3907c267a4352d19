#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The text forms of minisign's public keys and detached signatures, parsed without judging any signature.
//
// A public key is one base64 line of 42 bytes: the algorithm "Ed", an 8-byte key id, the 32-byte Ed25519 key.
// A signature file is four lines: "untrusted comment: ...", base64 of 74 bytes (the algorithm "ED" for a signature
// over the BLAKE2b-512 hash of the file or "Ed" for one over the file's bytes, the key id, the 64-byte signature),
// "trusted comment: ..." and base64 of the 64-byte global signature over the signature and the trusted comment.
namespace MinisignFormat {
inline constexpr qsizetype KeyIdSize = 8;
inline constexpr qsizetype PublicKeySize = 32;
inline constexpr qsizetype SignatureSize = 64;

struct PublicKey
{
    QByteArray keyId; // as stored, little-endian
    QByteArray key;
};

enum class Algorithm
{
    Prehashed, // "ED": Ed25519 over the BLAKE2b-512 hash of the file
    Legacy,    // "Ed": Ed25519 over the file's bytes
};

struct Signature
{
    Algorithm algorithm;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment; // the text after "trusted comment: ", as bytes
    QByteArray globalSignature;
};

// The base64 line alone, or a whole public key file (its comment line is then passed over).
std::optional<PublicKey> parsePublicKey(QByteArrayView text);
std::optional<Signature> parseSignature(QByteArrayView text);

// How minisign prints a key id: 16 upper-case hex digits of the little-endian number.
QString keyIdText(const QByteArray& keyId);
} // namespace MinisignFormat
