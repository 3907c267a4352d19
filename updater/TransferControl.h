#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QNetworkAccessManager;
class SignatureCheck;
class QNetworkReply;
class QFile;

// The window's transfer control: fetches one file in the background and reports through stateChanged() on the
// user-interface thread. The body is streamed as it arrives, one write per block received (up to 512 KiB), into a
// temporary file beside the target, with the progress reported 1,024 bytes at a time and pending events processed
// every few milliseconds. A complete body (a 200 whose Content-Length was met) stays in its temporary file, on the
// disk and with the target's permission bits, until the hand-over takes it; the target is never touched here. A
// failed transfer leaves no temporary file behind.
class TransferControl : public QObject
{
    Q_OBJECT

public:
    // The state numbers the window handles; other transfer stages report nothing.
    static constexpr int StateError = 11;
    static constexpr int StateResponseCompleted = 12;
    static constexpr qint64 ChunkSize = 1024;

    explicit TransferControl(QObject* parent = nullptr);
    ~TransferControl() override;

    // Starts fetching url into targetPath and returns at once. False, with errorText() set, when no transfer could
    // be started: one is still executing, the URL is unusable, or no temporary file can be made beside the target.
    // With a signature check, every byte passes through it and the target is replaced only when it holds.
    bool execute(const QString& url, const QString& targetPath, std::unique_ptr<SignatureCheck> check = {});
    // Whether a transfer is still executing.
    bool stillExecuting() const;
    // Stops a running transfer without reporting anything; the target stays as it was.
    void cancel();

    // Why the last transfer failed, for the user.
    QString errorText() const;
    QString targetPath() const;
    // The complete file of the last transfer, beside its target; from then on the caller's to rename or remove.
    // Empty when no transfer completed or it was taken already. One not taken goes with the next transfer.
    QString takeCompletedFile();
    // Whether the last transfer's target was an existing file (whose permission bits the new one kept).
    bool replacedExistingFile() const;
    qint64 bytesWritten() const;
    // The announced length of the current body, or -1 when the reply gave none (yet).
    qint64 expectedLength() const;

    // A transfer that receives nothing for this long fails.
    void setIdleTimeoutMs(int milliseconds);

signals:
    void stateChanged(int state);
    // After the response headers (written 0) and after every chunk written.
    void progress(qint64 written, qint64 expected);

private:
    void onMetaDataChanged();
    void onFinished();
    void drain();
    // Writes what arrived and reports it chunk by chunk; false once the transfer has ended.
    bool writeBlock(const QByteArray& block);
    void complete();
    void fail(const QString& reason);
    void release();

    QNetworkAccessManager* m_manager;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<SignatureCheck> m_check;
    QTimer m_idleTimer;
    QElapsedTimer m_sinceEvents;
    QString m_targetPath;
    QString m_completedFile;
    QString m_errorText;
    qint64 m_written = 0;
    qint64 m_writebackFrom = 0;
    qint64 m_expected = -1;
    bool m_running = false;
    bool m_headersSeen = false;
    bool m_replacedExisting = false;
    bool m_draining = false;
    bool m_finishPending = false;
};
