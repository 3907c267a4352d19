// Guards the window: enable box, schedule and clock changes, command line, renderer crashes, start-up check, settings
// saved at each use, ends of the process, lifetime, renderer choice, real web view.
#include "../support/Fixture.h"
#include "../support/RawServer.h"
#include "BuildConfig.h"
#include "Clock.h"
#include "CommandLine.h"
#include "DateTimeText.h"
#include "Form1.h"
#include "IniFile.h"
#include "IntervalParser.h"
#include "RenderBackend.h"
#include "RetryAfterProbe.h"
#include "Rollback.h"
#include "UpdateServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QProcess>
#include <QPushButton>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <csignal>
#include <numeric>
#include <optional>

namespace {
class FakeClock final : public Clock
{
public:
    QDateTime now() const override { return time; }
    qint64 monotonicMs() const override { return monotonic; }
    QDateTime time{QDate(2026, 12, 31), QTime(23, 59, 58)};
    qint64 monotonic = 0;
};

// A window on a fake clock whose view goes nowhere: the addresses it is sent to are kept instead.
struct Window
{
    FakeClock clock;
    const QDateTime t0 = clock.time;
    Form1 w{&clock};
    QStringList urls;
    Window()
    {
        w.setNavigatorForTesting([this](const QUrl& url) { urls.append(url.toString()); });
    }
    // A tick `seconds` after t0 on the monotonic clock, with the wall clock moved by `jump` seconds more.
    void tickAt(qint64 seconds, int jump = 0)
    {
        clock.time = t0.addSecs(seconds + jump);
        clock.monotonic = seconds * 1000;
        w.Timer1_Timer();
    }
};

const QString Tag = QString::fromUtf8(BuildConfig::VersionTag);
const QString Section = QString::fromUtf8(BuildConfig::ProductName);
const QString CheckPath = QStringLiteral("/updata/pagewell/auto.asp");

// The update server on loopback while it lives, logging into events().
struct CheckServer : RawServer
{
    explicit CheckServer(const Script& script) : RawServer(&events())
    {
        on(CheckPath, script);
        UpdateServer::setHostsForTesting(host(), host());
    }
    ~CheckServer() { UpdateServer::setHostsForTesting({}, {}); }
};

// user.ini as a save into a new file writes it.
QByteArray settings(const QString& url, const QString& interval)
{
    QStringEncoder gb18030("GB18030");
    return gb18030.encode("[" + Section + "]\r\nTEXT2=" + url + "\r\nTEXT1=" + interval + "\r\n");
}
} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { recordInsteadOfActing(); }
    // Every test has a program folder of its own: the window saves into it.
    void init()
    {
        events().clear();
        m_folder.emplace();
    }
    void cleanup() { m_folder.reset(); }

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
    // a person is told why in a box, while --start waits for nobody and says why in the window. A tick saves the
    // fields at once, as closing does. Expected: the two fields, the box, the run count, the window's notice.
    void tick_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QStringList>("messages");
        const auto row = [](const char* name, const char* url, const char* interval, const QStringList& arguments,
                            const QStringList& fields, const QStringList& messages = {}) {
            QTest::newRow(name) << QString(url) << QString(interval) << arguments << fields << messages;
        };
        const QStringList tick{"tick"}, start{"--start"};
        row("tick: neither", "", "", tick, {"", "", "unticked", "0", ""}, {u"请先设定网址"_qs});
        row("tick: no interval", "x.org", "", tick, {"x.org", "", "unticked", "0", ""}, {u"请先设定间隔时间"_qs});
        row("tick: not a number", "x.org", "abc", tick, {"x.org", "abc", "unticked", "0", ""},
            {IntervalParser::invalidMessage()});
        row("tick: zero", "x.org", "0", tick, {"x.org", "0", "ticked", "0", ""});
        // Ticked by --start, the user's page is loaded at once, counted like any timed refresh.
        row("none", "x.org", "5", {}, {"x.org", "5", "unticked", "0", ""});
        row("start", "x.org", "5", start, {"http://x.org", "5", "ticked", "1", ""});
        row("start, no URL stored", "", "5", start, {"", "5", "unticked", "0", u"未设定网址，未开始刷新"_qs});
        row("start, no interval stored", "x.org", "", start,
            {"x.org", "", "unticked", "0", u"未设定间隔时间，未开始刷新"_qs});
        row("start, invalid interval stored", "x.org", "5s", start,
            {"x.org", "5s", "unticked", "0", u"间隔时间无效，未开始刷新"_qs});
        // As the updater hands them on (a URL may begin with "-"), and as typed.
        row("fields given", "x.org", "", {"--url=-y.org/a", "--interval=7", "--start"},
            {"http://-y.org/a", "7", "ticked", "1", ""});
        row("fields given apart", "x.org", "5", {"--url", "y.org/a", "--interval", " 7 "},
            {"y.org/a", " 7 ", "unticked", "0", ""});
        for (const char* refused : {"-start", "--url", "x.org", "--start --bogus", "--url --start", "--url -x",
                                    "--interval -5", "--interval abc", "--interval=99999999999", "--interval="})
            row(refused, "x.org", "5", QString(refused).split(u' '), {});
    }
    void tick()
    {
        QFETCH(QString, url);
        QFETCH(QString, interval);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, fields);
        const bool byHand = arguments.removeAll(u"tick"_qs);
        const std::optional<CommandLine::Options> options = CommandLine::parse(QStringList{"Pagewell"} + arguments);
        // No fields: the options are refused.
        QCOMPARE(options.has_value(), !fields.isEmpty());
        if (!options)
            return;
        Window window;
        Form1& w = window.w;
        w.Text2->setText(url);
        w.Text1->setText(interval);
        w.applyStartOptions(*options);
        if (byHand)
            w.Check1->setChecked(true);
        QCOMPARE(QStringList({w.Text2->text(), w.Text1->text(), w.Check1->isChecked() ? "ticked" : "unticked",
                              QString::number(w.RunCount()), w.StartNotice->text()}),
                 fields);
        QTEST(eventsStartingWith("message "), "messages");
        if (w.Check1->isChecked())
            QCOMPARE(w.Label5->text(),
                     u"下次执行时间为"_qs + DateTimeText::general(window.t0.addSecs(w.Text1->text().toInt())));
        QCOMPARE(readFile(m_folder->path("user.ini")),
                 byHand || options->start ? settings(options->url.value_or(url), options->interval.value_or(interval))
                                          : "(unreadable)");
    }

    // Ticks at the given seconds after the box was ticked; the box is unticked before the tick at `untick`, and from
    // the tick at 2 on the wall clock is `jump` seconds off. Each timed refresh loads the typed page with a fresh
    // token, counts itself beside the time that came due and arms the next from now.
    void schedule_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QList<int>>("ticks");
        QTest::addColumn<int>("untick");
        QTest::addColumn<int>("jump");
        QTest::addColumn<QList<int>>("refreshedAt");
        // A late tick: due at 6, refreshed at 7, so the next one is due at 10. Unticked: exactly one more refresh.
        QTest::newRow("late tick, unticked")
            << 3 << QList<int>{1, 2, 3, 5, 7, 9, 10, 100} << 9 << 0 << QList<int>{3, 7, 10};
        QList<int> seconds(15);
        std::iota(seconds.begin(), seconds.end(), 1);
        QTest::newRow("clock set back an hour") << 5 << seconds << 0 << -3600 << QList<int>{5, 10, 15};
        QTest::newRow("clock set forward an hour, or a suspend") << 5 << seconds << 0 << 3600 << QList<int>{2, 7, 12};
    }
    void schedule()
    {
        QFETCH(int, interval);
        QFETCH(QList<int>, ticks);
        QFETCH(int, untick);
        QFETCH(int, jump);
        Window window;
        Form1& w = window.w;
        w.Text2->setText(QStringLiteral("example.com/p?a=1"));
        w.Text1->setText(QString::number(interval));
        w.Check1->setChecked(true);
        QList<int> refreshedAt;
        for (const int second : ticks) {
            w.Check1->setChecked(w.Check1->isChecked() && second != untick);
            const QString due = w.Label5->text().remove(u"下次执行时间为"_qs);
            window.tickAt(second, second >= 2 ? jump : 0);
            QCOMPARE(w.Label3->text(), u"当前时间:"_qs + DateTimeText::timeOfDay(window.clock.time));
            if (w.RunCount() == refreshedAt.size())
                continue;
            refreshedAt.append(second);
            QCOMPARE(w.Label6->text(), u"已成功运行%1次.上次"_qs.arg(w.RunCount()) + due);
            if (w.Check1->isChecked())
                QCOMPARE(w.Label5->text(),
                         u"下次执行时间为"_qs + DateTimeText::general(window.clock.time.addSecs(interval)));
        }
        QTEST(refreshedAt, "refreshedAt");
        QCOMPARE(window.urls.filter(QRegularExpression("^http://example\\.com/p\\?a=1&rn=.")).size(),
                 refreshedAt.size());
        QVERIFY(w.Text2->text() == u"http://example.com/p?a=1"_qs && eventsStartingWith("message ").isEmpty());
    }

    // The updater is started with the state in effect once the command line is applied.
    void startupCheck_data()
    {
        QTest::addColumn<RawServer::Script>("reply");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("handed");
        const QString stored = "--from-pagewell --url=x.org --interval=7";
        const auto row = [](const char* name, const QByteArray& reply, const QString& handed,
                            const QStringList& options = {}) {
            QTest::newRow(name) << RawServer::Script{RawServer::reply(reply)} << options << handed;
        };
        row("own tag", Tag.toUtf8(), "");
        row("own tag and a line break", Tag.toUtf8() + "\n", stored);
        row("another tag", Tag.toUtf8() + "1", stored);
        row("another tag, started ticked", Tag.toUtf8() + "1",
            "--from-pagewell --url=http://x.org --interval=9 --start", {"--start", "--interval", "9"});
        row("capital V", "V" + Tag.toUtf8().mid(1) + "1", "");
        QTest::newRow("error page") << RawServer::Script{RawServer::reply("<html>" + Tag.toUtf8() + "1", 500)}
                                    << QStringList{} << "";
        QTest::newRow("no reply") << RawServer::Script{} << QStringList{} << "";
        // Replies are read up to 64 KiB; past that there is no reply at all.
        row("at the bound", "v" + QByteArray(65535, '1'), stored);
        row("over the bound", "v" + QByteArray(65536, '1'), "");
        // Without a length (closed at the end, or chunked), cut as it passes the bound, not held until the deadline.
        for (const char* framing : {"", "Transfer-Encoding: chunked\r\n\r\nFFFFFFFF"})
            QTest::addRow("streamed past the bound%s", framing[0] ? ", chunked" : "")
                << RawServer::Script{"HTTP/1.1 200 X\r\n" + QByteArray(framing) + "\r\nv", RawServer::After::Endless}
                << QStringList{} << "";
        QTest::newRow("silent") << RawServer::Script{{}, RawServer::After::Hang} << QStringList{} << "";
    }
    void startupCheck()
    {
        QFETCH(RawServer::Script, reply);
        QFETCH(QStringList, options);
        QFETCH(QString, handed);
        CheckServer server(reply);
        QVERIFY(writeFile(m_folder->path("user.ini"), settings("x.org", "7")));
        Window window;
        Form1& w = window.w;
        QElapsedTimer clock;
        clock.start();
        w.startUp(*CommandLine::parse(QStringList{"Pagewell"} + options));
        // Only a server that sends nothing holds the check until its deadline.
        QVERIFY(clock.elapsed() < (reply.after == RawServer::After::Hang ? BuildConfig::CheckTimeoutMs + 2000 : 2000));
        QVERIFY(events().value(0).startsWith(CheckPath + "?u=up&x="));
        QCOMPARE(eventsStartingWith("launch "),
                 handed.isEmpty() ? QStringList{} : QStringList{m_folder->path("update") + ' ' + handed});
        QCOMPARE(window.urls.value(0), UpdateServer::startPageUrl());
        QCOMPARE(window.urls.size(), w.Check1->isChecked() ? 2 : 1);
        if (!options.isEmpty())
            return;
        QCOMPARE(w.Text2->text() + w.Text1->text(), "x.org7");
        // 打开 saves the fields at once, as closing does.
        w.Text1->setText(QStringLiteral("9"));
        w.Command1->click();
        QCOMPARE(readFile(m_folder->path("user.ini")), settings("http://x.org", "9"));
    }

    // While it runs, Pagewell asks again once a period on the wall clock (a machine asleep half the day still asks
    // daily) or on the monotonic one (a wall clock set back does not delay it), without blocking the window; an update
    // found goes as one found at start, with the state in effect.
    void dailyCheck()
    {
        CheckServer server({RawServer::reply(Tag.toUtf8())});
        Window window;
        window.w.startUp(*CommandLine::parse({"Pagewell", "--url=x.org", "--interval=9"}));
        window.w.setUpdateCheckPeriodForTesting(86400);
        server.on(CheckPath, Tag.toUtf8() + "1");
        for (const int second : {86399, 86400, 86400})
            window.tickAt(second, -3600);
        QVERIFY(eventsStartingWith("launch ").isEmpty());
        QTRY_COMPARE(eventsStartingWith("launch "),
                     QStringList{m_folder->path("update") + " --from-pagewell --url=x.org --interval=9"});
        QCOMPARE(events().filter(CheckPath).size(), 2);
    }

    // What an update cut short left is settled once the window shows, unless an updater holds the folder: then a watch
    // of this refresher is that updater's to end, and this one settles it only once that updater is gone. A window
    // closed after it showed tells a watching updater that it ended in good order; one that never showed does not.
    void updateLeftovers_data()
    {
        QTest::addColumn<bool>("updater");
        QTest::addColumn<bool>("shown");
        QTest::newRow("watch cut short") << false << true;
        QTest::newRow("an updater watches") << true << true;
        QTest::newRow("closed before it showed") << true << false;
    }
    void updateLeftovers()
    {
        QFETCH(bool, updater);
        QFETCH(bool, shown);
        TestFolder& folder = *m_folder;
        const QString program = folder.path("Pagewell");
        QVERIFY(writeFile(program, "new") && writeFile(Rollback::keptPath(program), "old") &&
                writeFile(Rollback::markerPath(program), "v2") && writeFile(folder.path("Pagewell.0123abcd.part"), ""));
        std::unique_ptr<QLockFile> lock = updater ? Rollback::lockFolder() : nullptr;
        const QStringList watched{"Pagewell", "Pagewell.0123abcd.part", "Pagewell.previous", "Pagewell.previous.watch"};
        Window window;
        Form1& w = window.w;
        if (shown)
            w.show();
        QCOMPARE(folder.entries(), updater ? watched : QStringList{"Pagewell"});
        w.close();
        QCOMPARE(Rollback::endedOrderly(program), updater && shown);
        lock.reset();
        if (shown)
            QTRY_COMPARE(folder.entries(), (QStringList{"Pagewell", "user.ini"}));
        QCOMPARE(readFile(program), "new");
    }

    void livesUntilLastWindowCloses()
    {
        Form1 w;
        w.show();
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
    }

    // Pagewell as a process of its own in a folder of its own, given a URL and an interval. Ticked (--start), what was
    // typed is on disk from the tick on: a kill after it keeps it. An end asked for while the start-up check waits
    // (the build's update host takes the request and says nothing) is a close: saved, status 0. A hang-up ignored by
    // whoever started it (nohup) stays ignored.
    void endsOfTheProcess_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("nohup");
        QTest::newRow("killed after a tick") << SIGKILL << false;
        QTest::newRow("ended during the start-up check") << SIGTERM << false;
        QTest::newRow("hung up during the start-up check") << SIGHUP << false;
        QTest::newRow("started under nohup, ended during the check") << SIGTERM << true;
    }
    void endsOfTheProcess()
    {
        QFETCH(int, signal);
        QFETCH(bool, nohup);
        const QString host = QString::fromUtf8(BuildConfig::RefresherHost);
        if (!host.startsWith(u"127.0.0.1:"_qs))
            QSKIP("The build's update host is not this machine.");
        QStringList requests;
        RawServer server(&requests, host.section(u':', 1).toUShort());
        QVERIFY2(server.host() == host, "The build's update host is taken.");
        const bool ticked = signal == SIGKILL;
        server.on(CheckPath, ticked ? RawServer::Script{RawServer::reply(Tag.toUtf8())}
                                    : RawServer::Script{{}, RawServer::After::Hang});
        const QString program = m_folder->path("Pagewell");
        QVERIFY(QFile::copy(QStringLiteral(PAGEWELL_PROGRAM), program));
        QStringList command{program, "--url=" + host + "/shown", "--interval=7"};
        if (ticked)
            command << "--start";
        QProcess pagewell;
        nohup ? pagewell.start("nohup", command) : pagewell.start(program, command.mid(1));
        QTRY_VERIFY_WITH_TIMEOUT(!requests.filter(ticked ? "/shown" : CheckPath).isEmpty(), 60000);
        const QString status = QString::fromLatin1(readFile(u"/proc/%1/status"_qs.arg(pagewell.processId())));
        const qulonglong ignored =
            QRegularExpression("SigIgn:\\s*(\\w+)").match(status).captured(1).toULongLong(nullptr, 16);
        QCOMPARE(bool(ignored & (1ULL << (SIGHUP - 1))), nohup);
        QVERIFY(::kill(pid_t(pagewell.processId()), signal) == 0);
        QVERIFY(pagewell.waitForFinished(30000));
        QCOMPARE(pagewell.exitStatus() == QProcess::NormalExit && pagewell.exitCode() == 0, !ticked);
        QCOMPARE(readFile(m_folder->path("user.ini")), settings(host + "/shown", "7"));
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
        QTest::addColumn<bool>("good");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("then");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("why");
        // good first,server,then,requests,why
        for (const QString& row :
             u",refuses,,1,|,slow,,1,|,refuses,timed,1,|,answers,打开,3,|good,silent,,3,等待页面超时|"
             "good,refuses,,2,连接被拒绝|good,503,,4,服务器返回 503|good,429,,4,服务器返回 429|"
             "good,408,,4,服务器返回 408|good,503 slowly,,4,服务器返回 "
             "503|good,404,,2,|good,refuses,timed,2,连接被拒绝|"
             "good,refuses,timed 600,2,连接被拒绝|good,refuses,another address,0,连接被拒绝|"
             "good,refuses,banner,0,连接被拒绝|good,refuses,minimised,2,"_qs.split(u'|'))
            QTest::addRow("%s", qPrintable(row))
                << !row.section(u',', 0, 0).isEmpty() << row.section(u',', 1, 1) << row.section(u',', 2, 2)
                << row.section(u',', 3, 3).toInt() << row.section(u',', 4);
    }
    void pageIsAskedForAgain()
    {
        QFETCH(bool, good);
        QFETCH(QString, server);
        QFETCH(QString, then);
        QFETCH(QString, why);
        QStringList requests;
        const QString host = RawServer::refusingHost();
        std::optional<RawServer> raw;
        const QByteArray page =
            RawServer::reply("<body style='background:#123456'>" + QByteArray(1000, 'p') + "</body>");
        const auto serve = [&, port = quint16(host.section(u':', 1).toUInt())](const RawServer::Script& script) {
            (raw ? *raw : raw.emplace(&requests, port)).on(u"/page"_qs, script);
        };
        FakeClock clock;
        Form1 w(&clock);
        w.show();
        w.setFirstRetryForTesting(1000);
        // The page's colour amid the view's area, in the view itself or in the window, whatever lies over the view.
        const auto shown = [&w](QWidget& widget) {
            return widget.grab().toImage().pixel(widget.mapFrom(&w, QPoint(416, 320))) == qRgb(0x12, 0x34, 0x56);
        };
        QSignalSpy asked(&w, &Form1::navigated);
        QSignalSpy loaded(w.WebBrowser1, &QWebEngineView::loadFinished);
        QSignalSpy titled(w.WebBrowser1->page(), &QWebEnginePage::titleChanged);
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
        const QHash<QString, RawServer::Script> first{
            {"silent", {"", RawServer::After::Hang}},
            {"slow", {page, RawServer::After::Trickle}},
            {"answers", {page}},
            // Its body, painted before the load's end is told, must not show.
            {"503 slowly",
             {RawServer::reply("<body style='background:#fff'>503" + QByteArray(2000, ' ') + "x", 503),
              RawServer::After::Trickle}}};
        server == u"refuses"_qs
            ? raw.reset()
            : serve(first.value(server,
                                {RawServer::reply("x", server.toInt(), "Content-Length: 1\r\nRetry-After: 2\r\n")}));
        const bool timed = then.startsWith(u"timed"_qs);
        const int interval = then == u"timed 600"_qs ? 600 : 1;
        w.Text1->setText(QString::number(interval));
        w.Check1->setChecked(timed);
        clock.monotonic += interval * 1000;
        titled.clear();
        if (then == u"minimised"_qs)
            w.showMinimized();
        timed ? w.Timer1_Timer() : w.Command1->click();
        // A document that has not begun to arrive a minute later, on the window's clock, has failed; one that has
        // begun may take as long as it likes.
        if (server == u"silent"_qs || server == u"slow"_qs) {
            // The slow page's first bytes are in once the engine has committed it (a title of its own).
            server == u"slow"_qs ? (void)QTest::qWaitFor([&] { return titled.count() > 0; }, 10000) : QTest::qWait(500);
            for (const qint64 ms : {59999, 1}) {
                QVERIFY(loaded.count() == good && w.failureStrip().isEmpty());
                clock.monotonic += ms;
                w.Timer1_Timer();
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), good + 1, 30000);
        QElapsedTimer sinceFailure;
        sinceFailure.start();
        QTRY_COMPARE(w.failureStrip(), why.isEmpty() ? QString()
                                                     : u"刷新失败（%1），显示的是 %2 的页面，正在重试"_qs.arg(
                                                           why, DateTimeText::timeOfDay(clock.time)));
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
        clock.monotonic += 1000;
        w.Timer1_Timer();
        QTRY_VERIFY_WITH_TIMEOUT(server == u"404"_qs || (loaded.last().at(0).toBool() && shown(w)), 30000);
        // Each status answer asks for 2 s, longer than the first retry.
        QVERIFY(!server.toInt() || server == u"404"_qs || sinceFailure.elapsed() >= 1700);
        QTest::qWait(1500);
        QTEST(int(requests.filter(u"/page"_qs).size()), "requests");
        if (then.isEmpty())
            QVERIFY(asked.count() == loaded.count() && asked.last() == asked.at(good));
        QCOMPARE(notThePage > 0, why.isEmpty());
    }

    // A tall page scrolled down stays where it was left through ten refreshes, timed and by 打开, without a frame
    // at its top while it loads; a page now shorter goes as far as it can; another address starts at the top.
    void scrollPositionSurvives()
    {
        RawServer server;
        const auto tall = [](int rest) {
            const QByteArray height = QByteArray::number(rest);
            // Laid out from the first bytes, the rest trickling in: the page is shown before it has loaded.
            return RawServer::Script{
                RawServer::reply("<body style='margin:0'><div style='height:1000px;background:#f00'>"
                                 "top</div><div style='background:#0f0;height:" +
                                 height + "px'>rest</div><!--" + QByteArray(3000, '-') + "-->"),
                RawServer::After::Trickle};
        };
        server.on(u"/tall"_qs, tall(5000));
        server.on(u"/other"_qs, tall(5000));
        FakeClock clock;
        Form1 w(&clock);
        w.show();
        QSignalSpy loaded(w.WebBrowser1, &QWebEngineView::loadFinished);
        const auto scrolledTo = [&] { return w.WebBrowser1->page()->scrollPosition().y(); };
        w.Text2->setText(server.host() + u"/tall"_qs);
        w.Command1->click();
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, 30000);
        w.WebBrowser1->page()->runJavaScript(u"scrollTo(0, 2000)"_qs);
        QTRY_COMPARE(scrolledTo(), 2000);
        int framesAtTop = 0;
        QTimer frames;
        connect(&frames, &QTimer::timeout, this,
                [&] { framesAtTop += w.WebBrowser1->grab().toImage().pixel(400, 200) == qRgb(255, 0, 0); });
        frames.start(5);
        w.Text1->setText(u"1"_qs);
        w.Check1->setChecked(true);
        for (int refresh = 1; refresh <= 10; ++refresh) {
            clock.time = clock.time.addSecs(1);
            clock.monotonic += 1000;
            refresh % 2 ? w.Command1->click() : w.Timer1_Timer();
            QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), refresh + 1, 30000);
            QTRY_COMPARE(scrolledTo(), 2000);
        }
        QCOMPARE(framesAtTop, 0);
        server.on(u"/tall"_qs, tall(1000));
        w.Command1->click();
        QTRY_COMPARE(loaded.count(), 12);
        QTRY_COMPARE(scrolledTo(), 2000 - w.WebBrowser1->height());
        w.Text2->setText(server.host() + u"/other"_qs);
        w.Command1->click();
        QTRY_COMPARE(loaded.count(), 13);
        QCOMPARE(scrolledTo(), 0);
        // Scrolled by the person (a turn of the wheel) while a refresh loads: the page stays where they took it.
        w.WebBrowser1->page()->runJavaScript(u"scrollTo(0, 2000)"_qs);
        QTRY_COMPARE(scrolledTo(), 2000);
        QSignalSpy committed(w.WebBrowser1->page(), &QWebEnginePage::titleChanged);
        w.Command1->click();
        QVERIFY(committed.wait(10000));
        w.WebBrowser1->page()->runJavaScript(
            u"(function turn() { if (scrollY < 1999) return requestAnimationFrame(turn);"
            " dispatchEvent(new WheelEvent('wheel')); scrollTo(0, 500); })()"_qs);
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 14, 30000);
        QTest::qWait(300);
        QCOMPARE(scrolledTo(), 500);
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
        std::optional<std::optional<qint64>> answer;
        connect(&probe, &RetryAfterProbe::answered, this, [&](std::optional<qint64> wait) { answer = wait; });
        QTRY_VERIFY_WITH_TIMEOUT(answer, RetryAfterProbe::TimeoutMs + 3000);
        QCOMPARE(*answer, std::nullopt);
    }

private:
    std::optional<TestFolder> m_folder;
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
