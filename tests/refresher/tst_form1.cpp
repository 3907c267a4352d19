// Guards the window: enable box, schedule and clock changes, command line, renderer crashes, start-up check, settings,
// lifetime, renderer choice, real web view.
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
#include "Rollback.h"
#include "UpdateServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QPushButton>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <csignal>
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

const QString Tag = QString::fromUtf8(BuildConfig::VersionTag);
} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { recordInsteadOfActing(); }
    void init() { events().clear(); }

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

    void enableBox_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QStringList>("messages");
        const QString invalid = IntervalParser::invalidMessage();
        const auto row = [](const char* name, const char* url, const char* interval, const QStringList& messages) {
            QTest::newRow(name) << QString(url) << QString(interval) << messages;
        };
        row("neither", "", "", {u"请先设定网址"_qs});
        row("no interval", "x.org", "", {u"请先设定间隔时间"_qs});
        row("not a number", "x.org", "abc", {invalid});
        row("zero", "x.org", "0", {});
    }
    void enableBox()
    {
        QFETCH(QString, url);
        QFETCH(QString, interval);
        QFETCH(QStringList, messages);
        FakeClock clock;
        Form1 w(&clock);
        w.Text2->setText(url);
        w.Text1->setText(interval);
        w.Check1->setChecked(true);
        QCOMPARE(eventsStartingWith("message "), messages);
        QCOMPARE(w.Check1->isChecked(), messages.isEmpty());
        if (messages.isEmpty())
            QCOMPARE(w.Label5->text(),
                     u"下次执行时间为"_qs + DateTimeText::general(clock.time.addSecs(interval.toInt())));
    }

    void schedule()
    {
        FakeClock clock;
        Form1 w(&clock);
        QStringList urls;
        w.setNavigatorForTesting([&urls](const QUrl& url) { urls.append(url.toString()); });
        const QDateTime t0 = clock.time;
        const auto tickAt = [&](int seconds) {
            clock.time = t0.addSecs(seconds);
            clock.monotonic = seconds * 1000;
            w.Timer1_Timer();
            return urls.size();
        };
        w.Text2->setText(QStringLiteral("example.com/p?a=1"));
        w.Text1->setText(QStringLiteral("3"));
        w.Check1->setChecked(true);
        QCOMPARE(tickAt(1), 0);
        QCOMPARE(tickAt(2), 0);
        QCOMPARE(tickAt(3), 1);
        QVERIFY2(urls[0].startsWith(QStringLiteral("http://example.com/p?a=1&rn=")), qPrintable(urls[0]));
        QCOMPARE(w.Text2->text(), QStringLiteral("http://example.com/p?a=1"));
        QCOMPARE(w.Label6->text(), u"已成功运行1次.上次"_qs + DateTimeText::general(t0.addSecs(3)));
        QCOMPARE(w.Label3->text(), u"当前时间:"_qs + DateTimeText::timeOfDay(t0.addSecs(3)));
        // A late tick: due at 6, refreshed at 7, so the next one is due at 10.
        QCOMPARE(tickAt(5), 1);
        QCOMPARE(tickAt(7), 2);
        QCOMPARE(w.Label5->text(), u"下次执行时间为"_qs + DateTimeText::general(t0.addSecs(10)));
        // Unticked: exactly one more refresh, when it comes due.
        clock.time = t0.addSecs(8);
        w.Check1->setChecked(false);
        QCOMPARE(tickAt(9), 2);
        QCOMPARE(tickAt(10), 3);
        QCOMPARE(tickAt(100), 3);
        QCOMPARE(w.RunCount(), 3);
        QVERIFY(eventsStartingWith("message ").isEmpty());
    }

    // The wall clock jumps by `jump` seconds two seconds after the box was ticked with an interval of 5.
    void clockChanges_data()
    {
        QTest::addColumn<int>("jump");
        QTest::addColumn<QList<int>>("refreshedAt");
        QTest::newRow("set back an hour") << -3600 << QList<int>{5, 10, 15};
        QTest::newRow("set forward an hour, or a suspend") << 3600 << QList<int>{2, 7, 12};
    }
    void clockChanges()
    {
        QFETCH(int, jump);
        FakeClock clock;
        Form1 w(&clock);
        w.setNavigatorForTesting([](const QUrl&) {});
        const QDateTime t0 = clock.time;
        w.Text2->setText(QStringLiteral("x.org"));
        w.Text1->setText(QStringLiteral("5"));
        w.Check1->setChecked(true);
        QList<int> refreshedAt;
        for (int second = 1, runs = 0; second <= 15; runs = w.RunCount(), ++second) {
            clock.time = t0.addSecs(second + (second >= 2 ? jump : 0));
            clock.monotonic = second * 1000;
            w.Timer1_Timer();
            if (w.RunCount() > runs)
                refreshedAt.append(second);
        }
        QTEST(refreshedAt, "refreshedAt");
    }

    void startOptions_data()
    {
        QTest::addColumn<QString>("storedInterval");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QStringList>("messages");
        const QStringList start{"--start"};
        // Ticked by --start, the user's page is loaded at once, counted like any timed refresh.
        QTest::newRow("none") << "5" << QStringList{} << QStringList{"x.org", "5", "unticked", "0"} << QStringList{};
        QTest::newRow("start") << "5" << start << QStringList{"http://x.org", "5", "ticked", "1"} << QStringList{};
        QTest::newRow("start, no interval stored")
            << "" << start << QStringList{"x.org", "", "unticked", "0"} << QStringList{u"请先设定间隔时间"_qs};
        QTest::newRow("start, invalid interval stored") << "5s" << start << QStringList{"x.org", "5s", "unticked", "0"}
                                                        << QStringList{IntervalParser::invalidMessage()};
        // As the updater hands them on (a URL may begin with "-"), and as typed.
        QTest::newRow("fields given") << "" << QStringList{"--url=-y.org/a", "--interval=7", "--start"}
                                      << QStringList{"http://-y.org/a", "7", "ticked", "1"} << QStringList{};
        QTest::newRow("fields given apart") << "5" << QStringList{"--url", "y.org/a", "--interval", " 7 "}
                                            << QStringList{"y.org/a", " 7 ", "unticked", "0"} << QStringList{};
        for (const char* refused : {"-start", "--url", "x.org", "--start --bogus", "--url --start", "--url -x",
                                    "--interval -5", "--interval abc", "--interval=99999999999", "--interval="})
            QTest::addRow("refused: %s", qPrintable(refused))
                << "5" << QString(refused).split(u' ') << QStringList{} << QStringList{};
    }
    void startOptions()
    {
        QFETCH(QString, storedInterval);
        QFETCH(QStringList, arguments);
        const std::optional<CommandLine::Options> options = CommandLine::parse(QStringList{"Pagewell"} + arguments);
        QFETCH(QStringList, fields);
        // No fields: the options are refused.
        QCOMPARE(options.has_value(), !fields.isEmpty());
        if (!options)
            return;
        FakeClock clock;
        Form1 w(&clock);
        w.Text2->setText(QStringLiteral("x.org"));
        w.Text1->setText(storedInterval);
        w.setNavigatorForTesting([](const QUrl&) {});
        w.applyStartOptions(*options);
        QCOMPARE(QStringList({w.Text2->text(), w.Text1->text(), w.Check1->isChecked() ? "ticked" : "unticked",
                              QString::number(w.RunCount())}),
                 fields);
        QTEST(eventsStartingWith("message "), "messages");
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
        TestFolder folder;
        RawServer server(&events());
        server.on(QStringLiteral("/updata/pagewell/auto.asp"), reply);
        UpdateServer::setHostsForTesting(server.host(), server.host());
        QStringEncoder gb18030("GB18030");
        QVERIFY(writeFile(folder.path("user.ini"), gb18030.encode("[" + QString::fromUtf8(BuildConfig::ProductName) +
                                                                  "]\r\nTEXT2=x.org\r\nTEXT1=7\r\n")));
        Form1 w;
        QStringList urls;
        w.setNavigatorForTesting([&urls](const QUrl& url) { urls.append(url.toString()); });
        QElapsedTimer clock;
        clock.start();
        w.startUp(*CommandLine::parse(QStringList{"Pagewell"} + options));
        // Only a server that sends nothing holds the check until its deadline.
        QVERIFY(clock.elapsed() < (reply.after == RawServer::After::Hang ? BuildConfig::CheckTimeoutMs + 2000 : 2000));
        QVERIFY(events().value(0).startsWith(QStringLiteral("/updata/pagewell/auto.asp?u=up&x=")));
        QCOMPARE(eventsStartingWith("launch "),
                 handed.isEmpty() ? QStringList{} : QStringList{folder.path("update") + ' ' + handed});
        QCOMPARE(urls.value(0), UpdateServer::startPageUrl());
        QCOMPARE(urls.size(), w.Check1->isChecked() ? 2 : 1);
        UpdateServer::setHostsForTesting({}, {});
        if (!options.isEmpty())
            return;
        QCOMPARE(w.Text2->text(), QStringLiteral("x.org"));
        QCOMPARE(w.Text1->text(), QStringLiteral("7"));
        w.Text1->setText(QStringLiteral("9"));
        w.close();
        QCOMPARE(
            IniFile(folder.path("user.ini")).value(QString::fromUtf8(BuildConfig::ProductName), "TEXT1").value_or(""),
            "9");
    }

    // While it runs, Pagewell asks again once a period on the wall clock (a machine asleep half the day still asks
    // daily) or on the monotonic one (a wall clock set back does not delay it), without blocking the window; an update
    // found goes as one found at start, with the state in effect.
    void dailyCheck()
    {
        TestFolder folder;
        RawServer server(&events());
        server.on(QStringLiteral("/updata/pagewell/auto.asp"), Tag.toUtf8());
        UpdateServer::setHostsForTesting(server.host(), server.host());
        const auto reset = qScopeGuard([] { UpdateServer::setHostsForTesting({}, {}); });
        FakeClock clock;
        Form1 w(&clock);
        w.setNavigatorForTesting([](const QUrl&) {});
        w.startUp(*CommandLine::parse({"Pagewell", "--url=x.org", "--interval=9"}));
        w.setUpdateCheckPeriodForTesting(86400);
        server.on(QStringLiteral("/updata/pagewell/auto.asp"), Tag.toUtf8() + "1");
        const auto asked = [] { return events().filter(QStringLiteral("/updata/pagewell/auto.asp")).size(); };
        const QDateTime t0 = clock.time;
        for (const int second : {86399, 86400, 86400}) {
            clock.time = t0.addSecs(second - 3600);
            clock.monotonic = second * 1000LL;
            w.Timer1_Timer();
        }
        QVERIFY(eventsStartingWith("launch ").isEmpty());
        QTRY_COMPARE(eventsStartingWith("launch "),
                     QStringList{folder.path("update") + " --from-pagewell --url=x.org --interval=9"});
        QCOMPARE(asked(), 2);
    }

    // A window closed after it showed tells a watching updater that the release ended in good order; one that never
    // showed does not. (What an update left is judged in tst_updater.)
    void orderlyEnd_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::newRow("closed") << true;
        QTest::newRow("closed before it showed") << false;
    }
    void orderlyEnd()
    {
        QFETCH(bool, shown);
        TestFolder folder;
        const QString program = folder.path("Pagewell");
        QVERIFY(writeFile(program, "new") && writeFile(Rollback::keptPath(program), "old") &&
                writeFile(Rollback::markerPath(program), "v2"));
        Form1 w;
        w.setNavigatorForTesting([](const QUrl&) {});
        if (shown)
            w.show();
        w.close();
        QCOMPARE(Rollback::endedOrderly(program), shown);
    }

    void livesUntilLastWindowCloses()
    {
        TestFolder folder;
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

    // The page comes back by itself, the same address, with no timed refresh: after its server refused it, answered
    // 5xx, 408 or 429 (waiting as long as its Retry-After asks, which is asked for once more), or took the request and
    // never answered (then answers), and after its renderer was killed as the OOM killer would. A page that arrives
    // slowly is not cut, nor a 404 asked for again. A pending retry or crash reload gives way to "打开", and a failed
    // timed refresh to the next, counted as ever. Where a good page was shown before, a person sees that page, under
    // a strip that says why, until it is back; else what the engine shows.
    void pageIsAskedForAgain_data()
    {
        QTest::addColumn<bool>("good");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("then");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("why");
        // good first,server,then,requests,why
        for (const QString& row :
             u",refuses,,1,|,silent,,2,|,slow,,1,|,refuses,timed refresh,1,|,answers,打开,3,|"
             "good,refuses,,2,连接被拒绝|good,503,,4,服务器返回 503|good,429,,4,服务器返回 429|"
             "good,408,,4,服务器返回 408|good,503 slowly,,4,服务器返回 503|good,404,,2,|good,refuses,timed refresh,2,连接被拒绝"_qs.split(u'|'))
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
            {"503 slowly", {RawServer::reply("<body style='background:#fff'>503" + QByteArray(2000, ' ') + "x", 503),
                            RawServer::After::Trickle}}};
        server == u"refuses"_qs
            ? raw.reset()
            : serve(first.value(server,
                                {RawServer::reply("x", server.toInt(), "Content-Length: 1\r\nRetry-After: 2\r\n")}));
        const bool timed = then == u"timed refresh"_qs;
        w.Text1->setText(u"1"_qs);
        w.Check1->setChecked(timed);
        clock.monotonic += 1000;
        titled.clear();
        timed ? w.Timer1_Timer() : w.Command1->click();
        // A document that has not begun to arrive a minute later, on the window's clock, has failed; one that has
        // begun may take as long as it likes.
        if (server == u"silent"_qs || server == u"slow"_qs) {
            // The slow page's first bytes are in once the engine has committed it (a title of its own).
            server == u"slow"_qs ? (void)QTest::qWaitFor([&] { return titled.count() > 0; }, 10000) : QTest::qWait(500);
            for (const qint64 ms : {59999, 1}) {
                QCOMPARE(loaded.count(), 0);
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
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
