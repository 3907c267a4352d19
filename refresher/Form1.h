#pragma once

#include "CheckSchedule.h"
#include "CommandLine.h"
#include "RefreshSchedule.h"
#include "ReloadBackoff.h"
#include "UpdateLeftovers.h"
#include "frmAbout.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWidget>

#include <functional>
#include <optional>

class Clock;
class ClickableLabel;
class FullScreenMode;
class PageKeeper;
class RetryAfterProbe;
class WatchedPage;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWebEngineLoadingInfo;
class QWebEngineView;

// The refresher's main window: the browser view, the URL and interval fields, the enable box and the one-second
// tick that drives the timed refresh.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    // The clock must outlive the window; without one the window uses the system clock.
    explicit Form1(const Clock* clock = nullptr, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, created in this order: the settings file walks them in creation order.
    QWebEngineView* WebBrowser1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QPushButton* Command1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QCheckBox* Check1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    // Why timed refreshing did not start when --start asked for it; nobody need be there to press OK.
    QLabel* StartNotice = nullptr;
    QTimer* Timer1 = nullptr;
    ClickableLabel* Image1 = nullptr;

    // Form-level state.
    QString AppVersion;
    QString UpdateCheckUrl;
    const std::optional<QDateTime>& NextRunTime() const { return m_schedule.nextRunTime(); }
    int RunCount() const { return m_schedule.runCount(); }

    // One refresh of the browser view with a fresh token.
    void deng();
    // Starts the updater, handing it what this window is doing so that the refresher after the update does the same.
    void she();

    void Form_Load();
    void Form_QueryUnload();
    void Form_DblClick();
    void Command1_Click();
    void Check1_Click();
    void Timer1_Timer();
    void Image1_Click();

    // The command line's fields, then its tick of the enable box, which refreshes at once. Call once the window has
    // loaded and is shown.
    void applyStartOptions(const CommandLine::Options& options);
    // The whole start: Form_Load, the window shown, the command line applied, and then, with the state in effect,
    // the updater started when the check found another version.
    void startUp(const CommandLine::Options& options);

    // The About window while it is open, else null.
    frmAbout* aboutWindow() const { return m_about; }
    // The page alone across the whole screen (--fullscreen, F11), and the window again (F11, Esc).
    FullScreenMode* fullScreen() const { return m_fullScreen; }
    // What the strip over the view says while a refresh has failed and the last good page is kept; else empty.
    QString failureStrip() const;

    // Tests answer the URL prompt themselves (an empty answer stands for Cancel) ...
    using UrlPrompt = std::function<QString(QWidget* parent)>;
    void setUrlPromptForTesting(UrlPrompt prompt);
    // ... set the daily check's period (no spread), counted from now on the window's clock ...
    void setUpdateCheckPeriodForTesting(qint64 seconds);
    // ... and may keep the browser view from going anywhere.
    using Navigator = std::function<void(const QUrl& url)>;
    void setNavigatorForTesting(Navigator navigator);
    // Tests shorten the first retry of a failed load.
    void setFirstRetryForTesting(qint64 firstRetryMs);

signals:
    // Every address the browser view is sent to, the start page included.
    void navigated(const QString& url);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void createControls();
    // Writes the fields to the settings file, as closing does.
    void saveFields();
    // Unticks the box, saying why: in a message box to a person, in StartNotice when --start ticked it.
    void refuseTick(const QString& message, const QString& notice);
    void navigate(const QString& url);
    // Sends the view to the page, watching the load until it ends.
    void askFor(const QUrl& url);
    void watchLoad();
    void loadChanged(const QWebEngineLoadingInfo& info);
    void loadEnded(const ReloadBackoff::LoadEnd& end);
    // Asks for the page again after a failed load that ended at these times, unless a timed refresh comes first.
    void retryLater(const ReloadBackoff::LoadEnd& end, qint64 endedAtMs, std::optional<qint64> untilRefreshMs);
    void pageNeverArrived();
    void retryLoad();
    void ensureTimerRuns();
    // The daily question to the update server, in the background; an update found goes as one found at start.
    void checkForUpdateAgain();
    // A timed refresh: the page, the run count and its label, the schedule armed again or ended.
    void runTimedRefresh();
    // The renderer behind the view has ended: reload what it showed, soon but not in a loop.
    void rendererEnded(QWebEnginePage::RenderProcessTerminationStatus status);
    void reloadAfterCrash();
    static QString settingsFile();
    // The settings file's section: the product name, whatever the title says meanwhile (a watch's mark).
    static QString settingsSection();

    const Clock* m_clock;
    RefreshSchedule m_schedule;
    ReloadBackoff m_backoff;
    // The pending reload: after a crash, or a failed load asked for again. A new page replaces it.
    QTimer m_recovery;
    bool m_pendingRetry = false;
    // When the watched load was asked for, and whether its document has begun to arrive; the tick bounds the wait.
    qint64 m_askedAtMs = 0;
    bool m_arrived = false;
    // A load asked for here has not ended yet; the engine reports loads in the order they were asked for, and a
    // load that replaces one still running takes over its report.
    bool m_loadWatched = false;
    QUrl m_lastTarget;
    // The address of the watched load that the last one asked for replaced.
    QUrl m_replacedTarget;
    QPointer<frmAbout> m_about;
    UrlPrompt m_urlPrompt;
    Navigator m_navigator;
    bool m_placed = false;
    bool m_closed = false;
    // The box is being ticked by --start: a refusal may not wait for anybody.
    bool m_unattended = false;
    // The command line's fields, in effect from the moment the stored ones are loaded.
    CommandLine::Options m_given;
    bool m_updateOffered = false;
    CheckSchedule m_checkSchedule;
    UpdateLeftovers m_leftovers;
    PageKeeper* m_keeper = nullptr;
    WatchedPage* m_watched = nullptr;
    FullScreenMode* m_fullScreen = nullptr;
    // Asks the server how long it wants to be left alone after answering "not now"; the retry waits for its answer.
    QPointer<RetryAfterProbe> m_probe;
};
