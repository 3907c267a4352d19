// Guards the window: enable box, schedule and clock changes, command line, renderer crashes, start-up check, settings
// saved at each use, ends of the process, lifetime, renderer choice, real web view, full screen.
#include "../support/Fixture.h"
#include "../support/RawServer.h"
#include "BuildConfig.h"
#include "ClickableLabel.h"
#include "Clock.h"
#include "DateTimeText.h"
#include "Form1.h"
#include "FullScreenMode.h"
#include "IntervalParser.h"
#include "RenderBackend.h"
#include "RetryAfterProbe.h"
#include "Rollback.h"
#include "UpdateServer.h"

#include <QDBusConnection>
#include <QQuickWindow>
#include <QWebEngineView>
#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <csignal>

namespace {
// The window on a clock of the test's own. Its view goes nowhere unless it is shown: the addresses it is sent to are
// kept instead.
struct Window final : Clock, Form1
{
    QDateTime time{QDate(2026, 12, 31), QTime(23, 59, 58)};
    qint64 monotonic = 0;
    const QDateTime t0 = time;
    QStringList urls;
    QSignalSpy loaded{WebBrowser1, &QWebEngineView::loadFinished};
    explicit Window(bool shown = false) : Form1(this)
    {
        shown ? show() : setNavigatorForTesting([this](const QUrl& url) { urls.append(url.toString()); });
    }
    QDateTime now() const override { return time; }
    qint64 monotonicMs() const override { return monotonic; }
    // A tick `seconds` after t0 on the monotonic clock, with the wall clock moved by `jump` seconds more.
    void tickAt(qint64 seconds, int jump = 0)
    {
        time = t0.addSecs(seconds + jump);
        monotonic = seconds * 1000;
        Timer1_Timer();
    }
};

const QString Tag = QString::fromUtf8(BuildConfig::VersionTag);
const QString CheckPath = QStringLiteral("/updata/pagewell/auto.asp");

// user.ini as a save into a new file writes it.
QByteArray settings(const QString& url, const QString& interval)
{
    return QStringEncoder("GB18030").encode("[" + QString::fromUtf8(BuildConfig::ProductName) + "]\r\nTEXT2=" + url +
                                            "\r\nTEXT1=" + interval + "\r\n");
}
} // namespace

// The desktop's screen saver on a session bus of the test's own: the inhibitions it holds.
class ScreenSaver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    QSet<uint> held;
public slots:
    uint Inhibit(const QString&, const QString&) { return *held.insert(uint(held.size()) + 7); }
    void UnInhibit(uint cookie) { held.remove(cookie); }
};

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        recordInsteadOfActing();
        m_bus.start(u"dbus-daemon"_qs, {u"--session"_qs, u"--nofork"_qs, u"--print-address"_qs});
        QVERIFY(m_bus.waitForReadyRead(10000));
        const QByteArray address = m_bus.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QDBusConnection desktop = QDBusConnection::connectToBus(QString::fromUtf8(address), u"desktop"_qs);
        QVERIFY(desktop.registerObject(u"/org/freedesktop/ScreenSaver"_qs, &m_screenSaver,
                                       QDBusConnection::ExportAllSlots) &&
                desktop.registerService(u"org.freedesktop.ScreenSaver"_qs));
    }
    void cleanupTestCase() { m_bus.kill(), m_bus.waitForFinished(); }
    // Every test has a program folder of its own: the window saves into it.
    void init() { events().clear(), m_folder.emplace(); }

    // First, since Qt Quick settles its scene graph for the process with the first window made: the rows must
    // come before any.
    void renderBackend_data()
    {
        QTest::addColumn<QString>("renderer");
        QTest::addColumn<QByteArray>("userBackend");
        QTest::addColumn<bool>("software");
        QTest::newRow("OpenGL on the CPU") << u"llvmpipe (LLVM 15.0.6, 256 bits)"_qs << QByteArray() << true;
        QTest::newRow("a GPU") << u"Mesa Intel(R) UHD Graphics 620 (KBL GT2)"_qs << QByteArray() << false;
        QTest::newRow("no OpenGL") << QString() << QByteArray() << true;
        QTest::newRow("the user's own backend") << u"llvmpipe"_qs << QByteArray("rhi") << false;
    }
    void renderBackend()
    {
        QFETCH(QString, renderer);
        QFETCH(QByteArray, userBackend);
        QFETCH(bool, software);
        const auto reset = qScopeGuard([] {
            qunsetenv("QT_QUICK_BACKEND");
            QQuickWindow::setSceneGraphBackend(QString());
            QQuickWindow::setGraphicsApi(QSGRendererInterface::Unknown);
        });
        if (!userBackend.isEmpty())
            qputenv("QT_QUICK_BACKEND", userBackend);
        QCOMPARE(RenderBackend::chooseFor([&] { return renderer; }), software);
        // The first Qt Quick window gets this backend. Qt 6.4's graphicsApi() goes on naming the hardware API even
        // then, so the backend's name is what tells.
        QCOMPARE(QQuickWindow::sceneGraphBackend() == u"software"_qs, software);
    }

    // The box ticked by a person ("tick") or by --start, after the stored fields (URL, interval) and the command line:
    // a person is told why in a box, while --start waits for nobody and says why in the w. A tick saves the
    // fields at once, as closing does. Expected: the two fields, the box, the run count, the window's notice.
    void tick_data()
    {
        QTest::addColumn<QString>("row");
        // Name; stored URL; stored interval; arguments, parted by "|"; the expected fields, box, run count and notice
        // (none: the arguments are refused); the message box. Ticked by --start, the user's page is loaded at once,
        // counted like any timed refresh. The fields are given as the updater hands them on (a URL may begin with "-"),
        // and as typed; arguments are parted by "|".
        for (const QString& row : QStringList{
                 u"tick: neither;;;tick;,,unticked,0,;请先设定网址"_qs,
                 u"tick: no interval;x.org;;tick;x.org,,unticked,0,;请先设定间隔时间"_qs,
                 u"tick: not a number;x.org;abc;tick;x.org,abc,unticked,0,;"_qs + IntervalParser::invalidMessage(),
                 u"tick: zero;x.org;0;tick;x.org,0,ticked,0,;"_qs, u"none;x.org;5;;x.org,5,unticked,0,;"_qs,
                 u"start;x.org;5;--start;http://x.org,5,ticked,1,;"_qs,
                 u"start, no URL stored;;5;--start;,5,unticked,0,未设定网址，未开始刷新;"_qs,
                 u"start, no interval stored;x.org;;--start;x.org,,unticked,0,未设定间隔时间，未开始刷新;"_qs,
                 u"start, invalid interval stored;x.org;5s;--start;x.org,5s,unticked,0,间隔时间无效，未开始刷新;"_qs,
                 u"fields given;x.org;;--url=-y.org/a|--interval=7|--start;http://-y.org/a,7,ticked,1,;"_qs,
                 u"fields given apart;x.org;5;--url|y.org/a|--interval| 7 ;y.org/a, 7 ,unticked,0,;"_qs,
                 // Then ticks at these seconds, the box unticked before the tick at one of them, the wall clock a
                 // number of seconds off from the tick at 2 on; refreshed at these seconds. A late tick: due at 6,
                 // refreshed at 7, so the next one is due at 10. Unticked: exactly one more refresh.
                 u"late tick, unticked;example.com/p?a=1;3;tick;http://example.com/p?a=1,3,unticked,3,;;"
                 "1 2 3 5 7 9 10 100;9;0;3 7 10"_qs,
                 u"clock set back an hour;x.org;5;tick;http://x.org,5,ticked,3,;;1 2 3 4 5 6 7 8 9 10 11 12 13 14 15;0;"
                 "-3600;5 10 15"_qs,
                 u"clock set forward an hour, or a suspend;x.org;5;tick;http://x.org,5,ticked,3,;;"
                 "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15;0;3600;2 7 12"_qs})
            QTest::newRow(qPrintable(row.section(u';', 0, 0))) << row;
        for (const char* refused : {"-start", "--url", "x.org", "--start|--bogus", "--url|--start", "--url|-x",
                                    "--interval|-5", "--watch|--start", "--interval|abc", "--interval=99999999999", "--interval="})
            QTest::newRow(refused) << u"refused;x.org;5;"_qs + refused + u";;"_qs;
    }
    void tick()
    {
        QFETCH(QString, row);
        const QStringList column = row.split(u';');
        const QString &url = column[1], &interval = column[2], &fields = column[4], &message = column[5];
        QStringList words = column[3].split(u'|', Qt::SkipEmptyParts);
        const bool byHand = words.removeAll(u"tick"_qs);
        const std::optional<CommandLine::Options> options = CommandLine::parse(QStringList{"Pagewell"} + words);
        // No fields: the options are refused.
        QCOMPARE(options.has_value(), !fields.isEmpty());
        if (!options)
            return;
        Window w;
        w.Text2->setText(url);
        w.Text1->setText(interval);
        w.applyStartOptions(*options);
        w.Check1->setChecked(w.Check1->isChecked() || byHand);
        const int seconds = w.Text1->text().toInt();
        if (w.Check1->isChecked())
            QCOMPARE(w.Label5->text(), u"下次执行时间为"_qs + DateTimeText::general(w.t0.addSecs(seconds)));
        // Each timed refresh loads the typed page with a fresh token, counts itself beside the time that came due and
        // arms the next from now.
        QStringList refreshedAt;
        for (const QString& tick : column.value(6).split(u' ', Qt::SkipEmptyParts)) {
            w.Check1->setChecked(w.Check1->isChecked() && tick != column[7]);
            const QString due = w.Label5->text().remove(u"下次执行时间为"_qs);
            w.tickAt(tick.toInt(), tick.toInt() >= 2 ? column[8].toInt() : 0);
            QCOMPARE(w.Label3->text(), u"当前时间:"_qs + DateTimeText::timeOfDay(w.time));
            if (w.RunCount() == refreshedAt.size())
                continue;
            refreshedAt.append(tick);
            QCOMPARE(w.Label6->text(), u"已成功运行%1次.上次"_qs.arg(w.RunCount()) + due);
            if (w.Check1->isChecked())
                QCOMPARE(w.Label5->text(), u"下次执行时间为"_qs + DateTimeText::general(w.time.addSecs(seconds)));
        }
        QCOMPARE(refreshedAt.join(u' '), column.value(9));
        QCOMPARE(QStringList({w.Text2->text(), w.Text1->text(), w.Check1->isChecked() ? "ticked" : "unticked",
                              QString::number(w.RunCount()), w.StartNotice->text()}),
                 fields.split(u','));
        QCOMPARE(eventsStartingWith("message "), message.isEmpty() ? QStringList{} : QStringList{message});
        const QString token =
            u"^"_qs + QRegularExpression::escape(w.Text2->text()) + (url.contains(u'?') ? "&" : "\\?");
        QCOMPARE(w.urls.filter(QRegularExpression(token + "rn=.|^$")).size(), w.RunCount());
        QCOMPARE(readFile(m_folder->path("user.ini")),
                 byHand || options->start ? settings(options->url.value_or(url), options->interval.value_or(interval))
                                          : "(unreadable)");
    }

    // The updater is started with the state in effect once the command line is applied. While it runs, Pagewell asks
    // again once a period on the wall clock (a machine asleep half the day still asks daily) or on the monotonic one
    // (a wall clock set back does not delay it), without blocking the window; an update found then goes as one found
    // at start. 打开 saves the fields at once, as closing does.
    void startupCheck_data()
    {
        QTest::addColumn<RawServer::Script>("reply");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("handed");
        const QString stored = "--from-pagewell --url=x.org --interval=7";
        const auto row = [](const char* name, const RawServer::Script& reply, const QString& handed = {},
                            const QStringList& options = {}) { QTest::newRow(name) << reply << options << handed; };
        const auto tag = [](const QByteArray& text) { return RawServer::Script{RawServer::reply(text)}; };
        row("own tag", tag(Tag.toUtf8()));
        row("own tag and a line break", tag(Tag.toUtf8() + "\n"), stored);
        row("another tag", tag(Tag.toUtf8() + "1"), stored);
        row("another tag, started ticked", tag(Tag.toUtf8() + "1"),
            "--from-pagewell --url=http://x.org --interval=9 --start", {"--start", "--interval", "9"});
        row("capital V", tag("V" + Tag.toUtf8().mid(1) + "1"));
        row("error page", {RawServer::reply("<html>" + Tag.toUtf8() + "1", 500)});
        row("no reply", {});
        // Replies are read up to 64 KiB; past that there is no reply at all.
        row("at the bound", tag("v" + QByteArray(65535, '1')), stored);
        row("over the bound", tag("v" + QByteArray(65536, '1')));
        // Without a length (closed at the end, or chunked), cut as it passes the bound, not held until the deadline.
        row("streamed past the bound", {"HTTP/1.1 200 X\r\n\r\nv", RawServer::After::Endless});
        row("streamed past the bound, chunked",
            {"HTTP/1.1 200 X\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\nv", RawServer::After::Endless});
        row("silent", {{}, RawServer::After::Hang});
    }
    void startupCheck()
    {
        QFETCH(RawServer::Script, reply);
        QFETCH(QStringList, options);
        QFETCH(QString, handed);
        RawServer server(&events());
        server.on(CheckPath, reply);
        UpdateServer::setHostsForTesting(server.host(), server.host());
        const auto reset = qScopeGuard([] { UpdateServer::setHostsForTesting({}, {}); });
        QVERIFY(writeFile(m_folder->path("user.ini"), settings("x.org", "7")));
        Window w;
        // Only a server that sends nothing holds the check until its deadline.
        const QDeadlineTimer bound(reply.after == RawServer::After::Hang ? BuildConfig::CheckTimeoutMs + 2000 : 2000);
        w.startUp(*CommandLine::parse(QStringList{"Pagewell"} + options));
        QVERIFY(!bound.hasExpired());
        QVERIFY(events().value(0).startsWith(CheckPath + "?u=up&x="));
        const auto launched = [&] {
            return eventsStartingWith("launch ").replaceInStrings(m_folder->path("update "), "");
        };
        QCOMPARE(launched(), handed.isEmpty() ? QStringList{} : QStringList{handed});
        QCOMPARE(w.urls.value(0), UpdateServer::startPageUrl());
        QCOMPARE(w.urls.size(), w.Check1->isChecked() ? 2 : 1);
        if (qstrcmp(QTest::currentDataTag(), "own tag") != 0)
            return;
        w.setUpdateCheckPeriodForTesting(86400);
        server.on(CheckPath, Tag.toUtf8() + "1");
        for (const int second : {86399, 86400, 86400})
            w.tickAt(second, -3600);
        QVERIFY(launched().isEmpty());
        QTRY_COMPARE(launched(), QStringList{"--from-pagewell --url=x.org --interval=7"});
        QCOMPARE(events().filter(CheckPath).size(), 2);
        w.Text1->setText(QStringLiteral("9"));
        w.Command1->click();
        QCOMPARE(readFile(m_folder->path("user.ini")), settings("http://x.org", "9"));
    }

    // A window closed after it showed tells a watching updater that the release ended in good order; one that never
    // showed does not (what an update left is judged in tst_updater). The program lives until its last window closes:
    // an About window open 300 ms longer keeps it that long.
    void orderlyEnd_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::newRow("closed") << true;
        QTest::newRow("closed before it showed") << false;
    }
    void orderlyEnd()
    {
        QFETCH(bool, shown);
        const QString program = m_folder->path("Pagewell");
        QVERIFY(writeFile(program, "new") && writeFile(Rollback::keptPath(program), "old") &&
                writeFile(Rollback::markerPath(program), "v2"));
        Window w;
        w.setVisible(shown);
        w.Form_DblClick();
        QPointer<frmAbout> about = w.aboutWindow();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        // Timed from before the timers are armed: a coarse timer may fire a millisecond early.
        QElapsedTimer lived;
        lived.start();
        QTimer::singleShot(0, &w, &QWidget::close);
        QTimer::singleShot(300, about, &QWidget::close);
        QTimer::singleShot(10000, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
        QVERIFY2(lived.elapsed() >= 300 && lived.elapsed() < 10000, qPrintable(QString::number(lived.elapsed())));
        QCOMPARE(Rollback::endedOrderly(program), shown);
    }

    // Pagewell as a process of its own in a folder of its own, given a URL and an interval. Ticked (--start), what was
    // typed is on disk from the tick on: a kill after it keeps it. An end asked for while the start-up check waits
    // (the build's update host takes the request and says nothing) is a close: saved, status 0. A hang-up ignored by
    // whoever started it (nohup) stays ignored.
    void endsOfTheProcess_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("signal");
        QTest::newRow("killed after a tick") << QStringList{"Pagewell", "--start"} << SIGKILL;
        QTest::newRow("ended during the start-up check") << QStringList{"Pagewell"} << SIGTERM;
        QTest::newRow("hung up during the start-up check") << QStringList{"Pagewell"} << SIGHUP;
        QTest::newRow("started under nohup, ended during the check") << QStringList{"nohup", "Pagewell"} << SIGTERM;
    }
    void endsOfTheProcess()
    {
        QFETCH(QStringList, command);
        QFETCH(int, signal);
        const bool ticked = command.contains("--start"), nohup = command.first() == u"nohup"_qs;
        const QString host = QString::fromUtf8(BuildConfig::RefresherHost), url = host + "/shown";
        RawServer server(&events(), host.section(u':', 1).toUShort());
        QVERIFY2(server.host() == host, "The build's update host is not this machine's, or is taken.");
        server.on(CheckPath, ticked ? RawServer::Script{RawServer::reply(Tag.toUtf8())}
                                    : RawServer::Script{{}, RawServer::After::Hang});
        QVERIFY(QFile::copy(QStringLiteral(PAGEWELL_PROGRAM), m_folder->path("Pagewell")));
        command.replaceInStrings(QRegularExpression("^Pagewell$"), m_folder->path("Pagewell"));
        QProcess pagewell;
        pagewell.start(command.takeFirst(), command << "--url=" + url << "--interval=7");
        QTRY_VERIFY_WITH_TIMEOUT(!events().filter(ticked ? "/shown" : CheckPath).isEmpty(), 60000);
        const QString status = QString::fromLatin1(readFile(u"/proc/%1/status"_qs.arg(pagewell.processId())));
        // SIGHUP, signal 1, is the lowest bit of the mask of ignored signals: its last hexadecimal digit is odd.
        QCOMPARE(QRegularExpression("SigIgn:\\s*\\w*[13579bdf]\\n").match(status).hasMatch(), nohup);
        QVERIFY(::kill(pid_t(pagewell.processId()), signal) == 0 && pagewell.waitForFinished(30000));
        QCOMPARE(pagewell.exitStatus() == QProcess::NormalExit && pagewell.exitCode() == 0, !ticked);
        QCOMPARE(readFile(m_folder->path("user.ini")), settings(url, "7"));
    }

    // The page comes back by itself, the same address, with no timed refresh: after its server refused it, answered
    // 5xx, 408 or 429 (waiting as long as its Retry-After asks, which is asked for once more), or took the request and
    // never answered (then answers), and after its renderer was killed as the OOM killer would. A page that arrives
    // slowly is not cut, nor a 404 asked for again. A pending retry or crash reload gives way to "打开", and a failed
    // timed refresh to the next, counted as ever, when that comes before the retry. Where a good page was shown
    // before, a person sees that page, under a strip that says why, until it is back; else what the engine shows. No
    // picture is taken of a minimised window, and another address asked for (打开, the banner) takes the picture down.
    void pageIsAskedForAgain_data()
    {
        QTest::addColumn<QString>("row");
        // good page first, server, then, requests, why
        for (const QString& row :
             u",refuses,,1,|,slow,,1,|,refuses,timed,1,|,answers,打开,3,|good,silent,,3,等待页面超时|"
             "good,refuses,,2,连接被拒绝|good,503,,4,服务器返回 503|good,429,,4,服务器返回 429|good,408,,4,服务器返回 "
             "408|"
             "good,503 slowly,,4,服务器返回 503|good,404,,2,|good,refuses,timed,2,连接被拒绝|"
             "good,refuses,timed 600,2,连接被拒绝|good,refuses,another address,0,连接被拒绝|"
             "good,refuses,banner,0,连接被拒绝|good,refuses,minimised,2,|good,refuses,full screen,2,连接被拒绝"_qs
                 .split(u'|'))
            QTest::addRow("%s", qPrintable(row)) << row;
    }
    void pageIsAskedForAgain()
    {
        QFETCH(QString, row);
        const QStringList column = row.split(u',');
        const bool good = !column[0].isEmpty();
        const QString &server = column[1], &then = column[2], &why = column[4];
        const QString host = RawServer::refusingHost();
        std::optional<RawServer> raw;
        const QByteArray page =
            RawServer::reply("<body style='background:#123456'>" + QByteArray(1000, 'p') + "</body>");
        const auto serve = [&, port = quint16(host.section(u':', 1).toUInt())](const RawServer::Script& script) {
            (raw ? *raw : raw.emplace(&events(), port)).on(u"/page"_qs, script);
        };
        Window w(true);
        w.setFirstRetryForTesting(1000);
        // The page's colour amid the view's area, in the view itself or in the window, whatever lies over the view.
        const auto shown = [&w](QWidget& widget) {
            return widget.grab().toImage().pixel(widget.mapFrom(&w, QPoint(416, 320))) == qRgb(0x12, 0x34, 0x56);
        };
        QSignalSpy asked(&w, &Form1::navigated), titled(w.WebBrowser1->page(), &QWebEnginePage::titleChanged),
            &loaded = w.loaded;
        w.Text2->setText(host + u"/page"_qs);
        if (good) {
            serve({page});
            w.Command1->click();
            QTRY_VERIFY_WITH_TIMEOUT(shown(*w.WebBrowser1), 30000);
        }
        int notThePage = 0;
        QTimer frames;
        connect(&frames, &QTimer::timeout, this, [&] { notThePage += !shown(w); });
        frames.start(5);
        // The 503's body, painted before the load's end is told, must not show.
        const RawServer::Script failing =
            server == u"silent"_qs    ? RawServer::Script{"", RawServer::After::Hang}
            : server == u"slow"_qs    ? RawServer::Script{page, RawServer::After::Trickle}
            : server == u"answers"_qs ? RawServer::Script{page}
            : server == u"503 slowly"_qs
                ? RawServer::Script{RawServer::reply("<body style='background:#fff'>503" + QByteArray(2000, ' ') + "x",
                                                     503),
                                    RawServer::After::Trickle}
                : RawServer::Script{RawServer::reply("x", server.toInt(), "Content-Length: 1\r\nRetry-After: 2\r\n")};
        server == u"refuses"_qs ? raw.reset() : serve(failing);
        // A timed refresh that fails with the next one ten minutes away is asked for again as any other.
        const bool timed = then.startsWith(u"timed"_qs);
        w.Text1->setText(then == u"timed 600"_qs ? u"600"_qs : u"1"_qs);
        w.Check1->setChecked(timed);
        w.monotonic += w.Text1->text().toInt() * 1000;
        titled.clear();
        w.setWindowState(then == u"minimised"_qs ? Qt::WindowMinimized : Qt::WindowNoState);
        if (then == u"full screen"_qs)
            QTest::keyClick(&w, Qt::Key_F11);
        timed ? w.Timer1_Timer() : w.Command1->click();
        // A document that has not begun to arrive a minute later, on the window's clock, has failed; one that has
        // begun may take as long as it likes. The slow page's first bytes are in once the engine has committed it.
        if (server == u"silent"_qs || server == u"slow"_qs) {
            (void)QTest::qWaitFor([&] { return titled.count() > 0 && server == u"slow"_qs; },
                                  server == u"slow"_qs ? 10000 : 500);
            for (const qint64 ms : {59999, 1}) {
                QVERIFY(loaded.count() == good && w.failureStrip().isEmpty());
                w.monotonic += ms;
                w.Timer1_Timer();
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), good + 1, 30000);
        QElapsedTimer sinceFailure;
        sinceFailure.start();
        QTRY_COMPARE(w.failureStrip(), why.isEmpty() ? QString()
                                                     : u"刷新失败（%1），显示的是 %2 的页面，正在重试"_qs.arg(
                                                           why, DateTimeText::timeOfDay(w.time)));
        // In full screen, the picture and its strip are as wide as the screen.
        const QWidget* kept = w.findChild<QWidget*>(u"keptPage"_qs);
        QVERIFY(then != u"full screen"_qs ||
                (kept->geometry() == w.rect() && kept->findChild<QLabel*>()->width() == w.width()));
        if (then == u"another address"_qs || then == u"banner"_qs) {
            w.setUrlPromptForTesting([&](QWidget*) { return host + u"/other"_qs; });
            then == u"banner"_qs ? w.Image1_Click() : (w.Text2->setText(host + u"/other"_qs), w.Command1->click());
            QCOMPARE(w.failureStrip(), QString());
            return;
        }
        w.showNormal();
        if (server == u"answers"_qs) {
            QVERIFY(::kill(pid_t(w.WebBrowser1->page()->renderProcessPid()), SIGKILL) == 0);
            QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 2, 30000);
            // Another crash right after the reload: its reload waits a second.
            emit w.WebBrowser1->renderProcessTerminated(QWebEnginePage::CrashedTerminationStatus, SIGKILL);
        }
        QTest::qWait(300);
        serve({page});
        QVERIFY(w.RunCount() == timed && w.Label6->text().isEmpty() != timed &&
                w.Text2->text() == u"http://"_qs + host + u"/page"_qs);
        if (then == u"打开"_qs)
            w.Command1->click();
        w.monotonic += 1000;
        w.Timer1_Timer();
        QTRY_VERIFY_WITH_TIMEOUT(server == u"404"_qs || (loaded.last().at(0).toBool() && shown(w)), 30000);
        // Each status answer asks for 2 s, longer than the first retry.
        QVERIFY(!server.toInt() || server == u"404"_qs || sinceFailure.elapsed() >= 1700);
        QTest::qWait(1500);
        QCOMPARE(events().filter(u"/page"_qs).size(), column[3].toInt());
        QVERIFY(!then.isEmpty() || (asked.count() == loaded.count() && asked.last() == asked.at(good)));
        QCOMPARE(notThePage > 0, why.isEmpty());
    }

    // A tall page scrolled down stays where it was left through ten refreshes, timed and by 打开, without a frame
    // at its top while it loads; a page now shorter goes as far as it can; another address starts at the top.
    void scrollPositionSurvives()
    {
        RawServer server;
        // Laid out from the first bytes, the rest trickling in: the page is shown before it has loaded.
        const auto tall = [](int rest) {
            const QString html = u"<body style='margin:0'><div style='height:1000px;background:#f00'>top</div>"
                                 "<div style='background:#0f0;height:%1px'>rest</div><!--%2-->"_qs;
            return RawServer::Script{RawServer::reply(html.arg(rest).arg(QString(3000, u'-')).toUtf8()),
                                     RawServer::After::Trickle};
        };
        server.on(u"/tall"_qs, tall(5000));
        Window w(true);
        QSignalSpy& loaded = w.loaded;
        QWebEnginePage& page = *w.WebBrowser1->page();
        const auto scrolledTo = [&] { return page.scrollPosition().y(); };
        // 打开 of a path, and the load's end.
        const auto open = [&](const QString& path) {
            w.Text2->setText(server.host() + path);
            w.Command1->click();
            QVERIFY(loaded.wait(30000));
        };
        open(u"/tall"_qs);
        page.runJavaScript(u"scrollTo(0, 2000)"_qs);
        QTRY_COMPARE(scrolledTo(), 2000);
        int framesAtTop = 0;
        QTimer frames;
        connect(&frames, &QTimer::timeout, this,
                [&] { framesAtTop += w.WebBrowser1->grab().toImage().pixel(400, 200) == qRgb(255, 0, 0); });
        frames.start(5);
        w.Text1->setText(u"1"_qs);
        w.Check1->setChecked(true);
        for (int refresh = 1; refresh <= 10; ++refresh) {
            refresh % 2 ? w.Command1->click() : w.tickAt(refresh);
            QVERIFY(loaded.wait(30000));
            QTRY_COMPARE(scrolledTo(), 2000);
        }
        QCOMPARE(framesAtTop, 0);
        server.on(u"/tall"_qs, tall(1000));
        open(u"/tall"_qs);
        QTRY_COMPARE(scrolledTo(), 2000 - w.WebBrowser1->height());
        open(u"/tall?other"_qs);
        QCOMPARE(scrolledTo(), 0);
        // Scrolled by the person (a turn of the wheel) while a refresh loads: the page stays where they took it.
        page.runJavaScript(u"scrollTo(0, 1000)"_qs);
        QTRY_COMPARE(scrolledTo(), 1000);
        QSignalSpy committed(&page, &QWebEnginePage::titleChanged);
        w.Command1->click();
        QVERIFY(committed.wait(10000));
        page.runJavaScript(u"(function turn() { if (scrollY < 999) return requestAnimationFrame(turn);"
                           " dispatchEvent(new WheelEvent('wheel')); scrollTo(0, 500); })()"_qs);
        QVERIFY(loaded.wait(30000));
        QTest::qWait(300);
        QCOMPARE(scrolledTo(), 500);
    }

    // --fullscreen shows the page alone on the whole screen, refreshing unseen; Esc leaves it (and only it), F11
    // switches. The cursor hides once the mouse has rested, at the configured time or a shortened one, and comes back
    // when it moves or the full screen ends. The screen is kept awake while refreshing in full screen, and only then.
    void fullScreen_data()
    {
        QTest::addColumn<int>("idleMs");
        QTest::newRow("cursor idle shortened") << 300;
        QTest::newRow("cursor idle as configured") << 3000;
    }
    void fullScreen()
    {
        QFETCH(int, idleMs);
        UpdateServer::setHostsForTesting(RawServer::refusingHost(), RawServer::refusingHost());
        const auto reset = qScopeGuard([] { UpdateServer::setHostsForTesting({}, {}); });
        const auto blank = [] { return qApp->overrideCursor() && qApp->overrideCursor()->shape() == Qt::BlankCursor; };
        Window w;
        if (idleMs != 3000) // Else as configured.
            w.fullScreen()->setCursorIdleForTesting(idleMs);
        const QDeadlineTimer rested(idleMs - 20);
        w.startUp(*CommandLine::parse({"Pagewell", "--start", "--fullscreen", "--url=x.org", "--interval=1"}));
        QTRY_VERIFY(w.isFullScreen() && !w.Frame1->isVisible() && !w.Image1->isVisible() &&
                    w.WebBrowser1->geometry() == QRect(QPoint(), w.screen()->size()));
        QCOMPARE((w.tickAt(1), w.tickAt(2), w.RunCount()), 3);
        QTRY_COMPARE(m_screenSaver.held.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(blank(), idleMs + 5000);
        QVERIFY(rested.hasExpired());
        QTest::mouseMove(w.WebBrowser1, QPoint(idleMs / 100, 5));
        QVERIFY(!blank());
        QTRY_VERIFY_WITH_TIMEOUT(blank(), idleMs + 5000);
        // Keys pressed in turn, each with the screen it leaves: full, or the window.
        for (const QString& step : u"Esc window,Esc window,F11 full,F11 window,F11 full"_qs.split(u',')) {
            const bool full = step.endsWith(u"full"_qs);
            QTest::keyClick(&w, step.startsWith(u"Esc"_qs) ? Qt::Key_Escape : Qt::Key_F11);
            QTRY_COMPARE(w.isFullScreen(), full);
            QVERIFY(w.Frame1->isVisible() != full && !blank());
            QVERIFY(full || (w.size() == QSize(984, 585) && w.WebBrowser1->geometry() == QRect(16, 120, 953, 449)));
            QTRY_COMPARE(m_screenSaver.held.size(), int(full));
        }
        w.Check1->setChecked(false);
        QTRY_COMPARE(m_screenSaver.held.size(), 0);
        // Kept at each switch: started again without options, as after an update, the page is shown as it was.
        Window again;
        again.startUp(*CommandLine::parse({"Pagewell"}));
        QTRY_VERIFY(again.isFullScreen() && !again.Frame1->isVisible());
    }

    // The question for Retry-After has a bound on its whole time: a server that sends a line of headers every half
    // second, for ever, is cut at the bound and asks for no wait.
    void retryAfterAskIsBounded()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTimer drip;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            socket->write("HTTP/1.1 503 X\r\nRetry-After: 2\r\n");
            connect(&drip, &QTimer::timeout, socket, [socket] { socket->write("X-Drip: 1\r\n"); });
        });
        drip.start(500);
        RetryAfterProbe probe(QUrl(u"http://127.0.0.1:%1/page"_qs.arg(server.serverPort())), nullptr);
        QSignalSpy answered(&probe, &RetryAfterProbe::answered);
        QVERIFY(answered.wait(RetryAfterProbe::TimeoutMs + 3000));
        QCOMPARE(answered.first().first().value<std::optional<qint64>>(), std::nullopt);
    }

private:
    std::optional<TestFolder> m_folder;
    QProcess m_bus;
    ScreenSaver m_screenSaver;
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
