// Guards the watches: what counts as a change, the baseline, normalisation, a missing part said once, the bounded
// log, the command line and user.ini keys, and the whole over a real view and a loopback server.
#include "../support/Fixture.h"
#include "../support/RawServer.h"
#include "Alerter.h"
#include "BuildConfig.h"
#include "Form1.h"
#include "IniFile.h"
#include "PageWatch.h"
#include "UpdateServer.h"
#include "WatchedPage.h"

#include <QWebEngineView>
#include <QtTest>
#include <QtWidgets>

namespace {
struct Recorder final : Alerter
{
    QStringList alerts;
    void alert(const QString&, const QString& body) override { alerts.append(body); }
};
const QString Section = QString::fromUtf8(BuildConfig::ProductName);
} // namespace

class TestWatch : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_folder.emplace(); }

    // Readings of one page, each "part|visible text" ("~": the part is not found; "%t": the load's own token; a
    // leading ">": another page), each told as "missing"/"found" and the alert's "before→after".
    void readings_data()
    {
        QTest::addColumn<QString>("watchText");
        QTest::addColumn<QStringList>("readings");
        QTest::addColumn<QStringList>("told");
        const auto row = [](const char* name, const QString& text, const QString& readings, const QString& told) {
            QTest::newRow(name) << text << readings.split(u',') << told.split(u',');
        };
        row("baseline, then one change", {}, "a|,a|,b|,b|", ",,a→b,");
        row("whitespace and the token", {}, u"a  b %t|,\ta\u00a0b\n %t |"_qs, ",");
        row("missing said once, back as it was", {}, "a|,~|,~|,a|", ",missing,,found");
        row("missing at the baseline, back changed", {}, "~|,a|,~|,b|", "missing,found,missing,found a→b");
        row("another page starts afresh", {}, "a|,>b|,>b|", ",,");
        row("text appears, goes, appears again", u"有 货"_qs, "|缺货,|缺货,|现在有  货了,|有 货,|缺货,|有 货",
            u",,（没有）→现在有 货了,,,（没有）→有 货"_qs);
        row("text there from the baseline, any case", u"Sold Out"_qs, "|SOLD OUT,|sold out,|x", ",,");
    }
    void readings()
    {
        QFETCH(QString, watchText);
        QFETCH(QStringList, readings);
        PageWatch watch;
        watch.setText(watchText);
        watch.setPart(watchText.isEmpty() ? u"#p"_qs : QString());
        QStringList told;
        for (int i = 0; i < readings.size(); ++i) {
            QString reading = readings[i];
            const QString token = u"0.%1234567"_qs.arg(i), page = reading.startsWith(u'>') ? u"other"_qs : u"p"_qs;
            reading.remove(0, page.size() == 5).replace(u"%t"_qs, token);
            const QString part = reading.section(u'|', 0, 0);
            const PageWatch::Outcome outcome =
                watch.read(u"http://x.org/%1?rn=%2"_qs.arg(page, token),
                           {part == u"~"_qs ? std::nullopt : std::optional(part), reading.section(u'|', 1)});
            const QString missing = QStringList{"", "found", "missing"}[int(outcome.missing)];
            told.append(outcome.alert
                            ? (missing + u' ' + outcome.alert->before + u"→"_qs + outcome.alert->after).trimmed()
                            : missing);
            QCOMPARE(watch.titleMark(), watch.partMissing() ? u"（监视中：找不到监视的部分）"_qs : u"（监视中）"_qs);
        }
        QTEST(told, "told");
    }

    // Each side of an alert is cut; the log names the page without its token, and moves aside past 1 MiB.
    void log()
    {
        PageWatch watch;
        watch.setPart(u"#p"_qs);
        watch.read(u"http://x.org/?rn=0.5"_qs, {QString(400, u'a'), {}});
        const PageWatch::Outcome outcome = watch.read(u"http://x.org/?rn=0.6"_qs, {u"b"_qs, {}});
        const QString line =
            PageWatch::logLine(QDateTime({2026, 12, 8}, {20, 1}), u"http://x.org/?q=1&rn=0.6"_qs, outcome);
        QCOMPARE(line, u"2026-12-08 20:01:00 http://x.org/?q=1 监视的部分："_qs + QString(299, u'a') + u"… → b"_qs);
        const QString file = m_folder->path(u"watch.log"_qs);
        const qsizetype bytes = line.toUtf8().size() + 1;
        for (const qsizetype before :
             {qsizetype(0), PageWatch::MaxLogBytes - bytes, PageWatch::MaxLogBytes - bytes + 1}) {
            QVERIFY(writeFile(file, QByteArray(before, 'x')) && PageWatch::appendToLog(file, line));
            const bool moved = before + bytes > PageWatch::MaxLogBytes;
            QCOMPARE(readFile(file), QByteArray(moved ? 0 : before, 'x') + line.toUtf8() + '\n');
            QCOMPARE(QFileInfo(file + u".1"_qs).size(), moved ? before : 0);
            QFile::remove(file + u".1"_qs);
        }
    }

    // Started with a URL, the watches and --start over a page whose clock changes at every reload (its part filled
    // in by a script a moment after the load, so a reading before the page settled would see it change): twenty reloads
    // tell of the part's change and the word's appearance once each; a failure between two good loads and a removed
    // part tell nothing, the part's absence being said once. The watches stay in user.ini beside the fields.
    void realView()
    {
        RawServer server;
        UpdateServer::setHostsForTesting(server.host(), server.host());
        const auto reset = qScopeGuard([] { UpdateServer::setHostsForTesting({}, {}); });
        server.on(u"/updata/pagewell/auto.asp"_qs, QByteArray(BuildConfig::VersionTag));
        const auto serve = [&](int reload) {
            const QString part = reload < 7 ? u"old"_qs : reload < 17 ? u"new"_qs : QString();
            const QString body = u"<html><meta charset=utf-8><p>%1</p>%2<p>%3</p>"_qs.arg(
                QTime(12, 0).addSecs(reload).toString(),
                part.isEmpty()
                    ? ""
                    : "<p id=part>…</p><script>setTimeout(() => part.innerText = '" + part + "', 300)</script>",
                reload >= 12 ? u"有货"_qs : u"缺货"_qs);
            server.on(u"/page"_qs, reload == 15 ? RawServer::Script{RawServer::reply("x", 503)}
                                                : RawServer::Script{RawServer::reply(body.toUtf8())});
        };
        serve(0);
        Form1 w;
        Recorder recorder;
        WatchedPage* watched = w.findChild<WatchedPage*>();
        watched->setAlerterForTesting(&recorder);
        QSignalSpy settled(watched, &WatchedPage::settled), loaded(w.WebBrowser1, &QWebEngineView::loadFinished);
        w.startUp(*CommandLine::parse({"Pagewell", "--url=" + server.host() + "/page", "--interval=3600", "--start",
                                       "--watch", "#part", "--watch-text=有货"}));
        QCOMPARE(w.windowTitle(), Section + u"（监视中）"_qs);
        QTRY_COMPARE_WITH_TIMEOUT(settled.count(), 1, 30000);
        for (int reload = 1; reload < 20; ++reload) {
            serve(reload);
            loaded.clear();
            w.Command1->click();
            QVERIFY(reload == 15 ? loaded.wait(30000) : settled.wait(30000));
        }
        QCOMPARE(recorder.alerts,
                 QStringList({u"监视的部分：old → new"_qs,
                              u"文字“有货”：（没有） → "_qs + QTime(12, 0).addSecs(12).toString() + u" new 有货"_qs}));
        QCOMPARE(w.windowTitle(), Section + u"（监视中：找不到监视的部分）"_qs);
        const QByteArray log = readFile(m_folder->path(u"watch.log"_qs));
        QVERIFY(log.count('\n') == 3 && log.count("找不到监视的部分") == 1);
        QCOMPARE(readFile(m_folder->path(u"user.ini"_qs)),
                 QStringEncoder("GB18030").encode("[" + Section +
                                                  "]\r\nWATCH=#part\r\nWATCHTEXT=有货\r\nTEXT2=http://" +
                                                  server.host() + "/page\r\nTEXT1=3600\r\n"));
        Form1 again;
        again.findChild<WatchedPage*>()->restore({}, {});
        QCOMPARE(again.windowTitle(), Section + u"（监视中）"_qs);
        // From the page's menu: the part under the pointer (no id: its place from the body), then no watch at all.
        QVariant centre;
        w.WebBrowser1->page()->runJavaScript(
            "(r => [r.x + r.width / 2, r.y + r.height / 2])(document.querySelectorAll('p')[1].getBoundingClientRect())",
            [&](const QVariant& result) { centre = result; });
        QTRY_VERIFY(centre.isValid());
        const auto choose = [&](const QString& action, const QPoint& at) {
            QTest::mouseClick(w.WebBrowser1->focusProxy(), Qt::RightButton, {}, at);
            QTRY_VERIFY(qobject_cast<QMenu*>(QApplication::activePopupWidget()));
            QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            for (QAction* item : menu->actions())
                if (item->text() == action)
                    item->trigger();
            menu->close();
        };
        choose(u"监视这里的变化"_qs, QPointF(centre.toList()[0].toDouble(), centre.toList()[1].toDouble()).toPoint());
        QTRY_COMPARE(IniFile(m_folder->path(u"user.ini"_qs)).value(Section, u"WATCH"_qs),
                     u"body > p:nth-of-type(2)"_qs);
        choose(u"停止监视"_qs, {});
        QCOMPARE(w.windowTitle(), Section);
        QCOMPARE(IniFile(m_folder->path(u"user.ini"_qs)).value(Section, u"WATCHTEXT"_qs), QString());
    }

private:
    std::optional<TestFolder> m_folder;
};

QTEST_MAIN(TestWatch)
#include "tst_watch.moc"
