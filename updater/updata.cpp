#include "updata.h"

#include "BuildConfig.h"
#include "FileList.h"
#include "HttpGet.h"
#include "MessageBox.h"
#include "ProgramFolder.h"
#include "ProgressScale.h"
#include "RandomToken.h"
#include "Rollback.h"
#include "SignatureCheck.h"
#include "StartPause.h"
#include "TransferControl.h"
#include "UpdateServer.h"
#include "UpdaterIcon.h"
#include "UpdaterMain.h"
#include "VersionDecision.h"
#include "WindowLook.h"
#include "WindowPlacement.h"
#include "platform/Platform.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLockFile>
#include <QProcess>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <utility>

updata::updata(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Frame1(new QGroupBox(this)), Label2(new QLabel(Frame1)), ProgressBar1(new QProgressBar(Frame1)),
      Timer1(new QTimer(this)), Inet1(new TransferControl(this)), m_handOver(new HandOver(this)),
      m_idleClose(new QTimer(this))
{
    setObjectName(QStringLiteral("updata"));
    setWindowTitle(QStringLiteral("自动更新程序"));
    setWindowIcon(UpdaterIcon::make());
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSizeF(8.25);
    setFont(font);
    setFixedSize(550, 119);

    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setTitle(QStringLiteral("更新文件："));
    Frame1->setGeometry(16, 16, 513, 89);
    WindowLook::classicGroupBox(Frame1);

    Label2->setObjectName(QStringLiteral("Label2"));
    // It shows names and lengths the server sent; text that looks like HTML must not draw into the window.
    Label2->setTextFormat(Qt::PlainText);
    Label2->setGeometry(24, 24, 473, 17);

    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(24, 56, 441, 17);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(0);
    Timer1->stop();

    Inet1->setObjectName(QStringLiteral("Inet1"));

    connect(Inet1, &TransferControl::stateChanged, this, &updata::Inet1_StateChanged);
    connect(Inet1, &TransferControl::progress, this, &updata::showProgress);
    connect(Timer1, &QTimer::timeout, this, &updata::Timer1_Timer);
    connect(m_handOver, &HandOver::finished, this, &updata::handOverFinished);
    // While a new refresher is watched, nothing of the updater stays over it.
    connect(m_handOver, &HandOver::launched, this, &QWidget::hide);
    m_idleClose->setSingleShot(true);
    connect(m_idleClose, &QTimer::timeout, this, &updata::endProgram);
}

updata::~updata()
{
    removeDownloads();
}

void updata::setUpdatePublicKeys(const QString& keyList)
{
    m_signedMode = !keyList.isEmpty();
    m_trustedKeys.clear();
    for (const QString& line : keyList.split(u',')) {
        const std::optional<MinisignFormat::PublicKey> key = MinisignFormat::parsePublicKey(line.toLatin1());
        // One entry that does not parse (an empty one too: a key that was meant and is missing) leaves signed mode on
        // with no key to trust, so every file is refused. Trusting the others instead would make a build that passes
        // every check with the old key and strands its users once releases are signed with the new one; refusing
        // everything shows the broken build at its first update.
        if (!key) {
            m_trustedKeys.clear();
            return;
        }
        m_trustedKeys.append(*key);
    }
}

bool updata::Form_Load()
{
    // A second updater would fetch the same file beside the first and stop the refresher under it: it ends at once,
    // touching nothing. The lock lives in the program folder: whoever cannot write there cannot update it anyway.
    m_instanceLock = Rollback::lockFolder();
    if (!m_instanceLock)
        return endUntouched(
            QStringLiteral("另一个更新程序正在更新这个文件夹中的程序（或无法写入这个文件夹），本程序没有做任何改动。"));
    const QString refresher = ProgramFolder::filePath(Platform::executableName(QStringLiteral("Pagewell")));
    // What an earlier run could not finish (a watch, a transfer cut short) is settled before anything else.
    Rollback::settle(refresher, !Platform::processesOf(refresher).isEmpty());
    Rollback::removeTransferLeftovers();
    Platform::removeAsideFiles(ProgramFolder::path());
    m_installedVersion = Platform::fileVersion(refresher);
    m_localVersionTag = VersionDecision::localVersionTag(m_installedVersion);

    const std::optional<QString> reply = HttpGet::get(UpdateServer::updaterVersionUrl(), BuildConfig::UpdaterTimeoutMs);
    m_versionReply = reply.value_or(QString());
    const auto policy = m_signedMode ? VersionDecision::Policy::NewerOnly : VersionDecision::Policy::AnyOtherTag;
    switch (VersionDecision::decide(reply, m_installedVersion, policy)) {
    case VersionDecision::Outcome::NoReply:
        message(QStringLiteral("ERR.无法连接到更新服务器，请直接到官网下载。"));
        [[fallthrough]];
    case VersionDecision::Outcome::NotATag:
        message(QStringLiteral("ERR.连接到更新服务器出错，请直接到官网下载。"));
        endProgram();
        return false;
    case VersionDecision::Outcome::UpToDate:
        message(QStringLiteral("已是最新版本，暂时不用更新。"));
        endProgram();
        return false;
    case VersionDecision::Outcome::Proceed:
        break;
    }
    // A release that could not be installed here is not taken again for a while, and a refresher that starts the
    // updater need not tell anybody each time.
    QDateTime heldUntil;
    if (Rollback::isHeld(m_versionReply, QDateTime::currentDateTime(), &heldUntil))
        return endUntouched(
            QStringLiteral("暂不更新：这个版本上次没能在本机装好，%1 之前不再尝试（服务器提供其他版本时除外）。")
                .arg(heldUntil.toString(QStringLiteral("yyyy-MM-dd HH:mm"))));

    // The refresher keeps running until the new file is complete (and, in signed mode, proven the vendor's): a
    // failure on the way leaves it refreshing as before.
    const std::optional<HttpGet::Response> list =
        HttpGet::fetch(UpdateServer::fileListUrl(RandomToken::next()), BuildConfig::UpdaterTimeoutMs);
    // An error page is no list: its text could name a file.
    if (!list || !list->isSuccess()) {
        // The window stays idle, as with any failed download, but says why.
        becomeIdle(QStringLiteral("下载失败：无法获取更新文件列表"));
        return true;
    }
    m_fileList = FileList::split(QString::fromUtf8(list->body));
    m_firstFileName = m_fileList.value(0);

    if (std::none_of(m_fileList.cbegin(), m_fileList.cend(), FileList::isPlainFileName)) {
        becomeIdle(QStringLiteral("下载失败：更新文件列表中没有可下载的文件"));
        return true;
    }
    // The update ends by starting the first listed file: one that would be refused then is refused now, before
    // anything is fetched or stopped.
    if (!HandOver::mayStart(m_firstFileName) || !FileList::mayReplace(m_firstFileName)) {
        becomeIdle(QStringLiteral(
                       "下载失败：更新文件列表的第一个文件“%1”不能在更新后启动（它不是普通的文件名，或是更新程序本身）")
                       .arg(m_firstFileName));
        return true;
    }
    // Every listed file is fetched, one after the other, before anything is stopped; the release is installed whole
    // or not at all, so a name that could not be put in place refuses it all.
    for (const QString& name : std::as_const(m_fileList)) {
        if (name.isEmpty() || m_queue.contains(name))
            continue;
        if (!FileList::mayReplace(name)) {
            becomeIdle(QStringLiteral("下载失败：更新文件列表中的“%1”不是可以更新的文件名").arg(name));
            return true;
        }
        m_queue.append(name);
    }
    if (m_signedMode) {
        m_checkedInAdvance = fetchSignatureCheck(UpdateServer::fileUrl(m_firstFileName), m_firstFileName);
        if (!m_checkedInAdvance)
            return true;
    }
    fetchNext();
    return true;
}

void updata::fetchNext()
{
    if (m_ended || m_signatureRefused)
        return;
    if (m_queue.isEmpty())
        return allFetched();
    const QString name = m_queue.takeFirst();
    Label2->setText(QDir::toNativeSeparators(ProgramFolder::path() + QLatin1Char('/') + name));
    StartDownload(UpdateServer::fileUrl(name));
}

void updata::allFetched()
{
    // A new updater takes over every later update: it must run here before it replaces the one that does.
    const QString self = Platform::executableName(QStringLiteral("update"));
    for (const HandOver::File& file : std::as_const(m_downloaded)) {
        if (QFileInfo(file.targetPath).fileName().compare(self, Qt::CaseInsensitive) == 0 &&
            !passesSelfTest(file.downloadedFile)) {
            removeDownloads();
            Rollback::hold(m_versionReply);
            becomeIdle(QStringLiteral("更新失败：新版本的更新程序无法在本机运行，没有替换任何文件"));
            return;
        }
    }
    // The refresher goes on refreshing through this pause.
    Timer1->setInterval(2000);
    Timer1->start();
}

bool updata::passesSelfTest(const QString& program)
{
    Platform::makeExecutable(program);
    QProcess test;
    test.start(program, {QString::fromLatin1(UpdaterMain::SelfTestOption)});
    const bool ended = test.waitForFinished(SelfTestMs);
    if (!ended)
        test.kill();
    return ended && test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0 &&
           test.readAllStandardOutput().startsWith(UpdaterMain::SelfTestAnswer);
}

void updata::removeDownloads()
{
    for (const HandOver::File& file : std::exchange(m_downloaded, {}))
        QFile::remove(file.downloadedFile);
}

bool updata::StartDownload(const QString& url)
{
    if (m_startPause)
        StartPause::wait();
    if (m_ended)
        return false;
    // Label2 hands over the local path, as it reads once the pause is over.
    const QString path = QDir::fromNativeSeparators(Label2->text());
    std::unique_ptr<SignatureCheck> check = std::move(m_checkedInAdvance);
    if (m_signedMode && !check) {
        check = fetchSignatureCheck(url, QFileInfo(path).fileName());
        if (!check)
            return false;
    }
    if (!Inet1->execute(url, path, std::move(check))) {
        removeDownloads();
        becomeIdle(QStringLiteral("下载失败：") + Inet1->errorText());
        return false;
    }
    return true;
}

std::unique_ptr<SignatureCheck> updata::fetchSignatureCheck(const QString& url, const QString& fileName)
{
    const QString signatureName = fileName + QStringLiteral(".minisig");
    const std::optional<HttpGet::Response> signature =
        HttpGet::fetch(url + QStringLiteral(".minisig"), BuildConfig::UpdaterTimeoutMs);
    QString refusal;
    std::unique_ptr<SignatureCheck> check;
    if (!signature)
        refusal = QStringLiteral("无法获取签名文件 %1").arg(signatureName);
    else if (!signature->isSuccess())
        refusal = QStringLiteral("缺少签名文件 %1（HTTP %2）").arg(signatureName).arg(signature->status);
    else if (m_trustedKeys.isEmpty())
        refusal = QStringLiteral("内置的签名公钥无效");
    else {
        check = std::make_unique<SignatureCheck>(m_trustedKeys, signature->body, m_versionReply, fileName);
        refusal = check->refusal();
    }
    if (refusal.isEmpty())
        return check;
    m_signatureRefused = true;
    removeDownloads();
    becomeIdle(QStringLiteral("下载失败：") + refusal);
    return nullptr;
}

void updata::Inet1_StateChanged(int state)
{
    if (m_ended)
        return;
    if (state == TransferControl::StateError) {
        // The window stays open and idle; the user closes it. Nothing of the release is kept.
        removeDownloads();
        becomeIdle(QStringLiteral("下载失败：") + Inet1->errorText());
        return;
    }
    if (state != TransferControl::StateResponseCompleted)
        return;

    const ProgressScale::Bar bar = ProgressScale::complete(Inet1->bytesWritten());
    ProgressBar1->setRange(0, bar.maximum);
    ProgressBar1->setValue(bar.value);
    const HandOver::File file{Inet1->takeCompletedFile(), Inet1->targetPath()};
    m_downloaded.append(file);
    // A file new to the folder has no permission bits to keep; the first listed one is started next, so it must
    // be runnable.
    if (!Inet1->replacedExistingFile() && QFileInfo(file.targetPath).fileName() == m_firstFileName)
        Platform::makeExecutable(file.downloadedFile);
    fetchNext();
}

void updata::Timer1_Timer()
{
    Timer1->stop();
    if (!m_ended)
        she();
}

void updata::she()
{
    m_handOver->start({std::exchange(m_downloaded, {}), m_handed, m_versionReply});
}

void updata::handOverFinished(HandOver::Outcome outcome)
{
    // The lock is kept until this program ends: the refresher started again may start an updater of its own at once,
    // which must end without a word rather than show a second box beside this one's.
    // The file was complete: whatever fails now is the update, not the download.
    const QString failed = QStringLiteral("更新失败：");
    switch (outcome) {
    case HandOver::Outcome::Started:
        break;
    case HandOver::Outcome::NotStopped:
        message(failed + QStringLiteral("无法停止正在运行的 %1，没有替换任何文件").arg(m_handOver->failure()));
        break;
    case HandOver::Outcome::NotReplaced:
        becomeIdle(failed + m_handOver->failure());
        return;
    case HandOver::Outcome::NotStarted:
        message(failed + QStringLiteral("无法启动 ") + m_handOver->failure());
        break;
    case HandOver::Outcome::RolledBack:
        message(QStringLiteral("新版本无法运行，已恢复原来的版本。"));
        break;
    case HandOver::Outcome::NotRestored:
        message(QStringLiteral("新版本无法运行，原来的版本无法放回原处：") + m_handOver->failure());
        break;
    }
    endProgram();
}

void updata::setStartPauseForTesting(bool enabled)
{
    m_startPause = enabled;
}

void updata::showEvent(QShowEvent* event)
{
    if (!m_centred) {
        m_centred = true;
        WindowPlacement::centreOnScreen(this);
    }
    QWidget::showEvent(event);
}

void updata::closeEvent(QCloseEvent* event)
{
    // A refresher stopped for the hand-over is started again before the program goes; complete files that were
    // never handed over go with it.
    m_handOver->abandon();
    removeDownloads();
    QWidget::closeEvent(event);
}

bool updata::endUntouched(const QString& reason)
{
    // A refresher that started the updater learns nothing from a box nobody reads; a person who started it does.
    if (m_handed) {
        endProgram();
        return false;
    }
    Label2->setText(reason);
    return true;
}

void updata::message(const QString& text)
{
    MessageBox::show(this, text, m_handed ? m_autoCloseMs : 0);
}

void updata::becomeIdle(const QString& reason)
{
    Label2->setText(reason);
    if (m_handed)
        m_idleClose->start(m_autoCloseMs);
}

void updata::showProgress(qint64 written, qint64 expected)
{
    const ProgressScale::Bar bar = ProgressScale::running(written, expected);
    if (ProgressBar1->maximum() != bar.maximum || ProgressBar1->minimum() != 0)
        ProgressBar1->setRange(0, bar.maximum);
    // Qt formats the bar's text on every change of value, shown or not, which on a fast line costs more than the
    // download itself. A step smaller than one pixel of the bar shows nothing, so such steps are gathered up; the
    // bar still follows every chunk that moves it, and always shows the end.
    const int pixelStep = bar.maximum / std::max(1, ProgressBar1->width());
    if (bar.value == bar.maximum || bar.value - ProgressBar1->value() > pixelStep)
        ProgressBar1->setValue(bar.value);
}

void updata::endProgram()
{
    // Nothing runs after this: no transfer completes, no timer fires, and an unfinished file is dropped.
    m_ended = true;
    Timer1->stop();
    m_idleClose->stop();
    Inet1->cancel();
    emit programEnded();
}
