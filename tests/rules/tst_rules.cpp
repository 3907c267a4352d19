// Guards the rules: refresh URL and token, interval, when a page is asked for again, versions in both modes,
// names, lengths, bar, pause.
#include "CheckSchedule.h"
#include "ContentLength.h"
#include "FileList.h"
#include "HandedState.h"
#include "IntervalParser.h"
#include "ProgressScale.h"
#include "RandomToken.h"
#include "RefreshUrl.h"
#include "ReloadBackoff.h"
#include "ShownPage.h"
#include "StartPause.h"
#include "VersionDecision.h"

#include <QFile>
#include <QTest>

#include <algorithm>

using Outcome = VersionDecision::Outcome;
using Policy = VersionDecision::Policy;
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {
template <typename T> QString shown(const std::optional<T>& value)
{
    return value ? QString::number(*value) : QStringLiteral("none");
}
} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    void refreshUrl_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("url");
        const auto row = [](const char* typed, const char* field, const char* url) {
            QTest::newRow(typed) << QString(typed) << QString(field) << QString(url);
        };
        row("example.com", "http://example.com", "http://example.com?rn=T");
        row("example.com/a?b=1", "http://example.com/a?b=1", "http://example.com/a?b=1&rn=T");
        row("HTTPS://x.org", "HTTPS://x.org", "HTTPS://x.org?rn=T");
        row("ftp://x.org/?", "ftp://x.org/?", "ftp://x.org/?&rn=T");
        row("localhost:8080/p", "http://localhost:8080/p", "http://localhost:8080/p?rn=T");
        row("", "http://", "http://?rn=T");
    }
    void refreshUrl()
    {
        QFETCH(QString, typed);
        const RefreshUrl::Target target = RefreshUrl::build(typed, QStringLiteral("T"));
        QTEST(target.fieldText, "field");
        QTEST(target.url, "url");
        // The same page whatever its token; another address is another page.
        const QString key = RefreshUrl::pageKey(QUrl(target.url));
        QVERIFY(key == RefreshUrl::pageKey(QUrl(target.fieldText)) &&
                key != RefreshUrl::pageKey(QUrl(target.fieldText + 'x')));
    }

    void freshToken()
    {
        const QString first = RandomToken::next();
        QVERIFY(first != RandomToken::next());
        bool ok = false;
        const double value = first.toDouble(&ok);
        QVERIFY(ok && value > 0 && value < 1 && first.size() <= 9);
    }

    void interval_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("seconds");
        // text=seconds; "none" where the text is no interval.
        const QStringList rows = QString::fromUtf8("0=0| 5 =5|31536000=31536000|31536001=none|-1=none|+5=none|5.0=none|"
                                                   "1e3=none|abc=none|=none|\u0665=none|99999999999999999999=none")
                                     .split(u'|');
        for (const QString& row : rows)
            QTest::addRow("%s", qPrintable(row)) << row.section(u'=', 0, 0) << row.section(u'=', 1);
    }
    void interval()
    {
        QFETCH(QString, text);
        QTEST(shown(IntervalParser::seconds(text)), "seconds");
    }

    // What a refresher hands to the updater, and the updater's reading of its command line ("refused" where the
    // updater ends at once).
    void handedState_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("handed");
        const auto row = [](const char* name, const QString& url, const char* interval, bool ticked,
                            const char* handed) {
            QTest::newRow(name) << QStringList{"--from-pagewell"} +
                                       HandedState::fromFields(url, interval, ticked).arguments()
                                << QString(handed);
        };
        row("ticked", "-x.org/?a=1 b", " 9 ", true, "--url=-x.org/?a=1 b --interval=9 --start");
        row("an interval the box refuses goes unticked", "x.org", "9s", true, "--url=x.org");
        row("no URL goes unticked", "", "9", true, "--interval=9");
        QTest::newRow("by hand") << QStringList{} << "";
        QTest::newRow("not from a refresher") << QStringList{"--start"} << "refused";
        QTest::newRow("twice") << QStringList{"--from-pagewell", "--start", "--start"} << "refused";
    }
    void handedState()
    {
        QFETCH(QStringList, arguments);
        const auto state = HandedState::fromUpdaterArguments(QStringList{"update"} + arguments);
        QTEST(!state ? "refused" : !*state ? "" : (*state)->arguments().join(' '), "handed");
    }

    // Events at monotonic times (ms), "/n" when the next timed refresh is n ms away, "+v" for a Retry-After of v: a
    // renderer crash, a load that succeeded, failed on the way, got an HTTP status or met a refused certificate. Each
    // gets its wait before asking again.
    void reloadBackoff_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("waits");
        QTest::newRow("crash loop: at once, doubling up to a minute; stayed up: a first crash again")
            << "crash@0 crash@100 crash@1200 crash@3300 crash@7400 crash@15500 crash@31600 crash@63700 crash@127800 "
               "crash@187900 crash@277900 crash@278000"
            << "0 1000 2000 4000 8000 16000 32000 60000 60000 60000 0 1000";
        QTest::newRow("failures: 5 s, 10 s for two minutes, then a minute")
            << "fail@0 503@5000 fail@115000 fail@119999 fail@120000 fail@180000"
            << "5000 10000 10000 10000 60000 60000";
        QTest::newRow("a timed refresh first: none, and the series goes on")
            << "fail@0/5000 fail@5000/120000 fail@15000/10000 fail@25000/10001 crash@25000"
            << "none 10000 none 10000 0";
        QTest::newRow("a success, the server's word or a refused certificate ends the series")
            << "fail@0 ok@5000 fail@9000 400@14000 fail@15000 404@16000 500@17000 cert@18000 fail@18000 499@19000"
            << "5000 none 5000 none 5000 none 5000 none 5000 none";
        QTest::newRow("408 and 429 as a 5xx; Retry-After in seconds if longer, up to a minute, not past a refresh")
            << "429@0 408@5000 429+2@15000 429+30@25000 503+600@55000 429+50@105000/45000 429+3e1@115000 "
               "429+99999999999@116000 429+9999999999@117000"
            << "5000 10000 10000 30000 60000 none 10000 10000 60000";
    }
    void reloadBackoff()
    {
        QFETCH(QString, events);
        ReloadBackoff backoff;
        QStringList waits;
        for (const QString& event : events.split(u' ')) {
            const QString what = event.section(u'@', 0, 0).section(u'+', 0, 0);
            const qint64 at = event.section(u'@', 1).section(u'/', 0, 0).toLongLong();
            using Kind = ReloadBackoff::ErrorKind;
            const Kind kind = what == "fail" ? Kind::Other : what == "cert" ? Kind::Certificate : Kind::HttpStatus;
            const auto refresh =
                event.contains(u'/') ? std::optional(event.section(u'/', 1).toLongLong()) : std::nullopt;
            const auto retryAfter =
                event.contains(u'+')
                    ? ReloadBackoff::retryAfterMs(event.section(u'@', 0, 0).section(u'+', 1).toLatin1())
                    : std::nullopt;
            waits.append(shown(
                what == "crash" ? backoff.delayAfterCrash(at)
                                : backoff.delayAfterLoad({what == "ok", kind, what.toInt(), retryAfter}, at, refresh)));
        }
        QTEST(waits.join(u' '), "waits");
    }

    // The daily check at its real period, a day plus up to an hour drawn anew each time, comes due by whichever clock
    // gets there first: the wall clock jumps by `jump` seconds once it is armed.
    void checkSchedule_data()
    {
        QTest::addColumn<qint64>("jump");
        for (const qint64 jump : {0, -3600, 3600})
            QTest::addRow("wall clock moved by %llds", jump) << jump;
    }
    void checkSchedule()
    {
        QFETCH(qint64, jump);
        const QDateTime t0(QDate(2026, 12, 31), QTime(23, 0));
        CheckSchedule schedule;
        QList<qint64> waits;
        for (int i = 0; i < 200; ++i) {
            schedule.arm(t0, 1000);
            waits.append(t0.secsTo(*schedule.next()));
            const auto dueAfter = [&](qint64 s) { return schedule.isDue(t0.addSecs(s + jump), 1000 + s * 1000); };
            const qint64 due = waits.last() - std::max<qint64>(jump, 0);
            QVERIFY(!dueAfter(due - 1) && dueAfter(due));
        }
        const auto [shortest, longest] = std::minmax_element(waits.cbegin(), waits.cend());
        QVERIFY(*shortest >= 86400 && *longest < 86400 + 3600 && *longest - *shortest > 1800);
    }

    // What the view shows through refreshes of page a ("a@y": asked for with the view scrolled to y): "P" when a
    // picture is taken first, then where the new document is brought to; how each load ended ("ok", an HTTP status,
    // an engine's network error (negative), "never" arrived); a link followed to another page, a crashed renderer.
    void shownPage_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("strip");
        QTest::newRow("at start a failure shows as now; the first good page starts at the top") << "a@0 -102 a@0 ok"
                                                                                                << "-,engine,-,live"
                                                                                                << "";
        QTest::newRow("a failed refresh keeps the last good page, scrolled as it was")
            << "a@0 ok a@120 ok a@300 -102 a@0 -101 a@0 -324 a@0 -118 a@0 -105 a@0 never a@0 503 a@0 429 a@0 408"
            << "-,live,P120,live,P300,kept:连接被拒绝,-300,kept:连接被重置,-300,kept:服务器没有应答,-300,kept:连接超时,"
               "-300,kept:找不到服务器,-300,kept:等待页面超时,-300,kept:服务器返回 503,-300,kept:服务器返回 429,-300,"
               "kept:服务器返回 408"
            << "刷新失败（服务器返回 408），显示的是 2026-12-31 23:54:00 的页面，正在重试";
        QTest::newRow("the server's word and a refused certificate show as now")
            << "a@0 ok a@50 404 a@0 -102 a@0 ok a@60 cert"
            << "-,live,P50,engine,-50,engine,-50,live,P60,engine"
            << "";
        QTest::newRow("another address starts at the top, with nothing kept")
            << "a@0 ok a@200 ok b@300 -102 b@0 ok a@0 -102"
            << "-,live,P200,live,-,engine,-,live,-,engine"
            << "";
        QTest::newRow("a page left by a link or a crash leaves no picture; one replacing a load under way keeps it")
            << "a@0 ok link:a/#x a@10 ok link:c a@0 -102 a@0 ok crash a@0 -102 a@0 ok a@300 a@0 -999 a@0 ok a@0 -999"
            << "-,live,P10,live,-10,engine,-10,live,-10,engine,-10,live,P300,-300,kept:网络错误 -999,-300,live,P,"
               "kept:网络错误 -999"
            << "刷新失败（网络错误 -999），显示的是 0:10:00 的页面，正在重试";
    }
    void shownPage()
    {
        QFETCH(QString, events);
        using Kind = ReloadBackoff::ErrorKind;
        ShownPage page;
        QStringList shown;
        QDateTime now(QDate(2026, 12, 31), QTime(23, 50));
        for (const QString& event : events.split(u' ')) {
            const QUrl url(u"http://x.org/"_qs + event.section(u'@', 0, 0).section(u':', -1));
            now = now.addSecs(60);
            if (event.contains(u'@')) {
                const ShownPage::Ask ask =
                    page.asking(QUrl(url.toString() + "?rn=" + QString::number(now.toSecsSinceEpoch())),
                                {0, event.section(u'@', 1).toDouble()});
                shown.append((ask.takePicture ? "P" : "-") + (ask.scrollTo ? QString::number(ask.scrollTo->y()) : ""));
            } else if (event.startsWith(u"link:")) {
                page.urlShown(url);
            } else if (event == u"crash") {
                page.rendererEnded();
            } else {
                const int code = event.toInt();
                const Kind kind = event == u"never"  ? Kind::NeverBegan
                                  : event == u"cert" ? Kind::Certificate
                                                     : (code < 0 ? Kind::Other : Kind::HttpStatus);
                const ShownPage::Show show = page.loadEnded({event == u"ok", kind, code}, now);
                shown.append(show == ShownPage::Show::Live ? u"live"_qs
                             : show == ShownPage::Show::Engine
                                 ? u"engine"_qs
                                 : "kept:" + page.strip().section(u'（', 1).section(u'）', 0, 0));
            }
        }
        QTEST(shown.join(u','), "shown");
        QTEST(page.strip(), "strip");
    }

    void updaterVersion_data()
    {
        QTest::addColumn<std::optional<QString>>("reply");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<Policy>("policy");
        QTest::addColumn<Outcome>("outcome");
        const auto row = [](const char* name, std::optional<QString> reply, const char* installed, Policy policy,
                            Outcome outcome) {
            QTest::newRow(name) << reply << QString::fromLatin1(installed) << policy << outcome;
        };
        for (const Policy p : {Policy::AnyOtherTag, Policy::NewerOnly}) {
            row("no reply", std::nullopt, "1.6.0.0", p, Outcome::NoReply);
            row("not a tag", "V1.7.0.0", "1.6.0.0", p, Outcome::NotATag);
            row("empty", "", "1.6.0.0", p, Outcome::NotATag);
            row("same", "v1.6.0.0", "1.6.0.0", p, Outcome::UpToDate);
            row("newer", "v1.7.0.0", "1.6.0.0", p, Outcome::Proceed);
            row("no installed version", "v1.6.0.0", "", p, Outcome::Proceed);
        }
        row("line break: another tag", "v1.6.0.0\n", "1.6.0.0", Policy::AnyOtherTag, Outcome::Proceed);
        row("older: another tag", "v1.5.9.9", "1.6.0.0", Policy::AnyOtherTag, Outcome::Proceed);
        row("line break: no version", "v1.7.0.0\n", "1.6.0.0", Policy::NewerOnly, Outcome::NotATag);
        row("older", "v1.5.9.9", "1.6.0.0", Policy::NewerOnly, Outcome::UpToDate);
        row("numbers, not text", "v1.10.0.0", "1.9.0.0", Policy::NewerOnly, Outcome::Proceed);
        row("last part", "v1.6.0.1", "1.6.0.0", Policy::NewerOnly, Outcome::Proceed);
    }
    void updaterVersion()
    {
        QFETCH(std::optional<QString>, reply);
        QFETCH(QString, installed);
        QFETCH(Policy, policy);
        QTEST(VersionDecision::decide(reply, installed, policy), "outcome");
    }

    // The cases configuring and deploy/make-release are held to as well; each row is named by its version.
    void fileVersion_data()
    {
        QTest::addColumn<bool>("accepted");
        QFile cases(QStringLiteral(SOURCE_DIR "/tests/version-cases.txt"));
        QVERIFY(cases.open(QIODevice::ReadOnly));
        for (const QByteArray& line : cases.readAll().split('\n'))
            if (!line.isEmpty() && !line.startsWith('#'))
                QTest::newRow(line.split(' ').at(0)) << line.endsWith(" accepted");
    }
    void fileVersion() { QTEST(VersionDecision::fourPartVersion(QTest::currentDataTag()).has_value(), "accepted"); }

    void fileList_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("plain");
        QTest::newRow("empty") << "" << QStringList{} << QStringList{};
        QTest::newRow("two") << "setup.exe|data.dat" << QStringList{"setup.exe", "data.dat"}
                             << QStringList{"setup.exe", "data.dat"};
        QTest::newRow("empty names stay") << "|a||" << QStringList{"", "a", "", ""} << QStringList{"a"};
        const QStringList hostile{"../x",    "/etc/x", "C:\\x",   "a\\b", "C:x",   "x/",
                                  ".",       "..",     "nul.txt", "COM1", "a\r\n", QString(QChar(0)) + "x",
                                  "lpt9.dat"};
        QTest::newRow("hostile") << hostile.join('|') << hostile << QStringList{};
        QTest::newRow("plain") << "a#b|COM10|..a|a b" << QStringList{"a#b", "COM10", "..a", "a b"}
                               << QStringList{"a#b", "COM10", "..a", "a b"};
    }
    void fileList()
    {
        QFETCH(QString, reply);
        const QStringList names = FileList::split(reply);
        QTEST(names, "names");
        QStringList plain = names;
        plain.removeIf([](const QString& name) { return !FileList::isPlainFileName(name); });
        QTEST(plain, "plain");
    }

    void contentLength_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("length");
        const QByteArrayList rows =
            QByteArray("2500=2500| 0 =0|9223372036854775807=9223372036854775807|"
                       "9223372036854775808=none|-1=none|+1=none|12ab=none|1.0=none|1, 1=none|=none")
                .split('|');
        for (const QByteArray& row : rows)
            QTest::addRow("%s", row.constData())
                << row.left(row.indexOf('=')) << QString(row.mid(row.indexOf('=') + 1));
    }
    void contentLength()
    {
        QFETCH(QByteArray, header);
        QTEST(shown(ContentLength::parse(header)), "length");
    }

    void progressScale()
    {
        using Bar = ProgressScale::Bar;
        QCOMPARE(ProgressScale::running(1024, 2500), (Bar{2500, 1024}));
        QCOMPARE(ProgressScale::running(10, -1), (Bar{0, 0})); // busy bar
        QCOMPARE(ProgressScale::running(0, 0), (Bar{1, 0}));   // empty, not busy
        QCOMPARE(ProgressScale::running(5000, 2500), (Bar{2500, 2500}));
        const qint64 big = qint64(5) << 32;
        const Bar half = ProgressScale::running(big / 2, big);
        QVERIFY(half.maximum > 0 && half.value == half.maximum / 2);
        QCOMPARE(ProgressScale::complete(big).value, ProgressScale::complete(big).maximum);
        QCOMPARE(ProgressScale::complete(0), (Bar{1, 1}));
    }

    void startPause_data()
    {
        QTest::addColumn<qint64>("startMs");
        QTest::addColumn<qint64>("nowMs");
        QTest::addColumn<bool>("over");
        // start ms,now ms,over: 10.5 goes to 10; a start before the reference.
        for (const QString& row :
             u"10200,11499,0|10200,11500,1|10600,12500,0|10600,12501,1|10500,11501,1|-1400,600,1"_qs.split(u'|'))
            QTest::addRow("%s", qPrintable(row))
                << row.section(u',', 0, 0).toLongLong() << row.section(u',', 1, 1).toLongLong()
                << (row.section(u',', 2) == u"1");
    }
    void startPause()
    {
        QFETCH(qint64, startMs);
        QFETCH(qint64, nowMs);
        QTEST(StartPause::isOver(startMs, nowMs), "over");
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
