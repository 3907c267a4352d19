#pragma once

#include "MinisignFormat.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

// Whether a downloaded file is what the vendor signed for this release, judged with libsodium against the keys
// built into the updater. Everything that does not need the file's bytes (the signature's form, its key, the
// global signature and the trusted comment) is judged on construction, so a refused signature costs no download.
// The bytes are then added as they arrive: for the default algorithm they feed a BLAKE2b-512 hash computed on a
// thread of its own, so hashing overlaps with receiving and writing instead of adding to them; for the legacy
// algorithm, whose signature covers the bytes themselves, they are kept, up to a limit (64 MiB).
class SignatureCheck
{
public:
    static constexpr qint64 DefaultLegacyLimit = qint64(64) * 1024 * 1024;
    // Tests lower the limit so that crossing it over many blocks costs little.
    static void setLegacyLimitForTesting(qint64 bytes);

    // The trusted comment a release's signature of a file carries, e.g. "pagewell-release v1.7.0.0 Pagewell":
    // it binds the signature to one file name and one release, so signed files cannot be swapped.
    static QByteArray trustedComment(const QString& releaseVersion, const QString& fileName);

    // The signature is judged by the trusted key it names by key id; one that names no trusted key is refused.
    SignatureCheck(const QList<MinisignFormat::PublicKey>& trustedKeys, QByteArrayView signatureFile,
                   const QString& releaseVersion, const QString& fileName);
    ~SignatureCheck();
    SignatureCheck(const SignatureCheck&) = delete;
    SignatureCheck& operator=(const SignatureCheck&) = delete;

    // Why the signature is refused before any byte of the file has been seen; empty while it may still hold.
    QString refusal() const;
    // The blocks are shared with the hashing thread, not copied; they must not change afterwards.
    void addData(const QByteArray& block);
    // Why the file is refused once all its bytes have been added; empty when the signature holds.
    QString finish();

private:
    class Hasher;

    MinisignFormat::PublicKey m_key;
    std::optional<MinisignFormat::Signature> m_signature;
    std::unique_ptr<Hasher> m_hasher;
    QByteArray m_legacyBytes;
    qint64 m_size = 0;
    QString m_refusal;
    static inline qint64 s_legacyLimit = DefaultLegacyLimit;
};
