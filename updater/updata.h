#pragma once

#include "MinisignFormat.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class QGroupBox;
class QLabel;
class QProgressBar;
class QTimer;
class SignatureCheck;
class TransferControl;

// The updater's one window. Form_Load runs the update sequence before the window is first shown: it compares the
// installed refresher's file version with the server's, ends the program with a message when there is nothing to
// do, otherwise stops the refresher, fetches the file list and starts the transfer of the first name (in signed mode
// the list and that file's signature come first, and the refresher is stopped only when the signature holds).
// Completion arms Timer1, whose tick starts the first listed file and ends the program.
class updata : public QWidget
{
    Q_OBJECT

public:
    explicit updata(QWidget* parent = nullptr);
    ~updata() override;

    // A minisign public key (its base64 line) puts the updater in signed mode: only releases newer than the
    // installed program are taken, and only files whose signature by this key names the file and the release
    // replace anything. Empty, the default, keeps unsigned mode. Set before Form_Load.
    void setUpdatePublicKey(const QString& base64Line);
    bool isSignedMode() const { return m_signedMode; }

    // The update sequence up to the point where the window appears. False when the program has ended instead (the
    // window must then never be shown); true when the window is to be shown.
    bool Form_Load();
    // Pauses one to two seconds with events running, then starts the transfer of url into the file named by
    // Label2 and returns. False when the transfer could not be started.
    bool StartDownload(const QString& url);
    // Starts the first listed file from the program folder. False when nothing was started.
    bool she();

    QString installedVersion() const { return m_installedVersion; }
    QString localVersionTag() const { return m_localVersionTag; }
    QString firstFileName() const { return m_firstFileName; }
    bool hasEnded() const { return m_ended; }

    // Tests skip the pause before each transfer; the pause rule itself is tested on its own.
    void setStartPauseForTesting(bool enabled);

    QGroupBox* Frame1;
    QLabel* Label2;
    QProgressBar* ProgressBar1;
    QTimer* Timer1;
    TransferControl* Inet1;

signals:
    // The program is to end now: main() leaves its event loop, tests observe it.
    void programEnded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Fetches and judges a file's signature before any byte of the file is fetched. Null, with the reason in
    // Label2, when the signature is missing or refused.
    std::unique_ptr<SignatureCheck> fetchSignatureCheck(const QString& url, const QString& fileName);
    void Inet1_StateChanged(int state);
    void Timer1_Timer();
    void showProgress(qint64 written, qint64 expected);
    void endProgram();

    QString m_installedVersion;
    QString m_localVersionTag;
    QString m_firstFileName;
    QStringList m_fileList;
    QString m_versionReply;
    std::optional<MinisignFormat::PublicKey> m_trustedKey;
    // Signed mode: the first file's signature, judged before the refresher was stopped.
    std::unique_ptr<SignatureCheck> m_checkedInAdvance;
    bool m_signedMode = false;
    bool m_signatureRefused = false;
    bool m_startPause = true;
    bool m_centred = false;
    bool m_ended = false;
};
