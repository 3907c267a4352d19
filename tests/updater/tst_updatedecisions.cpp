#include "ContentLength.h"
#include "FileList.h"
#include "ProgressScale.h"
#include "StartPause.h"

#include <QTest>

#include <limits>

Q_DECLARE_METATYPE(std::optional<qint64>)

// The version decision is driven through the updater's start-up sequence in tst_updata.
class TestUpdateDecisions : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void plainFileName_data();
    void plainFileName();
    void contentLength_data();
    void contentLength();
    void runningBar_data();
    void runningBar();
    void completeBarIsFull_data();
    void completeBarIsFull();
    void pauseRule_data();
    void pauseRule();
    void pauseLastsOneToTwoSeconds();
};

void TestUpdateDecisions::split_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("one") << QStringLiteral("Pagewell") << QStringList{QStringLiteral("Pagewell")};
    QTest::newRow("two") << QStringLiteral("setup.exe|data.dat")
                         << QStringList{QStringLiteral("setup.exe"), QStringLiteral("data.dat")};
    QTest::newRow("empty inside") << QStringLiteral("a||b")
                                  << QStringList{QStringLiteral("a"), QString(), QStringLiteral("b")};
    QTest::newRow("trailing bar") << QStringLiteral("a|") << QStringList{QStringLiteral("a"), QString()};
    QTest::newRow("only a bar") << QStringLiteral("|") << QStringList{QString(), QString()};
    QTest::newRow("empty") << QString() << QStringList{};
    QTest::newRow("nothing trimmed") << QStringLiteral(" a \r\n") << QStringList{QStringLiteral(" a \r\n")};
}

void TestUpdateDecisions::split()
{
    QFETCH(QString, reply);
    QFETCH(QStringList, names);
    QCOMPARE(FileList::split(reply), names);
}

void TestUpdateDecisions::plainFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("plain");
    // Device names are refused as they would be on Windows; only the exact names, with or without extension.
    for (const char* name : {"Pagewell", "setup.exe", "a..b", ".config", "说明.txt", "COM0", "console"})
        QTest::addRow("plain %s", name) << QString::fromUtf8(name) << true;
    for (const char* name : {"", ".", "..", "../x", "bin/x", "..\\x", "/etc/passwd", "/", "\\", "C:x", "C:\\x",
                             "Pagewell.exe:evil", "Pagewell\n", "a\tb", "a\x7f", "NUL", "con.txt", "COM1"})
        QTest::addRow("not plain %s", name) << QString::fromUtf8(name) << false;
    QTest::newRow("not plain, NUL inside") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << false;
}

void TestUpdateDecisions::plainFileName()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QCOMPARE(FileList::isPlainFileName(name), plain);
}

void TestUpdateDecisions::contentLength_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<std::optional<qint64>>("length");
    const auto row = [](const char* text, std::optional<qint64> length) {
        QTest::addRow("\"%s\"", text) << QByteArray(text) << length;
    };
    for (const qint64 length : {qint64(2500), qint64(0), qint64(16777217), qint64(2147483649LL), qint64(4294967297LL),
                                std::numeric_limits<qint64>::max()})
        QTest::newRow(QByteArray::number(length)) << QByteArray::number(length) << std::optional<qint64>(length);
    row(" 12 ", 12);
    for (const char* text : {"9223372036854775808", "", "-1", "+5", "2.5", "0x10", "5, 5", "1 2"})
        row(text, std::nullopt);
}

void TestUpdateDecisions::contentLength()
{
    QFETCH(QByteArray, text);
    QFETCH(std::optional<qint64>, length);
    QCOMPARE(ContentLength::parse(text), length);
}

void TestUpdateDecisions::runningBar_data()
{
    QTest::addColumn<qint64>("written");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::newRow("first chunk") << qint64(1024) << qint64(2500) << 2500 << 1024;
    QTest::newRow("last chunk") << qint64(2500) << qint64(2500) << 2500 << 2500;
    QTest::newRow("unknown length is busy") << qint64(5000) << qint64(-1) << 0 << 0;
    QTest::newRow("zero length is not busy") << qint64(0) << qint64(0) << 1 << 0;
    QTest::newRow("int range exact") << qint64(2147483646) << qint64(2147483647) << 2147483647 << 2147483646;
    // 3 GiB is halved to fit; the bar still counts exactly, in 2-byte steps.
    QTest::newRow("past 2 GiB halves") << qint64(2147483648LL) << qint64(3221225472LL) << 1610612736 << 1073741824;
    QTest::newRow("past 2 GiB end") << qint64(3221225472LL) << qint64(3221225472LL) << 1610612736 << 1610612736;
    QTest::newRow("4 GiB quartered") << qint64(4294967296LL) << qint64(4294967296LL) << 1073741824 << 1073741824;
    QTest::newRow("huge") << qint64(1) << std::numeric_limits<qint64>::max() << 2147483647 << 0;
}

void TestUpdateDecisions::runningBar()
{
    QFETCH(qint64, written);
    QFETCH(qint64, expected);
    QFETCH(int, maximum);
    QFETCH(int, value);
    const ProgressScale::Bar bar = ProgressScale::running(written, expected);
    QCOMPARE(bar.maximum, maximum);
    QCOMPARE(bar.value, value);
}

void TestUpdateDecisions::completeBarIsFull_data()
{
    QTest::addColumn<qint64>("written");
    QTest::newRow("empty file") << qint64(0);
    QTest::newRow("small") << qint64(2500);
    QTest::newRow("past 2 GiB") << qint64(2147483649LL);
    QTest::newRow("past 1 TiB") << qint64(1) * 1024 * 1024 * 1024 * 1024 + 7;
}

void TestUpdateDecisions::completeBarIsFull()
{
    QFETCH(qint64, written);
    const ProgressScale::Bar bar = ProgressScale::complete(written);
    QVERIFY(bar.maximum > 0);
    QCOMPARE(bar.value, bar.maximum);
}

void TestUpdateDecisions::pauseRule_data()
{
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("over");
    // A start at 10.2 s ends at the first reading of 11.5 s or later.
    QTest::newRow("10.2 at 11.499") << qint64(10200) << qint64(11499) << false;
    QTest::newRow("10.2 at 11.5") << qint64(10200) << qint64(11500) << true;
    // A start at 10.6 s ends at the first reading above 12.5 s, which rounds to the even 12.
    QTest::newRow("10.6 at 12.5") << qint64(10600) << qint64(12500) << false;
    QTest::newRow("10.6 at 12.501") << qint64(10600) << qint64(12501) << true;
    QTest::newRow("10.5 rounds down") << qint64(10500) << qint64(11500) << true;
    QTest::newRow("11.5 rounds up") << qint64(11500) << qint64(13499) << false;
    QTest::newRow("before the reference") << qint64(-2600) << qint64(-500) << true;
    QTest::newRow("same reading") << qint64(10000) << qint64(10000) << false;
}

void TestUpdateDecisions::pauseRule()
{
    QFETCH(qint64, start);
    QFETCH(qint64, now);
    QFETCH(bool, over);
    QCOMPARE(StartPause::isOver(start, now), over);
}

void TestUpdateDecisions::pauseLastsOneToTwoSeconds()
{
    // Wherever within a second the pause starts, it ends after one and at most two seconds.
    for (qint64 start = 100'000; start < 102'000; ++start) {
        qint64 end = start;
        while (!StartPause::isOver(start, end))
            ++end;
        QVERIFY2(end - start >= 1000 && end - start <= 2000, qPrintable(QString::number(start)));
    }
}

QTEST_GUILESS_MAIN(TestUpdateDecisions)
#include "tst_updatedecisions.moc"
