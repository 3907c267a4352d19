#include "SignatureCheck.h"

#include <sodium.h>

#include <QStringList>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// The running hash, fed through a queue to a thread of its own. The queue holds at most QueueLimit bytes, so memory
// stays bounded when the disk and the network are faster than the hash.
class SignatureCheck::Hasher
{
public:
    static constexpr qsizetype QueueLimit = 4 * 1024 * 1024;

    Hasher()
    {
        crypto_generichash_init(&m_state, nullptr, 0, crypto_generichash_BYTES_MAX);
        m_thread = std::thread([this] { run(); });
    }
    ~Hasher() { stop(); }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    void add(const QByteArray& block)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queued < QueueLimit; });
        m_queue.push_back(block);
        m_queued += block.size();
        m_changed.notify_all();
    }

    std::array<unsigned char, crypto_generichash_BYTES_MAX> result()
    {
        stop();
        std::array<unsigned char, crypto_generichash_BYTES_MAX> hash{};
        crypto_generichash_final(&m_state, hash.data(), hash.size());
        return hash;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_changed.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
            if (m_queue.empty())
                return;
            const QByteArray block = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            crypto_generichash_update(&m_state, reinterpret_cast<const unsigned char*>(block.constData()),
                                      static_cast<unsigned long long>(block.size()));
            lock.lock();
            m_queued -= block.size();
            m_changed.notify_all();
        }
    }

    // Hashes what is queued, then ends the thread.
    void stop()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    crypto_generichash_state m_state;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_queue;
    qsizetype m_queued = 0;
    bool m_stopping = false;
    std::thread m_thread;
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

SignatureCheck::SignatureCheck(const QList<MinisignFormat::PublicKey>& trustedKeys, QByteArrayView signatureFile,
                               const QString& releaseVersion, const QString& fileName)
    : m_signature(MinisignFormat::parseSignature(signatureFile))
{
    if (!sodiumReady()) {
        m_refusal = QStringLiteral("无法初始化签名校验");
        return;
    }
    if (!m_signature) {
        m_refusal = QStringLiteral("签名文件 %1.minisig 格式无效").arg(fileName);
        return;
    }
    // The signature names the key it was made with: only that one of the trusted keys can judge it.
    const auto key = std::find_if(trustedKeys.cbegin(), trustedKeys.cend(),
                                  [this](const MinisignFormat::PublicKey& k) { return k.keyId == m_signature->keyId; });
    if (key == trustedKeys.cend()) {
        QStringList trusted;
        for (const MinisignFormat::PublicKey& k : trustedKeys)
            trusted.append(MinisignFormat::keyIdText(k.keyId));
        m_refusal = QStringLiteral("签名来自另一个密钥（%1），不是本程序信任的密钥（%2）")
                        .arg(MinisignFormat::keyIdText(m_signature->keyId), trusted.join(u'、'));
        return;
    }
    m_key = *key;
    if (!verified(m_signature->globalSignature, m_signature->signature + m_signature->trustedComment, m_key.key)) {
        m_refusal = QStringLiteral("签名无效：可信注释与签名不符");
        return;
    }
    if (m_signature->trustedComment != trustedComment(releaseVersion, fileName)) {
        m_refusal = QStringLiteral("签名属于另一个文件或版本：%1").arg(QString::fromUtf8(m_signature->trustedComment));
        return;
    }
    if (m_signature->algorithm == MinisignFormat::Algorithm::Prehashed)
        m_hasher = std::make_unique<Hasher>();
}

SignatureCheck::~SignatureCheck() = default;

void SignatureCheck::setLegacyLimitForTesting(qint64 bytes)
{
    s_legacyLimit = bytes;
}

QString SignatureCheck::refusal() const
{
    return m_refusal;
}

void SignatureCheck::addData(const QByteArray& block)
{
    if (!m_refusal.isEmpty())
        return;
    m_size += block.size();
    if (m_hasher) {
        m_hasher->add(block);
    } else if (m_size > s_legacyLimit) {
        m_legacyBytes.clear();
        m_refusal = QStringLiteral("旧式签名（Ed）只用于不超过 %1 MiB 的文件").arg(s_legacyLimit / (1024 * 1024));
    } else {
        m_legacyBytes.append(block);
    }
}

QString SignatureCheck::finish()
{
    if (!m_refusal.isEmpty())
        return m_refusal;
    bool valid = false;
    if (m_hasher) {
        const auto hash = m_hasher->result();
        valid = verified(m_signature->signature, QByteArrayView(hash.data(), qsizetype(hash.size())), m_key.key);
    } else {
        valid = verified(m_signature->signature, m_legacyBytes, m_key.key);
    }
    if (!valid)
        m_refusal = QStringLiteral("签名无效：文件内容与签名不符");
    return m_refusal;
}
