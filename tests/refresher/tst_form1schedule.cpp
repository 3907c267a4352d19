#include "DateTimeText.h"
#include "FakeClock.h"
#include "ClickableLabel.h"
#include "Form1.h"
#include "IntervalParser.h"
#include "MessageBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
QStringList g_messages;

void recordMessage(QWidget*, const QString& text)
{
    g_messages << text;
}

const QDateTime Start(QDate(2013, 4, 26), QTime(17, 42, 0));

// A main window on a fake clock whose refreshes are recorded instead of loaded.
struct Harness
{
    FakeClock clock{Start};
    Form1 form{&clock};
    QStringList urls;

    Harness()
    {
        form.setNavigatorForTesting([this](const QUrl& url) { urls << url.toString(); });
        // Real ticks would interleave with the ticks the test drives; the test is the only source of ticks.
        form.Timer1->setInterval(24 * 3600 * 1000);
        form.Timer1->start();
    }

    void enable(const QString& url, const QString& interval)
    {
        form.Text2->setText(url);
        form.Text1->setText(interval);
        form.Check1->setChecked(true);
    }

    // Moves the clock to the given second after Start and ticks once.
    void tickAt(qint64 second)
    {
        clock.set(Start.addSecs(second));
        form.Timer1_Timer();
    }
};

QString nextRunText(qint64 second)
{
    return QStringLiteral("下次执行时间为") + DateTimeText::general(Start.addSecs(second));
}
} // namespace

class TestForm1Schedule : public QObject
{
    Q_OBJECT
private slots:
    void init() { g_messages.clear(); }
    void initTestCase() { MessageBox::setHandlerForTesting(recordMessage); }

    void dueTicks_data();
    void dueTicks();
    void untickWhileArmedRefreshesOnceMore();
    void intervalZeroRefreshesEveryTick();
    void command1LeavesScheduleAlone();
    void intervalGoneBadAtDueTickDisarms_data();
    void intervalGoneBadAtDueTickDisarms();
    void enableBox_data();
    void enableBox();
    void dengAppendsOneFreshToken();
    void clockLabel();
    void urlPrompt_data();
    void urlPrompt();
};

void TestForm1Schedule::dueTicks_data()
{
    QTest::addColumn<QList<int>>("ticks");        // seconds after arming at which the window ticks
    QTest::addColumn<QList<int>>("refreshTicks"); // those ticks that refresh
    QTest::addColumn<int>("nextRun");             // the armed time afterwards

    QTest::newRow("every second") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10} << QList<int>{5, 10} << 15;
    QTest::newRow("late tick re-arms from now") << QList<int>{3, 7, 11, 12} << QList<int>{7, 12} << 17;
    QTest::newRow("nothing before due") << QList<int>{1, 4} << QList<int>{} << 5;
    QTest::newRow("armed, no tick yet") << QList<int>{} << QList<int>{} << 5;
}

void TestForm1Schedule::dueTicks()
{
    QFETCH(QList<int>, ticks);
    QFETCH(QList<int>, refreshTicks);
    QFETCH(int, nextRun);

    Harness h;
    QVERIFY(!h.form.NextRunTime().has_value());
    h.enable(QStringLiteral("http://a.test/x"), QStringLiteral("5"));
    QVERIFY(h.form.Timer1->isActive());
    QDateTime lastDue;
    QDateTime armed = Start.addSecs(5);
    int refreshes = 0;
    for (int second : ticks) {
        const qsizetype before = h.urls.size();
        h.tickAt(second);
        const bool refreshed = h.urls.size() > before;
        QCOMPARE(refreshed, refreshTicks.contains(second));
        if (refreshed) {
            ++refreshes;
            QCOMPARE(h.urls.size(), before + 1);
            lastDue = armed;
            armed = Start.addSecs(second + 5);
        }
    }
    QCOMPARE(h.urls.size(), refreshes);
    QCOMPARE(h.form.RunCount(), refreshes);
    QCOMPARE(h.form.NextRunTime(), std::optional<QDateTime>(Start.addSecs(nextRun)));
    QCOMPARE(h.form.Label5->text(), nextRunText(nextRun));
    if (refreshes > 0) {
        // The time that came due, not the time of the tick that noticed it.
        QCOMPARE(h.form.Label6->text(), QStringLiteral("已成功运行%1次.上次%2")
                                            .arg(refreshes)
                                            .arg(DateTimeText::general(lastDue)));
    } else {
        QCOMPARE(h.form.Label6->text(), QString());
    }
    QVERIFY(g_messages.isEmpty());
}

void TestForm1Schedule::untickWhileArmedRefreshesOnceMore()
{
    Harness h;
    h.enable(QStringLiteral("http://a.test/x"), QStringLiteral("5"));
    h.tickAt(1);
    h.form.Check1->setChecked(false);
    QCOMPARE(h.form.NextRunTime(), std::optional<QDateTime>(Start.addSecs(5)));
    for (int second = 2; second <= 30; ++second)
        h.tickAt(second);
    QCOMPARE(h.urls.size(), 1);
    QCOMPARE(h.form.RunCount(), 1);
    QVERIFY(!h.form.NextRunTime().has_value());
    QCOMPARE(h.form.Label5->text(), nextRunText(5));
    QCOMPARE(h.form.Label6->text(), "已成功运行1次.上次" + DateTimeText::general(Start.addSecs(5)));
    QVERIFY(g_messages.isEmpty());

    // Ticking again arms from now.
    h.form.Check1->setChecked(true);
    QCOMPARE(h.form.NextRunTime(), std::optional<QDateTime>(Start.addSecs(35)));
}

void TestForm1Schedule::intervalZeroRefreshesEveryTick()
{
    Harness h;
    h.enable(QStringLiteral("http://a.test/x"), QStringLiteral("0"));
    QCOMPARE(h.form.NextRunTime(), std::optional<QDateTime>(Start));
    for (int second = 0; second < 4; ++second)
        h.tickAt(second);
    QCOMPARE(h.urls.size(), 4);
    QCOMPARE(h.form.RunCount(), 4);
    // The last run came due at the time armed by the tick before it.
    QCOMPARE(h.form.Label6->text(), "已成功运行4次.上次" + DateTimeText::general(Start.addSecs(2)));
}

void TestForm1Schedule::command1LeavesScheduleAlone()
{
    Harness h;
    h.enable(QStringLiteral("http://a.test/x"), QStringLiteral("5"));
    h.tickAt(5);
    const QString label5 = h.form.Label5->text();
    const QString label6 = h.form.Label6->text();
    QTest::mouseClick(h.form.Command1, Qt::LeftButton);
    h.form.Command1_Click();
    QCOMPARE(h.urls.size(), 3);
    QCOMPARE(h.form.RunCount(), 1);
    QCOMPARE(h.form.Label5->text(), label5);
    QCOMPARE(h.form.Label6->text(), label6);
    QCOMPARE(h.form.NextRunTime(), std::optional<QDateTime>(Start.addSecs(10)));

    // Without any schedule too.
    Harness idle;
    idle.form.Text2->setText(QStringLiteral("http://a.test/y"));
    idle.form.Command1_Click();
    QCOMPARE(idle.urls.size(), 1);
    QCOMPARE(idle.form.RunCount(), 0);
    QVERIFY(!idle.form.NextRunTime().has_value());
    QCOMPARE(idle.form.Label6->text(), QString());
}

void TestForm1Schedule::intervalGoneBadAtDueTickDisarms_data()
{
    QTest::addColumn<QString>("interval");
    QTest::newRow("emptied") << "";
    QTest::newRow("not a number") << "abc";
    QTest::newRow("too long") << "31536001";
}

void TestForm1Schedule::intervalGoneBadAtDueTickDisarms()
{
    QFETCH(QString, interval);
    Harness h;
    h.enable(QStringLiteral("http://a.test/x"), QStringLiteral("5"));
    // Typing into the field changes nothing until the schedule next comes due.
    h.form.Text1->setText(interval);
    QCOMPARE(h.form.NextRunTime(), std::optional<QDateTime>(Start.addSecs(5)));
    h.tickAt(5);
    QCOMPARE(h.urls.size(), 1);
    QCOMPARE(h.form.RunCount(), 1);
    QVERIFY(!h.form.NextRunTime().has_value());
    h.tickAt(6);
    h.tickAt(100);
    QCOMPARE(h.urls.size(), 1);
    QVERIFY(g_messages.isEmpty());
}

void TestForm1Schedule::enableBox_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("armed");

    const QString noUrl = QStringLiteral("请先设定网址");
    const QString noInterval = QStringLiteral("请先设定间隔时间");
    const QString badInterval = IntervalParser::invalidMessage();
    QTest::newRow("both empty") << "" << "" << QStringList{noUrl} << false;
    QTest::newRow("url empty") << "" << "5" << QStringList{noUrl} << false;
    QTest::newRow("url empty, bad interval") << "" << "abc" << QStringList{noUrl} << false;
    QTest::newRow("interval empty") << "http://a" << "" << QStringList{noInterval} << false;
    QTest::newRow("blank url is not empty") << " " << "5" << QStringList{} << true;
    QTest::newRow("interval blanks only") << "http://a" << "  " << QStringList{badInterval} << false;
    QTest::newRow("interval letters") << "http://a" << "abc" << QStringList{badInterval} << false;
    QTest::newRow("interval over a year") << "http://a" << "31536001" << QStringList{badInterval} << false;
    QTest::newRow("interval one year") << "http://a" << "31536000" << QStringList{} << true;
    QTest::newRow("interval zero") << "http://a" << "0" << QStringList{} << true;
}

void TestForm1Schedule::enableBox()
{
    QFETCH(QString, url);
    QFETCH(QString, interval);
    QFETCH(QStringList, messages);
    QFETCH(bool, armed);

    Harness h;
    h.form.Text2->setText(url);
    h.form.Text1->setText(interval);
    QTest::mouseClick(h.form.Check1, Qt::LeftButton, {}, QPoint(4, h.form.Check1->height() / 2));
    QCOMPARE(g_messages, messages);
    QCOMPARE(h.form.Check1->isChecked(), armed);
    QCOMPARE(h.form.NextRunTime().has_value(), armed);
    QCOMPARE(h.form.Label5->text().isEmpty(), !armed);
    QVERIFY(h.urls.isEmpty());
}

void TestForm1Schedule::dengAppendsOneFreshToken()
{
    Harness h;
    h.form.Text2->setText(QStringLiteral("example.org/a?p=1"));
    h.form.deng();
    h.form.deng();
    QCOMPARE(h.form.Text2->text(), QStringLiteral("http://example.org/a?p=1"));
    QCOMPARE(h.urls.size(), 2);
    const QRegularExpression shape(QStringLiteral("^http://example\\.org/a\\?p=1&rn=0\\.\\d{1,7}$"));
    for (const QString& url : h.urls)
        QVERIFY2(shape.match(url).hasMatch(), qPrintable(url));
    QVERIFY(h.urls[0] != h.urls[1]);
}

void TestForm1Schedule::clockLabel()
{
    Harness h;
    QCOMPARE(h.form.Label3->text(), QString());
    h.tickAt(7);
    QCOMPARE(h.form.Label3->text(), QStringLiteral("当前时间:17:42:07"));
    QVERIFY(h.urls.isEmpty());
}

void TestForm1Schedule::urlPrompt_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("field");
    QTest::newRow("new url") << "http://b.test/page" << true << "http://b.test/page";
    QTest::newRow("cancel") << "http://b.test/page" << false << "http://old.test";
    QTest::newRow("emptied and accepted") << "" << true << "http://old.test";
}

void TestForm1Schedule::urlPrompt()
{
    QFETCH(QString, answer);
    QFETCH(bool, accept);
    QFETCH(QString, field);

    Harness h;
    h.form.Text2->setText(QStringLiteral("http://old.test"));
    h.form.Text1->setText(QStringLiteral("5"));
    bool seen = false;
    // The real prompt is modal: answer it from inside its own event loop.
    QTimer::singleShot(0, &h.form, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        seen = dialog->labelText() == QStringLiteral("请输入要刷新的网址") &&
               dialog->windowTitle() == QStringLiteral(" ") && dialog->textValue() == QStringLiteral("http://");
        dialog->setTextValue(answer);
        accept ? dialog->accept() : dialog->reject();
    });
    // Should the prompt not be found, no test run may hang on it.
    QTimer::singleShot(10000, &h.form, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    QTest::mouseClick(h.form.Image1, Qt::LeftButton, {}, QPoint(40, 40));
    QVERIFY(seen);
    QCOMPARE(h.form.Text2->text(), field);
    // A new URL does not arm the schedule.
    QVERIFY(!h.form.NextRunTime().has_value());
    QVERIFY(h.urls.isEmpty());
}

QTEST_MAIN(TestForm1Schedule)
#include "tst_form1schedule.moc"
