#include "SignatureCheck.h"

#include <sodium.h>

struct SignatureCheck::HashState
{
    crypto_generichash_state state;
};

namespace {
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool verified(const QByteArray& signature, QByteArrayView message, const QByteArray& key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char*>(key.constData())) == 0;
}
} // namespace

QByteArray SignatureCheck::trustedComment(const QString& releaseVersion, const QString& fileName)
{
    return QStringLiteral("pagewell-release %1 %2").arg(releaseVersion, fileName).toUtf8();
}

SignatureCheck::SignatureCheck(const MinisignFormat::PublicKey& trustedKey, QByteArrayView signatureFile,
                               const QString& releaseVersion, const QString& fileName)
    : m_key(trustedKey), m_signature(MinisignFormat::parseSignature(signatureFile))
{
    if (!sodiumReady()) {
        m_refusal = QStringLiteral("无法初始化签名校验");
        return;
    }
    if (!m_signature) {
        m_refusal = QStringLiteral("签名文件 %1.minisig 格式无效").arg(fileName);
        return;
    }
    if (m_signature->keyId != m_key.keyId) {
        m_refusal = QStringLiteral("签名来自另一个密钥（%1），不是本程序信任的密钥（%2）")
                        .arg(MinisignFormat::keyIdText(m_signature->keyId), MinisignFormat::keyIdText(m_key.keyId));
        return;
    }
    if (!verified(m_signature->globalSignature, m_signature->signature + m_signature->trustedComment, m_key.key)) {
        m_refusal = QStringLiteral("签名无效：可信注释与签名不符");
        return;
    }
    if (m_signature->trustedComment != trustedComment(releaseVersion, fileName)) {
        m_refusal = QStringLiteral("签名属于另一个文件或版本：%1").arg(QString::fromUtf8(m_signature->trustedComment));
        return;
    }
    if (m_signature->algorithm == MinisignFormat::Algorithm::Prehashed) {
        m_hash = std::make_unique<HashState>();
        crypto_generichash_init(&m_hash->state, nullptr, 0, crypto_generichash_BYTES_MAX);
    }
}

SignatureCheck::~SignatureCheck() = default;

QString SignatureCheck::refusal() const
{
    return m_refusal;
}

void SignatureCheck::addData(QByteArrayView bytes)
{
    if (!m_refusal.isEmpty())
        return;
    m_size += bytes.size();
    if (m_hash) {
        crypto_generichash_update(&m_hash->state, reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<unsigned long long>(bytes.size()));
    } else if (m_size > LegacyLimit) {
        m_legacyBytes.clear();
        m_refusal = QStringLiteral("旧式签名（Ed）只用于不超过 %1 MiB 的文件").arg(LegacyLimit / (1024 * 1024));
    } else {
        m_legacyBytes.append(bytes);
    }
}

QString SignatureCheck::finish()
{
    if (!m_refusal.isEmpty())
        return m_refusal;
    bool valid = false;
    if (m_hash) {
        unsigned char hash[crypto_generichash_BYTES_MAX];
        crypto_generichash_final(&m_hash->state, hash, sizeof hash);
        valid = verified(m_signature->signature, QByteArrayView(hash, sizeof hash), m_key.key);
    } else {
        valid = verified(m_signature->signature, m_legacyBytes, m_key.key);
    }
    if (!valid)
        m_refusal = QStringLiteral("签名无效：文件内容与签名不符");
    return m_refusal;
}
