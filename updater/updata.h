#pragma once

#include "HandOver.h"
#include "HandedState.h"
#include "MinisignFormat.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class QGroupBox;
class QLockFile;
class QLabel;
class QProgressBar;
class QTimer;
class SignatureCheck;
class TransferControl;

// The updater's one window. Form_Load runs the update sequence before the window is first shown: it compares the
// installed refresher's file version with the server's, ends the program with a message when there is nothing to
// do, otherwise fetches the file list and starts the transfer of the first name (in signed mode after that file's
// signature has been judged). The refresher goes on refreshing all the while: completion arms Timer1, whose tick
// hands over (stops the refresher, puts the new file in place, starts the first listed file) and ends the program.
// Only one updater runs at a time.
class updata : public QWidget
{
    Q_OBJECT

public:
    explicit updata(QWidget* parent = nullptr);
    ~updata() override;

    // Minisign public keys (their base64 lines, separated by commas) put the updater in signed mode: only releases
    // newer than the installed program are taken, and only files whose signature by one of these keys names the
    // file and the release replace anything. More than one key lets a release signed with a new key reach updaters
    // built while the old one was still in use. Empty, the default, keeps unsigned mode. Set before Form_Load.
    void setUpdatePublicKeys(const QString& keyList);
    bool isSignedMode() const { return m_signedMode; }
    // What the refresher that started the updater was doing, to hand to the refresher that runs after it. An updater
    // with a handed state was started by a refresher, maybe on a machine nobody watches: its boxes and its idle
    // window close by themselves. Set before Form_Load.
    void setHandedState(const std::optional<HandedState>& state) { m_handed = state; }
    // Tests shorten the 30 s after which a box or an idle window closes by itself.
    void setAutoCloseMsForTesting(int milliseconds) { m_autoCloseMs = milliseconds; }

    // The update sequence up to the point where the window appears. False when the program has ended instead (the
    // window must then never be shown); true when the window is to be shown.
    bool Form_Load();
    // Pauses one to two seconds with events running, then starts the transfer of url into the file named by
    // Label2 and returns. False when the transfer could not be started.
    bool StartDownload(const QString& url);
    // Hands over: stops the refresher, puts the new file in place and starts the first listed file; ends the program
    // when done.
    void she();

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
    HandOver* handOver() const { return m_handOver; }

signals:
    // The program is to end now: main() leaves its event loop, tests observe it.
    void programEnded();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Fetches and judges a file's signature before any byte of the file is fetched. Null, with the reason in
    // Label2, when the signature is missing or refused.
    std::unique_ptr<SignatureCheck> fetchSignatureCheck(const QString& url, const QString& fileName);
    // Starts the transfer of the next listed name, or ends the fetching once every one is complete.
    void fetchNext();
    void allFetched();
    // Whether a fetched updater runs here and answers as one (before it replaces the running one).
    static bool passesSelfTest(const QString& program);
    void removeDownloads();
    void Inet1_StateChanged(int state);
    void Timer1_Timer();
    void showProgress(qint64 written, qint64 expected);
    void endProgram();
    void message(const QString& text);
    // Nothing more will happen here: an updater that a refresher started closes by itself.
    void becomeIdle(const QString& reason);
    void handOverFinished(HandOver::Outcome outcome);
    // Ends without having changed anything: at once for an updater a refresher started, else the window says why.
    // Form_Load's result.
    bool endUntouched(const QString& reason);

    QString m_installedVersion;
    QString m_localVersionTag;
    QString m_firstFileName;
    QStringList m_fileList;
    QString m_versionReply;
    // The names still to fetch, and the complete files fetched, in the order listed.
    QStringList m_queue;
    QList<HandOver::File> m_downloaded;
    std::optional<HandedState> m_handed;
    std::unique_ptr<QLockFile> m_instanceLock;
    HandOver* m_handOver;
    QTimer* m_idleClose;
    int m_autoCloseMs = 30000;
    static constexpr int SelfTestMs = 10000;
    // Signed mode: the keys a signature may be made with; none when the built-in list is broken.
    QList<MinisignFormat::PublicKey> m_trustedKeys;
    // Signed mode: the first file's signature, judged before the refresher was stopped.
    std::unique_ptr<SignatureCheck> m_checkedInAdvance;
    bool m_signedMode = false;
    bool m_signatureRefused = false;
    bool m_startPause = true;
    bool m_centred = false;
    bool m_ended = false;
};
