#include "TransferControl.h"

#include "BuildConfig.h"
#include "ContentLength.h"
#include "Rollback.h"
#include "SignatureCheck.h"
#include "SystemProxy.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace {
// Qt stops reading from the socket once this much is buffered, so memory stays flat for any body size.
constexpr qint64 ReadBufferSize = 512 * 1024;
constexpr qint64 EventIntervalMs = 5;
constexpr qint64 WritebackStep = 8 * 1024 * 1024;

// The header field by which the reply says its body is not the stored bytes as they are, or nothing: a coding of
// the content, or of the transfer other than chunked (which Qt undoes), would be written as it came; a 214 warning
// is a cache or proxy saying it transformed the body.
QByteArray fieldSayingChanged(const QNetworkReply& reply)
{
    const QByteArray content = reply.rawHeader("Content-Encoding").trimmed().toLower();
    if (!content.isEmpty() && content != "identity")
        return "Content-Encoding";
    const QByteArray transfer = reply.rawHeader("Transfer-Encoding").trimmed().toLower();
    if (!transfer.isEmpty() && transfer != "chunked")
        return "Transfer-Encoding";
    static const QRegularExpression transformed(QStringLiteral("(^|,)\\s*214\\s"));
    if (transformed.match(QString::fromLatin1(reply.rawHeader("Warning"))).hasMatch())
        return "Warning";
    return {};
}
} // namespace

TransferControl::TransferControl(QObject* parent) : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
    SystemProxy::useFor(*m_manager);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(BuildConfig::TransferIdleTimeoutMs);
    connect(&m_idleTimer, &QTimer::timeout, this,
            [this] { fail(tr("%1 秒内没有收到任何数据").arg(m_idleTimer.interval() / 1000.0)); });
}

TransferControl::~TransferControl()
{
    release();
    if (!m_completedFile.isEmpty())
        QFile::remove(m_completedFile);
}

bool TransferControl::execute(const QString& url, const QString& targetPath, std::unique_ptr<SignatureCheck> check)
{
    if (m_running) {
        m_errorText = tr("另一个文件仍在下载");
        return false;
    }
    const QUrl address(url);
    if (!address.isValid() || address.scheme() != QLatin1String("http")) {
        m_errorText = tr("地址无效：%1").arg(url);
        return false;
    }

    m_targetPath = targetPath;
    if (!m_completedFile.isEmpty())
        QFile::remove(m_completedFile);
    m_completedFile.clear();
    m_errorText.clear();
    m_written = 0;
    m_writebackFrom = 0;
    m_expected = -1;
    m_headersSeen = false;
    m_finishPending = false;
    m_replacedExisting = QFileInfo::exists(targetPath);
    m_check = std::move(check);
    // The temporary file lives beside the target, so the final rename stays on one file system and is atomic. Its
    // name is the target's and eight hex digits drawn from it: what a transfer cut short leaves is found by that, and
    // nobody else's "*.part" is taken for it (Rollback). Only the updater holding the folder's lock writes it.
    const QFileInfo target(targetPath);
    m_file = std::make_unique<QFile>(target.dir().filePath(Rollback::transferFileName(target.fileName())));
    QFile::remove(m_file->fileName());
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        m_errorText = tr("无法写入 %1（%2）").arg(targetPath, m_file->errorString());
        m_file.reset();
        return false;
    }

    QNetworkRequest request(address);
    // The bytes on the wire are the file: no transparent decompression, which would also break the length check.
    request.setRawHeader("Accept-Encoding", "identity");
    // A redirect is not the file that was asked for: it is not followed, and its status is refused like any but 200.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    m_reply = m_manager->get(request);
    m_reply->setReadBufferSize(ReadBufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &TransferControl::onMetaDataChanged);
    connect(m_reply, &QNetworkReply::readyRead, this, &TransferControl::drain);
    connect(m_reply, &QNetworkReply::finished, this, &TransferControl::onFinished);
    m_running = true;
    m_idleTimer.start();
    return true;
}

bool TransferControl::stillExecuting() const
{
    return m_running;
}

void TransferControl::cancel()
{
    release();
}

QString TransferControl::errorText() const
{
    return m_errorText;
}

QString TransferControl::targetPath() const
{
    return m_targetPath;
}

QString TransferControl::takeCompletedFile()
{
    return std::exchange(m_completedFile, QString());
}

bool TransferControl::replacedExistingFile() const
{
    return m_replacedExisting;
}

qint64 TransferControl::bytesWritten() const
{
    return m_written;
}

qint64 TransferControl::expectedLength() const
{
    return m_expected;
}

void TransferControl::setIdleTimeoutMs(int milliseconds)
{
    m_idleTimer.setInterval(milliseconds);
}

void TransferControl::onMetaDataChanged()
{
    if (!m_running || !m_reply || m_headersSeen)
        return;
    m_headersSeen = true;
    m_idleTimer.start();
    // What replaces the program must be exactly the bytes the server stores as that file, or nothing: only a
    // whole 200 reply is that. Any other status, 2xx included (206 is a part, 203 someone else's copy, 204
    // nothing), a range, or a body that a header field says was changed on the way is not the file.
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() != 200) {
        fail(tr("服务器答复 HTTP %1").arg(status.isValid() ? QString::number(status.toInt()) : tr("无状态")));
        return;
    }
    if (m_reply->hasRawHeader("Content-Range")) {
        fail(tr("服务器只发来文件的一部分（Content-Range: %1）")
                 .arg(QString::fromLatin1(m_reply->rawHeader("Content-Range"))));
        return;
    }
    const QByteArray changedBy = fieldSayingChanged(*m_reply);
    if (!changedBy.isEmpty()) {
        fail(tr("服务器发来的不是原样的文件（%1: %2）")
                 .arg(QString::fromLatin1(changedBy), QString::fromLatin1(m_reply->rawHeader(changedBy))));
        return;
    }
    // Qt finishes a chunked body that was cut mid-chunk, and a body without a length that was cut anywhere, as if
    // it were whole, so only a body whose announced length is met is known to be the whole file.
    if (m_reply->hasRawHeader("Transfer-Encoding") || !m_reply->hasRawHeader("Content-Length")) {
        fail(tr("服务器没有宣布文件长度（Content-Length），无法确认文件完整"));
        return;
    }
    const std::optional<qint64> length = ContentLength::parse(m_reply->rawHeader("Content-Length"));
    if (!length) {
        fail(tr("文件长度无效：%1").arg(QString::fromLatin1(m_reply->rawHeader("Content-Length"))));
        return;
    }
    if (*length == 0) {
        fail(tr("文件是空的"));
        return;
    }
    // The old file stays until the new one is complete, so the whole length must fit beside it.
    const QStorageInfo storage(QFileInfo(m_targetPath).absolutePath());
    if (storage.isValid() && *length > storage.bytesAvailable()) {
        fail(tr("磁盘空间不足：文件有 %1 字节，程序文件夹只剩 %2 字节").arg(*length).arg(storage.bytesAvailable()));
        return;
    }
    m_expected = *length;
    emit progress(0, m_expected);
}

void TransferControl::drain()
{
    // Processing events below can deliver more data or the end of the reply; the loop that is already running
    // picks those up, so a nested call has nothing to do.
    if (m_draining)
        return;
    m_draining = true;
    m_sinceEvents.start();
    while (m_running && m_reply && m_reply->bytesAvailable() > 0) {
        if (!m_headersSeen)
            onMetaDataChanged();
        if (!m_running)
            break;
        // All that is buffered is taken in one read: every read that leaves room in Qt's buffer wakes its network
        // thread to refill it, which costs more than the bytes themselves when done per KiB.
        const QByteArray block = m_reply->read(ReadBufferSize);
        if (block.isEmpty())
            break;
        m_idleTimer.start();
        if (!writeBlock(block))
            break;
        // The disk starts on what has been written while the rest arrives, so the flush before the rename, which
        // makes the new program survive a power loss, has little left to wait for.
        if (m_written - m_writebackFrom >= WritebackStep) {
            Platform::startWriteback(int(m_file->handle()), m_writebackFrom, m_written - m_writebackFrom);
            m_writebackFrom = m_written;
        }
    }
    m_draining = false;
    if (m_running && m_finishPending && (!m_reply || m_reply->bytesAvailable() == 0))
        complete();
}

bool TransferControl::writeBlock(const QByteArray& block)
{
    // Every body written has an announced length (onMetaDataChanged).
    if (m_written + block.size() > m_expected) {
        fail(tr("数据超出宣布的长度"));
        return false;
    }
    // One write call for all that arrived: the file is unbuffered, and a call per KiB would cost more than the
    // bytes themselves.
    if (m_file->write(block) != block.size()) {
        fail(tr("无法写入 %1（%2）").arg(m_targetPath, m_file->errorString()));
        return false;
    }
    // The check takes the block whole: one hand-over per block, not per chunk.
    if (m_check) {
        m_check->addData(block);
        if (const QString refusal = m_check->refusal(); !refusal.isEmpty()) {
            fail(refusal);
            return false;
        }
    }
    const qint64 before = m_written;
    m_written += block.size();
    // The bar follows the body 1,024 bytes at a time. Events run between chunks so the window stays responsive,
    // but at most every few milliseconds: a pass through the event loop per KiB would cost ten times the transfer
    // on a fast line. Between reads from the network the event loop runs anyway.
    for (qint64 shown = before + ChunkSize; m_running; shown += ChunkSize) {
        emit progress(std::min(shown, m_written), m_expected);
        if (m_sinceEvents.elapsed() >= EventIntervalMs) {
            QCoreApplication::processEvents();
            m_sinceEvents.start();
        }
        if (shown >= m_written)
            break;
    }
    // Events may have ended the transfer (the window closed, the program ended).
    return m_running;
}

void TransferControl::onFinished()
{
    m_finishPending = true;
    if (!m_draining)
        drain();
}

void TransferControl::complete()
{
    if (!m_reply) {
        fail(tr("连接已中断"));
        return;
    }
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(m_reply->errorString());
        return;
    }
    if (!m_headersSeen) {
        onMetaDataChanged();
        if (!m_running)
            return;
    }
    // Complete means the announced length met; a transfer without one never gets here, and would not pass.
    if (m_expected < 1 || m_written != m_expected) {
        fail(tr("数据不完整：收到 %1 字节，应为 %2 字节").arg(m_written).arg(m_expected));
        return;
    }
    if (m_check) {
        const QString refusal = m_check->finish();
        if (!refusal.isEmpty()) {
            fail(refusal);
            return;
        }
    }
    // On the disk before it replaces anything: after a power loss the folder holds the old program or the new one.
    if (!Platform::syncToDisk(int(m_file->handle()))) {
        fail(tr("无法写入 %1（%2）").arg(m_targetPath, m_file->errorString()));
        return;
    }
    m_file->close();
    // An existing target's permission bits carry over to its replacement.
    if (m_replacedExisting)
        m_file->setPermissions(QFile::permissions(m_targetPath));
    // The complete file waits beside its target for the hand-over, which alone may stop the program it replaces.
    m_completedFile = m_file->fileName();
    m_file.reset();
    release();
    emit stateChanged(StateResponseCompleted);
}

void TransferControl::fail(const QString& reason)
{
    if (!m_running)
        return;
    m_errorText = reason;
    release();
    emit stateChanged(StateError);
}

void TransferControl::release()
{
    m_running = false;
    m_idleTimer.stop();
    // A temporary file that did not replace the target goes; the target is untouched.
    if (m_file)
        m_file->remove();
    m_file.reset();
    m_check.reset();
    if (QNetworkReply* reply = m_reply.data()) {
        m_reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        // A reply that already carries an error (an error status, say) must not be aborted again; deleting it
        // closes its connection all the same.
        if (reply->error() == QNetworkReply::NoError)
            reply->abort();
        reply->deleteLater();
    }
}
