#include "Form1.h"

#include "Artwork.h"
#include "BuildConfig.h"
#include "ClickableLabel.h"
#include "Clock.h"
#include "CommandLine.h"
#include "DateTimeText.h"
#include "FullScreenMode.h"
#include "HandedState.h"
#include "HttpCacheLimit.h"
#include "HttpGetRequest.h"
#include "IniFile.h"
#include "IntervalParser.h"
#include "MessageBox.h"
#include "Module1.h"
#include "PageKeeper.h"
#include "ProcessLauncher.h"
#include "ProgramFolder.h"
#include "RandomToken.h"
#include "RefreshUrl.h"
#include "RetryAfterProbe.h"
#include "UpdateCheck.h"
#include "WatchedPage.h"
#include "WindowLook.h"
#include "WindowPlacement.h"
#include "frmAbout.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

namespace {
// Beside the fields in user.ini: "1" while the page is shown full screen, "0" once it left it.
const QString FullScreenKey = QStringLiteral("FULLSCREEN");

QString askForUrl(QWidget* parent)
{
    bool ok = false;
    const QString answer = QInputDialog::getText(parent, QStringLiteral(" "), QStringLiteral("请输入要刷新的网址"),
                                                 QLineEdit::Normal, QStringLiteral("http://"), &ok);
    return ok ? answer : QString();
}
} // namespace

Form1::Form1(const Clock* clock, QWidget* parent)
    : QWidget(parent), m_clock(clock ? clock : &SystemClock::instance()), m_urlPrompt(askForUrl)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(settingsSection());
    setWindowIcon(QIcon(Artwork::windowIcon()));
    setFixedSize(984, 585);
    createControls();
}

Form1::~Form1()
{
    // Qt deletes the view after this window's members; what it reports on its way out must not reach them.
    WebBrowser1->disconnect(this);
    WebBrowser1->page()->disconnect(this);
}

void Form1::createControls()
{
    WebBrowser1 = new QWebEngineView(this);
    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    WebBrowser1->setGeometry(16, 120, 953, 449);
    WebBrowser1->setFocusPolicy(Qt::StrongFocus);
    HttpCacheLimit::applyTo(*WebBrowser1->page()->profile());

    Frame1 = new QGroupBox(QStringLiteral("网址"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(112, 8, 857, 97);
    WindowLook::classicGroupBox(Frame1);

    Command1 = new QPushButton(QStringLiteral("打开"), Frame1);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(720, 15, 57, 19);

    Text2 = new QLineEdit(Frame1);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(8, 16, 697, 18);

    Check1 = new QCheckBox(QStringLiteral("开启"), Frame1);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(8, 40, 49, 17);

    Text1 = new QLineEdit(Frame1);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(56, 40, 33, 18);

    Label4 = new QLabel(QStringLiteral("秒,每隔多久执行一次"), Frame1);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setGeometry(96, 43, 121, 17);

    Label3 = new QLabel(Frame1);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(224, 43, 161, 17);

    Label5 = new QLabel(Frame1);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->setGeometry(8, 72, 209, 17);

    Label6 = new QLabel(Frame1);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setGeometry(224, 72, 249, 17);

    StartNotice = new QLabel(Frame1);
    StartNotice->setObjectName(QStringLiteral("StartNotice"));
    StartNotice->setGeometry(480, 72, 369, 17);
    StartNotice->setStyleSheet(QStringLiteral("color: #b00000;"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    // A coarse timer may fire a few percent early, which would let a refresh come due a tick late or a period
    // end short of the interval; the schedule counts whole seconds, so ticks keep to the second.
    Timer1->setTimerType(Qt::PreciseTimer);

    Image1 = new ClickableLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(16, 16, 88, 87);
    Image1->setScaledContents(true);
    Image1->setPixmap(Artwork::banner());
    Image1->setCursor(Qt::PointingHandCursor);

    m_keeper = new PageKeeper(WebBrowser1, this);
    m_watched = new WatchedPage(WebBrowser1, settingsFile(), settingsSection());
    connect(m_watched, &WatchedPage::changed, this,
            [this] { setWindowTitle(settingsSection() + m_watched->watch().titleMark()); });
    m_fullScreen = new FullScreenMode(this, {WebBrowser1, m_keeper});
    // Kept at each switch, as the fields are: a display started again without options (after an update, a restart by
    // hand) shows the page as it last did.
    connect(m_fullScreen, &FullScreenMode::switched, this, [this](bool on) {
        IniFile(settingsFile()).setValue(settingsSection(), FullScreenKey, QString::number(int(on)));
    });

    setTabOrder(Text1, Check1);
    setTabOrder(Check1, WebBrowser1);
    setTabOrder(WebBrowser1, Text2);
    setTabOrder(Text2, Command1);
    Text1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    // Every change of the box runs the handler, including the unticking the handler does itself.
    connect(Check1, &QCheckBox::toggled, this, &Form1::Check1_Click);
    // The box as it stands once the handler is done, which may have unticked it again meanwhile.
    connect(Check1, &QCheckBox::toggled, m_fullScreen, [this] { m_fullScreen->setRefreshing(Check1->isChecked()); });
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Image1, &ClickableLabel::clicked, this, &Form1::Image1_Click);
    // The view's own signal, not its page's: it holds whichever page the view shows.
    connect(WebBrowser1, &QWebEngineView::renderProcessTerminated, this, &Form1::rendererEnded);
    m_recovery.setSingleShot(true);
    connect(&m_recovery, &QTimer::timeout, this, [this] { m_pendingRetry ? retryLoad() : reloadAfterCrash(); });
    // How a load ended is reported by the page alone. The view keeps this page for its whole life.
    QWebEnginePage* page = WebBrowser1->page();
    connect(page, &QWebEnginePage::loadingChanged, this, &Form1::loadChanged);
    // The document has begun to arrive once the engine has committed it, which gives the page a title of its own,
    // or reports progress past the 10 % it starts a load with; from then on the page loads as long as it likes.
    connect(page, &QWebEnginePage::titleChanged, this, [this] { m_arrived = true; });
    connect(page, &QWebEnginePage::loadProgress, this, [this](int percent) { m_arrived = m_arrived || percent > 10; });

    // The tick runs from the start; the event loop delivers it only after start-up has finished.
    Timer1->start();
}

void Form1::setUrlPromptForTesting(UrlPrompt prompt)
{
    m_urlPrompt = std::move(prompt);
}

void Form1::setNavigatorForTesting(Navigator navigator)
{
    m_navigator = std::move(navigator);
}

void Form1::setFirstRetryForTesting(qint64 firstRetryMs)
{
    m_backoff = ReloadBackoff(firstRetryMs);
}

QString Form1::failureStrip() const
{
    return m_keeper->strip();
}

void Form1::navigate(const QString& url)
{
    askFor(QUrl(url, QUrl::TolerantMode));
    emit navigated(url);
}

void Form1::askFor(const QUrl& url)
{
    // A new page replaces whatever a pending reload would have asked for.
    m_recovery.stop();
    delete m_probe;
    m_replacedTarget = m_loadWatched ? m_lastTarget : QUrl();
    m_lastTarget = url;
    if (m_navigator) {
        m_navigator(url);
        return;
    }
    m_keeper->asking(url);
    WebBrowser1->setUrl(url);
    watchLoad();
}

void Form1::watchLoad()
{
    m_loadWatched = true;
    m_arrived = false;
    m_askedAtMs = m_clock->monotonicMs();
}

void Form1::loadChanged(const QWebEngineLoadingInfo& info)
{
    using Info = QWebEngineLoadingInfo;
    // A load is stopped only when it was replaced by a newer one or cut here, and a load the page started by itself
    // (a link, a script) is the page's business. A load that had all but ended when it was replaced may still say so.
    if (info.status() == Info::LoadStartedStatus || info.status() == Info::LoadStoppedStatus || !m_loadWatched ||
        (!m_replacedTarget.isEmpty() && info.url() == m_replacedTarget))
        return;
    m_loadWatched = false;
    using Kind = ReloadBackoff::ErrorKind;
    const Kind kind = info.errorDomain() == Info::HttpStatusCodeDomain     ? Kind::HttpStatus
                      : info.errorDomain() == Info::CertificateErrorDomain ? Kind::Certificate
                                                                           : Kind::Other;
    loadEnded({info.status() == Info::LoadSucceededStatus, kind, info.errorCode()});
}

void Form1::pageNeverArrived()
{
    // The engine itself would wait for as long as the server keeps the connection open, showing the last page as if
    // all were well. Its report of the stop is passed over: this is the failure.
    m_loadWatched = false;
    WebBrowser1->stop();
    loadEnded({false, ReloadBackoff::ErrorKind::NeverBegan});
}

void Form1::loadEnded(const ReloadBackoff::LoadEnd& end)
{
    m_leftovers.pageLoadEnded();
    m_keeper->loadEnded(end, m_clock->now());
    m_watched->loadEnded(end.succeeded, m_lastTarget);
    const qint64 now = m_clock->monotonicMs();
    const std::optional<qint64> untilRefreshMs = m_schedule.msUntilDue(m_clock->now(), now);
    if (!ReloadBackoff::mayAskToWait(end))
        return retryLater(end, now, untilRefreshMs);
    m_probe = new RetryAfterProbe(m_lastTarget, this);
    connect(m_probe, &RetryAfterProbe::answered, this, [this, end, now, untilRefreshMs](std::optional<qint64> wait) {
        m_probe->deleteLater();
        ReloadBackoff::LoadEnd answered = end;
        answered.retryAfterMs = wait;
        retryLater(answered, now, untilRefreshMs);
    });
}

void Form1::retryLater(const ReloadBackoff::LoadEnd& end, qint64 endedAtMs, std::optional<qint64> untilRefreshMs)
{
    const std::optional<qint64> delay = m_backoff.delayAfterLoad(end, endedAtMs, untilRefreshMs);
    if (!delay)
        return;
    // Not a timed refresh either: the schedule, the run count, the labels and the URL field are left alone.
    m_pendingRetry = true;
    m_recovery.start(int(std::max<qint64>(0, endedAtMs + *delay - m_clock->monotonicMs())));
}

void Form1::retryLoad()
{
    // The very address that failed, not the URL field's text of now: the same page, and its token was never
    // answered, so no cache can answer in the server's place.
    askFor(m_lastTarget);
    emit navigated(m_lastTarget.toString());
}

void Form1::ensureTimerRuns()
{
    if (!Timer1->isActive())
        Timer1->start();
}

void Form1::deng()
{
    const RefreshUrl::Target target = RefreshUrl::build(Text2->text(), RandomToken::next());
    if (Text2->text() != target.fieldText)
        Text2->setText(target.fieldText);
    // The browser view loads in its own time; how the load ends is watched, not waited for.
    navigate(target.url);
}

void Form1::she()
{
    // A missing or broken updater is skipped silently: the refresher keeps working either way. What the fields hold
    // now goes across; what is typed later is saved when the updater asks this refresher to end, and taken from there.
    const HandedState state = HandedState::fromFields(Text2->text(), Text1->text(), Check1->isChecked());
    ProcessLauncher::launch(ProgramFolder::filePath(Platform::executableName(QStringLiteral("update"))),
                            QStringList{QString::fromLatin1(HandedState::FromRefresherOption)} + state.arguments());
}

void Form1::Form_Load()
{
    AppVersion = QString::fromUtf8(BuildConfig::VersionTag);
    UpdateCheckUrl = RefreshUrl::updateCheckUrl(RandomToken::next());
    // From here on a failing step is skipped and the next one runs.
    Module1::LoadFormControls(this, settingsFile(), settingsSection());
    m_watched->restore(m_given.watch, m_given.watchText);
    // What the command line gives is in the fields before the check below, so an end asked for meanwhile saves it.
    if (m_given.url)
        Text2->setText(*m_given.url);
    if (m_given.interval)
        Text1->setText(*m_given.interval);
    // The updater is started once the command line is in effect, so that it hands on the state the user asked for.
    m_updateOffered = UpdateCheck::run(UpdateCheckUrl, AppVersion, BuildConfig::CheckTimeoutMs);
    if (m_closed)
        return;
    ensureTimerRuns();
    navigate(RefreshUrl::startPage());
}

QString Form1::settingsFile()
{
    return ProgramFolder::filePath(QStringLiteral("user.ini"));
}

QString Form1::settingsSection()
{
    return QString::fromUtf8(BuildConfig::ProductName);
}

void Form1::Form_QueryUnload()
{
    // Closing is never refused, not even when the file cannot be written.
    saveFields();
}

void Form1::saveFields()
{
    Module1::SaveFormControls(this, settingsFile(), settingsSection());
}

void Form1::showEvent(QShowEvent* event)
{
    // Placed on first showing, once the window system has said how wide the frame is.
    if (!m_placed) {
        m_placed = true;
        WindowPlacement::centreOnScreen(this);
        // Before this window starts an updater of its own: what an update cut short left is settled first.
        m_leftovers.settle();
    }
    QWidget::showEvent(event);
}

void Form1::closeEvent(QCloseEvent* event)
{
    m_closed = true;
    Form_QueryUnload();
    // Only a window that showed counts as a refresher that ran: an end before that is a release that cannot run.
    if (m_placed)
        UpdateLeftovers::noteOrderlyEnd();
    event->accept();
}

void Form1::mouseDoubleClickEvent(QMouseEvent* event)
{
    // Only the bare background counts: a double-click on a label or the group box frame reaches this window
    // too, because those controls ignore mouse events.
    if (event->button() == Qt::LeftButton && !childAt(event->position().toPoint())) {
        Form_DblClick();
        event->accept();
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
}

void Form1::Form_DblClick()
{
    if (!m_about) {
        m_about = new frmAbout();
    }
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void Form1::Command1_Click()
{
    deng();
    // Saved at each use, not only at closing: a power cut or a kill after it keeps what was typed.
    saveFields();
}

void Form1::refuseTick(const QString& message, const QString& notice)
{
    if (m_unattended)
        StartNotice->setText(notice);
    else
        MessageBox::show(this, message);
    Check1->setChecked(false);
}

void Form1::Check1_Click()
{
    if (Check1->isChecked()) {
        saveFields();
        StartNotice->clear();
    }
    if (Text2->text().isEmpty() && Check1->isChecked())
        refuseTick(QStringLiteral("请先设定网址"), QStringLiteral("未设定网址，未开始刷新"));
    if (Text1->text().isEmpty() && Check1->isChecked()) {
        refuseTick(QStringLiteral("请先设定间隔时间"), QStringLiteral("未设定间隔时间，未开始刷新"));
    } else if (Check1->isChecked()) {
        const std::optional<qint64> interval = IntervalParser::seconds(Text1->text());
        if (!interval) {
            refuseTick(IntervalParser::invalidMessage(), QStringLiteral("间隔时间无效，未开始刷新"));
            return;
        }
        ensureTimerRuns();
        const QDateTime next = m_schedule.arm(m_clock->now(), m_clock->monotonicMs(), *interval);
        Label5->setText(QStringLiteral("下次执行时间为") + DateTimeText::general(next));
    }
    // Unticking leaves an armed schedule alone: it refreshes once more when it comes due.
}

void Form1::applyStartOptions(const CommandLine::Options& options)
{
    if (options.url)
        Text2->setText(*options.url);
    if (options.interval)
        Text1->setText(*options.interval);
    // As a user's tick, except that a refusal is told in the window rather than in a box that waits for OK: the
    // window comes up on the start page, unticked, and says why.
    if (options.start) {
        m_unattended = true;
        Check1->setChecked(true);
        m_unattended = false;
    }
    // Unattended, the user's page is what the screen must show, not the start page for a whole interval.
    if (options.start && Check1->isChecked()) {
        m_schedule.arm(m_clock->now(), m_clock->monotonicMs(), 0);
        runTimedRefresh();
    }
}

void Form1::startUp(const CommandLine::Options& options)
{
    // A release that already failed here gives way to the program it replaced, before it asks or shows anything.
    if (!m_leftovers.judgeStart(QCoreApplication::arguments().mid(1))) {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    m_given = options;
    Form_Load();
    // Asked to end while the update check waited: the fields are saved, and nothing else starts.
    if (m_closed)
        return;
    const bool fullScreen = IniFile(settingsFile()).value(settingsSection(), FullScreenKey) == QStringLiteral("1");
    options.fullScreen || fullScreen ? m_fullScreen->setOn(true) : show();
    applyStartOptions(options);
    if (m_updateOffered)
        she();
    m_checkSchedule.arm(m_clock->now(), m_clock->monotonicMs());
}

void Form1::setUpdateCheckPeriodForTesting(qint64 seconds)
{
    m_checkSchedule.setPeriod(seconds, 0);
    m_checkSchedule.arm(m_clock->now(), m_clock->monotonicMs());
}

void Form1::checkForUpdateAgain()
{
    m_checkSchedule.arm(m_clock->now(), m_clock->monotonicMs());
    // A running refresher must not stop for the server: unlike the start-up check, this one does not block.
    auto* request = new HttpGetRequest(RefreshUrl::updateCheckUrl(RandomToken::next()), BuildConfig::CheckTimeoutMs,
                                       HttpGet::MaxReplyBytes, this);
    connect(request, &HttpGetRequest::finished, this, [this, request] {
        request->deleteLater();
        const std::optional<HttpGet::Response>& response = request->response();
        if (UpdateCheck::offersUpdate(response ? std::optional(QString::fromUtf8(response->body)) : std::nullopt,
                                      AppVersion))
            she();
    });
}

void Form1::Timer1_Timer()
{
    const QDateTime now = m_clock->now();
    Label3->setText(QStringLiteral("当前时间:") + DateTimeText::timeOfDay(now));
    if (m_checkSchedule.isDue(now, m_clock->monotonicMs()))
        checkForUpdateAgain();
    if (m_loadWatched && !m_arrived && ReloadBackoff::arrivalOverdue(m_askedAtMs, m_clock->monotonicMs()))
        pageNeverArrived();
    if (m_schedule.isDue(now, m_clock->monotonicMs()))
        runTimedRefresh();
}

void Form1::runTimedRefresh()
{
    deng();
    const QDateTime cameDue = m_schedule.countRun();
    Label6->setText(QStringLiteral("已成功运行") + QString::number(m_schedule.runCount()) + QStringLiteral("次.上次") +
                    DateTimeText::general(cameDue));

    const std::optional<qint64> interval =
        Check1->isChecked() ? IntervalParser::seconds(Text1->text()) : std::optional<qint64>();
    if (!interval) {
        // Unticked, emptied or no longer a valid interval: no timed refresh until the box is ticked again.
        m_schedule.disarm();
        return;
    }
    ensureTimerRuns();
    // Counted from this refresh, not from the time that came due.
    const QDateTime next = m_schedule.arm(m_clock->now(), m_clock->monotonicMs(), *interval);
    Label5->setText(QStringLiteral("下次执行时间为") + DateTimeText::general(next));
}

void Form1::rendererEnded(QWebEnginePage::RenderProcessTerminationStatus status)
{
    if (status == QWebEnginePage::NormalTerminationStatus)
        return;
    // Left alone, the view stays an empty grey area until someone clicks: with nobody watching, that can be days.
    // Not a timed refresh: the schedule, the run count and the labels are left as they are.
    m_keeper->rendererEnded();
    delete m_probe;
    m_pendingRetry = false;
    m_recovery.start(int(m_backoff.delayAfterCrash(m_clock->monotonicMs())));
}

void Form1::reloadAfterCrash()
{
    // A reload brings up a new renderer and asks the server again (a revalidating request, so no cache answers),
    // for whatever the view was showing: the refreshed URL or a page the user followed a link to. Should that fail,
    // that page is what is asked for again.
    if (WebBrowser1->url().isEmpty())
        return askFor(m_lastTarget);
    m_lastTarget = WebBrowser1->url();
    m_keeper->asking(m_lastTarget);
    WebBrowser1->reload();
    watchLoad();
}

void Form1::Image1_Click()
{
    const QString answer = m_urlPrompt(this);
    if (answer.isEmpty())
        return;
    Text2->setText(answer);
    // Not loaded until the next refresh, but a picture of another page must not stand for it meanwhile.
    m_keeper->wanted(QUrl(RefreshUrl::build(answer, {}).url, QUrl::TolerantMode));
    ensureTimerRuns();
}
