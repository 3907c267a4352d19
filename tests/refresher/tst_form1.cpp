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
#include "UpdateServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
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
        QTest::newRow("none") << "5" << QStringList{} << QStringList{"x.org", "5", "unticked"} << QStringList{};
        QTest::newRow("start") << "5" << start << QStringList{"x.org", "5", "ticked"} << QStringList{};
        QTest::newRow("start, no interval stored")
            << "" << start << QStringList{"x.org", "", "unticked"} << QStringList{u"请先设定间隔时间"_qs};
        QTest::newRow("start, invalid interval stored")
            << "5s" << start << QStringList{"x.org", "5s", "unticked"} << QStringList{IntervalParser::invalidMessage()};
        // As the updater hands them on (a URL may begin with "-"), and as typed.
        QTest::newRow("fields given") << "" << QStringList{"--url=-y.org/a", "--interval=7", "--start"}
                                      << QStringList{"-y.org/a", "7", "ticked"} << QStringList{};
        QTest::newRow("fields given apart") << "5" << QStringList{"--url", "y.org/a", "--interval", " 7 "}
                                            << QStringList{"y.org/a", " 7 ", "unticked"} << QStringList{};
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
        w.applyStartOptions(*options);
        QCOMPARE(QStringList({w.Text2->text(), w.Text1->text(), w.Check1->isChecked() ? "ticked" : "unticked"}),
                 fields);
        QTEST(eventsStartingWith("message "), "messages");
    }

    void startupCheck_data()
    {
        QTest::addColumn<RawServer::Script>("reply");
        QTest::addColumn<bool>("launches");
        QTest::newRow("own tag") << RawServer::Script{RawServer::reply(Tag.toUtf8())} << false;
        QTest::newRow("own tag and a line break") << RawServer::Script{RawServer::reply(Tag.toUtf8() + "\n")} << true;
        QTest::newRow("another tag") << RawServer::Script{RawServer::reply(Tag.toUtf8() + "1")} << true;
        QTest::newRow("capital V") << RawServer::Script{RawServer::reply("V" + Tag.toUtf8().mid(1) + "1")} << false;
        QTest::newRow("error page") << RawServer::Script{RawServer::reply("<html>" + Tag.toUtf8() + "1", 500)} << false;
        QTest::newRow("no reply") << RawServer::Script{} << false;
        // Replies are read up to 64 KiB; past that there is no reply at all.
        QTest::newRow("at the bound") << RawServer::Script{RawServer::reply("v" + QByteArray(65535, '1'))} << true;
        QTest::newRow("over the bound") << RawServer::Script{RawServer::reply("v" + QByteArray(65536, '1'))} << false;
        // Without a length (closed at the end, or chunked), cut as it passes the bound, not held until the deadline.
        for (const char* framing : {"", "Transfer-Encoding: chunked\r\n\r\nFFFFFFFF"})
            QTest::addRow("streamed past the bound%s", framing[0] ? ", chunked" : "")
                << RawServer::Script{"HTTP/1.1 200 X\r\n" + QByteArray(framing) + "\r\nv", RawServer::After::Endless}
                << false;
        QTest::newRow("silent") << RawServer::Script{{}, RawServer::After::Hang} << false;
    }
    void startupCheck()
    {
        QFETCH(RawServer::Script, reply);
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
        w.Form_Load();
        // Only a server that sends nothing holds the check until its deadline.
        QVERIFY(clock.elapsed() < (reply.after == RawServer::After::Hang ? BuildConfig::CheckTimeoutMs + 2000 : 2000));
        QVERIFY(events().value(0).startsWith(QStringLiteral("/updata/pagewell/auto.asp?u=up&x=")));
        QTEST(eventsStartingWith("launch ") == QStringList{folder.path("update")}, "launches");
        QCOMPARE(urls, QStringList{UpdateServer::startPageUrl()});
        UpdateServer::setHostsForTesting({}, {});
        QCOMPARE(w.Text2->text(), QStringLiteral("x.org"));
        QCOMPARE(w.Text1->text(), QStringLiteral("7"));
        w.Text1->setText(QStringLiteral("9"));
        w.close();
        QCOMPARE(
            IniFile(folder.path("user.ini")).value(QString::fromUtf8(BuildConfig::ProductName), "TEXT1").value_or(""),
            "9");
    }

    void livesUntilLastWindowCloses()
    {
        TestFolder folder;
        Form1 w;
        w.show();
        w.Form_DblClick();
        QPointer<frmAbout> about = w.aboutWindow();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        QTimer::singleShot(0, &w, &QWidget::close);
        QTimer::singleShot(300, about, &QWidget::close);
        QTimer::singleShot(10000, qApp, &QCoreApplication::quit);
        QElapsedTimer lived;
        lived.start();
        QCoreApplication::exec();
        QVERIFY2(lived.elapsed() >= 300 && lived.elapsed() < 10000, qPrintable(QString::number(lived.elapsed())));
    }

    // A renderer that ends abnormally (killed here as the OOM killer would) brings the page back by itself, with the
    // schedule off; a renderer that ends again right after the reload is retried after a pause, not at once.
    void pageComesBackAfterRendererCrash()
    {
        TestFolder folder;
        QStringList requests;
        RawServer server(&requests);
        server.on(QStringLiteral("/page"), QByteArray("<html><body>page</body></html>"));
        const auto pages = [&requests] { return int(requests.filter(QStringLiteral("/page")).size()); };
        Form1 w;
        w.show();
        QSignalSpy loaded(w.WebBrowser1, &QWebEngineView::loadFinished);
        w.Text2->setText(server.host() + QStringLiteral("/page"));
        w.Command1->click();
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, 30000);
        for (int crash = 1; crash <= 2; ++crash) {
            const qint64 renderer = w.WebBrowser1->page()->renderProcessPid();
            QVERIFY(renderer > 0);
            loaded.clear();
            QVERIFY(::kill(pid_t(renderer), SIGKILL) == 0);
            if (crash == 2) {
                QTest::qWait(900);
                QCOMPARE(pages(), 2);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty() && loaded.last().at(0).toBool(), 30000);
            QCOMPARE(pages(), crash + 1);
        }
        QVERIFY(w.RunCount() == 0 && w.Label6->text().isEmpty() && !w.Check1->isChecked());
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
