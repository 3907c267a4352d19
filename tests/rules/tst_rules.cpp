// Guards the rules: refresh URL and token, interval, when a page is asked for again, versions in both modes,
// names, lengths, bar, pause, how an installer run counts.
#include "CheckSchedule.h"
#include "ContentLength.h"
#include "FileList.h"
#include "HandedState.h"
#include "IntervalParser.h"
#include "ProcessLauncher.h"
#include "ProgressScale.h"
#include "RandomToken.h"
#include "RefreshUrl.h"
#include "ReloadBackoff.h"
#include "ShownPage.h"
#include "StartPause.h"
#include "VersionDecision.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

namespace {
template <typename T> QString shown(const std::optional<T>& value)
{
    return value ? QString::number(*value) : QStringLiteral("none");
}

// How a load ended: "ok", an HTTP status, an engine's network error (negative, or "fail"), a refused certificate
// ("cert"), or "never" began to arrive.
ReloadBackoff::LoadEnd loadEnd(const QString& what, std::optional<qint64> retryAfterMs = std::nullopt)
{
    using Kind = ReloadBackoff::ErrorKind;
    const Kind kind = what == u"never"  ? Kind::NeverBegan
                      : what == u"cert" ? Kind::Certificate
                                        : (what.toInt() > 0 ? Kind::HttpStatus : Kind::Other);
    return {what == u"ok", kind, what.toInt(), retryAfterMs};
}

// Events at monotonic times (ms), "/n" when the next timed refresh is n ms away, "+v" for a Retry-After of v: a
// renderer crash or a load's end. Each gets its wait before asking again.
QString reloadBackoff(const QString& events)
{
    ReloadBackoff backoff;
    QStringList waits;
    for (const QString& event : events.split(u' ')) {
        const QString what = event.section(u'@', 0, 0).section(u'+', 0, 0);
        const qint64 at = event.section(u'@', 1).section(u'/', 0, 0).toLongLong();
        const auto refresh = event.contains(u'/') ? std::optional(event.section(u'/', 1).toLongLong()) : std::nullopt;
        const auto retryAfter = ReloadBackoff::retryAfterMs(event.section(u'@', 0, 0).section(u'+', 1).toLatin1());
        waits.append(shown(what == u"crash" ? backoff.delayAfterCrash(at)
                                            : backoff.delayAfterLoad(loadEnd(what, retryAfter), at, refresh)));
    }
    return waits.join(u' ');
}

// What the view shows through refreshes of page a ("a@y": asked for with the view scrolled to y): "P" when a picture
// is taken first, then where the new document is brought to; how each load ended; a link followed to another page, a
// crashed renderer. Last, the strip still shown.
QString shownPage(const QString& events)
{
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
            const ShownPage::Show show = page.loadEnded(loadEnd(event), now);
            const QString reason = page.strip().section(u'（', 1).section(u'）', 0, 0);
            shown.append(QStringList{"live", "kept:" + reason, "engine"}.at(int(show)));
        }
    }
    return shown.join(u',') + (page.strip().isEmpty() ? "" : " / " + page.strip());
}

// A rule's answer to one input, as text.
QString answer(const QString& rule, const QString& in)
{
    if (rule == u"refreshUrl") {
        const RefreshUrl::Target target = RefreshUrl::build(in, QStringLiteral("T"));
        // The field shows the address without its token: the same page.
        const bool samePage = RefreshUrl::pageKey(QUrl(target.url)) == RefreshUrl::pageKey(QUrl(target.fieldText));
        return target.url.chopped(5) == target.fieldText && samePage ? target.url : "field " + target.fieldText;
    }
    if (rule == u"interval")
        return shown(IntervalParser::seconds(in));
    if (rule == u"handedState") { // the updater's command line, one argument a line
        const auto state =
            HandedState::fromUpdaterArguments(QStringList{"update"} + in.split(u'\n', Qt::SkipEmptyParts));
        return !state ? "refused" : !*state ? "by hand" : (*state)->arguments().join(u' ');
    }
    if (rule == u"reloadBackoff")
        return reloadBackoff(in);
    if (rule == u"shownPage")
        return shownPage(in);
    if (rule == u"updaterVersion") { // "reply installed": the outcome with any other tag, then with newer ones only
        const auto reply = in.startsWith(u"(none)") ? std::nullopt : std::optional(in.section(u' ', 0, 0));
        QStringList outcomes;
        for (const auto policy : {VersionDecision::Policy::AnyOtherTag, VersionDecision::Policy::NewerOnly})
            outcomes.append(QStringList{"no reply", "not a tag", "up to date", "proceed"}.at(
                int(VersionDecision::decide(reply, in.section(u' ', 1), policy))));
        return outcomes.join(u", ");
    }
    if (rule == u"fileVersion")
        return VersionDecision::fourPartVersion(in) ? "accepted" : "refused";
    if (rule == u"fileList") { // how many names, and the plain ones
        const QStringList names = FileList::split(in);
        QStringList plain = names;
        plain.removeIf([](const QString& name) { return !FileList::isPlainFileName(name); });
        return QString::number(names.size()) + ": " + plain.join(u'|');
    }
    if (rule == u"contentLength")
        return shown(ContentLength::parse(in.toLatin1()));
    if (rule == u"progressScale") { // "written/expected" while running, "complete n" at the end
        const ProgressScale::Bar bar =
            in.startsWith(u"complete ")
                ? ProgressScale::complete(in.mid(9).toLongLong())
                : ProgressScale::running(in.section(u'/', 0, 0).toLongLong(), in.section(u'/', 1).toLongLong());
        return QStringLiteral("%1 of %2").arg(bar.value).arg(bar.maximum);
    }
    if (rule == u"installer") { // "bound ms,shell command": how a program run to its end and waited for counts
        std::optional<bool> succeeded;
        QObject context;
        ProcessLauncher::run("sh", {"-c", in.section(u',', 1)}, in.section(u',', 0, 0).toInt(), &context,
                             [&succeeded](bool ok) { succeeded = ok; });
        const bool ended = QTest::qWaitFor([&succeeded] { return succeeded.has_value(); }, 30000);
        return !ended ? "never told" : *succeeded ? "succeeded" : "failed";
    }
    if (rule == u"startPause") // "start ms,now ms": over or not
        return QString::number(
            StartPause::isOver(in.section(u',', 0, 0).toLongLong(), in.section(u',', 1).toLongLong()));
    return "no rule " + rule;
}
} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    // Each row is named "rule:input" or "rule:what it shows".
    void rule_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        const auto row = [](const char* rule, const QString& name, const QString& input, const QString& output) {
            QTest::addRow("%s:%s", rule, qPrintable(QString(name).replace(u'\n', u' '))) << input << output;
        };
        // A rule's rows "input→output", separated by "|".
        const auto rows = [&row](const char* rule, const QString& table) {
            for (const QString& r : table.split(u'|'))
                row(rule, r.section(u'→', 0, 0), r.section(u'→', 0, 0), r.section(u'→', 1));
        };
        rows("refreshUrl", u"example.com→http://example.com?rn=T|example.com/a?b=1→http://example.com/a?b=1&rn=T|"
                           "HTTPS://x.org→HTTPS://x.org?rn=T|ftp://x.org/?→ftp://x.org/?&rn=T|"
                           "localhost:8080/p→http://localhost:8080/p?rn=T|→http://?rn=T"_qs);
        rows("interval", u"0→0| 5 →5|31536000→31536000|31536001→none|-1→none|+5→none|5.0→none|1e3→none|abc→none|"
                         "→none|\u0665→none|99999999999999999999→none"_qs);
        // What a refresher hands on: only values its window accepts. Any other argument, or one twice, is refused.
        rows("handedState",
             u"→by hand|--start→refused|--from-pagewell\n--start\n--start→refused|"
             "--from-pagewell\n--url=-x.org/?a=1 b\n--interval= 9 \n--start→--url=-x.org/?a=1 b --interval=9 --start|"
             "--from-pagewell\n--url=x.org\n--interval=9s\n--start→--url=x.org|"
             "--from-pagewell\n--interval=9\n--start→--interval=9"_qs);
        row("reloadBackoff", "crash loop: at once, doubling up to a minute; stayed up: a first crash again",
            "crash@0 crash@100 crash@1200 crash@3300 crash@7400 crash@15500 crash@31600 crash@63700 crash@127800 "
            "crash@187900 crash@277900 crash@278000",
            "0 1000 2000 4000 8000 16000 32000 60000 60000 60000 0 1000");
        row("reloadBackoff", "failures: 5 s, 10 s for two minutes, then a minute",
            "fail@0 503@5000 fail@115000 fail@119999 fail@120000 fail@180000", "5000 10000 10000 10000 60000 60000");
        row("reloadBackoff", "a timed refresh first: none, and the series goes on",
            "fail@0/5000 fail@5000/120000 fail@15000/10000 fail@25000/10001 crash@25000", "none 10000 none 10000 0");
        row("reloadBackoff", "a success, the server's word or a refused certificate ends the series",
            "fail@0 ok@5000 fail@9000 400@14000 fail@15000 404@16000 500@17000 cert@18000 fail@18000 499@19000",
            "5000 none 5000 none 5000 none 5000 none 5000 none");
        row("reloadBackoff", "408, 429 as a 5xx; Retry-After in seconds if longer, up to a minute, not past a refresh",
            "429@0 408@5000 429+2@15000 429+30@25000 503+600@55000 429+50@105000/45000 429+3e1@115000 "
            "429+99999999999@116000 429+9999999999@117000",
            "5000 10000 10000 30000 60000 none 10000 10000 60000");
        row("shownPage", "a failed refresh keeps the last good page, scrolled as it was",
            "a@0 ok a@120 ok a@300 -102 a@0 -101 a@0 -324 a@0 -118 a@0 -105 a@0 never a@0 503 a@0 429 a@0 408",
            u"-,live,P120,live,P300,kept:连接被拒绝,-300,kept:连接被重置,-300,kept:服务器没有应答,-300,kept:连接超时,"
            "-300,kept:找不到服务器,-300,kept:等待页面超时,-300,kept:服务器返回 503,-300,kept:服务器返回 429,-300,"
            "kept:服务器返回 408 / 刷新失败（服务器返回 408），显示的是 2026-12-31 23:54:00 的页面，正在重试"_qs);
        row("shownPage", "the server's word and a refused certificate show as now",
            "a@0 ok a@50 404 a@0 -102 a@0 ok a@60 cert", "-,live,P50,engine,-50,engine,-50,live,P60,engine");
        row("shownPage", "another address, as at start: a failure shows as now, the first good page starts at the top",
            "a@0 ok a@200 ok b@300 -102 b@0 ok a@0 -102", "-,live,P200,live,-,engine,-,live,-,engine");
        row("shownPage", "a page left by a link or a crash leaves no picture; one replacing a load under way keeps it",
            "a@0 ok link:a/#x a@10 ok link:c a@0 -102 a@0 ok crash a@0 -102 a@0 ok a@300 a@0 -999 a@0 ok a@0 -999",
            u"-,live,P10,live,-10,engine,-10,live,-10,engine,-10,live,P300,-300,kept:网络错误 -999,-300,live,P,"
            "kept:网络错误 -999 / 刷新失败（网络错误 -999），显示的是 0:10:00 的页面，正在重试"_qs);
        rows("updaterVersion",
             u"(none) 1.6.0.0→no reply, no reply|V1.7.0.0 1.6.0.0→not a tag, not a tag| 1.6.0.0→not a tag, not a tag|"
             "v1.6.0.0 1.6.0.0→up to date, up to date|v1.7.0.0 1.6.0.0→proceed, proceed|v1.6.0.0 →proceed, proceed|"
             "v1.6.0.0\n 1.6.0.0→proceed, not a tag|v1.5.9.9 1.6.0.0→proceed, up to date|"
             "v1.10.0.0 1.9.0.0→proceed, proceed|v1.6.0.1 1.6.0.0→proceed, proceed"_qs);
        // The cases configuring and deploy/make-release are held to as well.
        QFile cases(QStringLiteral(SOURCE_DIR "/tests/version-cases.txt"));
        QVERIFY(cases.open(QIODevice::ReadOnly));
        const QString table = QString(cases.readAll()).remove(QRegularExpression(u"#.*\n"_qs)).trimmed();
        rows("fileVersion", QString(table).replace(u' ', u'→').replace(u'\n', u'|'));
        const QString hostile =
            QString("../x|/etc/x|C:\\x|a\\b|C:x|x/|.|..|nul.txt|COM1|a\r\n|") + QChar(0) + "x|lpt9.dat";
        row("fileList", "empty", "", "0: ");
        row("fileList", "hostile", hostile, "13: ");
        row("fileList", "plain, empty names kept in their places", "|a#b|COM10||..a|a b|", "7: a#b|COM10|..a|a b");
        rows("contentLength", u"2500→2500| 0 →0|9223372036854775807→9223372036854775807|9223372036854775808→none|"
                              "-1→none|+1→none|12ab→none|1.0→none|1, 1→none|→none"_qs);
        // Unknown length: the busy bar; none: an empty bar, not the busy one; past the int range: halved until it fits.
        rows("progressScale", u"1024/2500→1024 of 2500|10/-1→0 of 0|0/0→0 of 1|5000/2500→2500 of 2500|"
                              "10737418240/21474836480→671088640 of 1342177280|"
                              "complete 21474836480→1342177280 of 1342177280|complete 0→1 of 1"_qs);
        // Only a status of 0 in time is a success: a program still running at the bound is stopped and failed.
        rows("installer", u"9000,exit 0→succeeded|9000,exit 3→failed|9000,kill -9 $$→failed|300,exec sleep 20→failed"_qs);
        // 10.5 goes to 10; a start before the clock's reference.
        rows("startPause", u"10200,11499→0|10200,11500→1|10600,12500→0|10600,12501→1|10500,11501→1|-1400,600→1"_qs);
    }
    void rule()
    {
        QFETCH(QString, input);
        QTEST(answer(QString(QTest::currentDataTag()).section(u':', 0, 0), input), "output");
    }

    void freshToken()
    {
        const QString first = RandomToken::next();
        const double value = first.toDouble();
        QVERIFY(first != RandomToken::next() && value > 0 && value < 1 && first.size() <= 9);
    }

    // The daily check at its real period, a day plus up to an hour drawn anew each time, comes due by whichever clock
    // gets there first: the wall clock jumps by an hour back, none or an hour on once it is armed.
    void checkSchedule()
    {
        const QDateTime t0(QDate(2026, 12, 31), QTime(23, 0));
        CheckSchedule schedule;
        QList<qint64> waits;
        for (int i = 0; i < 600; ++i) {
            const qint64 jump = (i % 3 - 1) * 3600;
            schedule.arm(t0, 1000);
            waits.append(t0.secsTo(*schedule.next()));
            const auto dueAfter = [&](qint64 s) { return schedule.isDue(t0.addSecs(s + jump), 1000 + s * 1000); };
            const qint64 due = waits.last() - std::max<qint64>(jump, 0);
            QVERIFY2(!dueAfter(due - 1) && dueAfter(due), qPrintable(QString::number(jump)));
        }
        const auto [shortest, longest] = std::minmax_element(waits.cbegin(), waits.cend());
        QVERIFY(*shortest >= 86400 && *longest < 86400 + 3600 && *longest - *shortest > 1800);
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
