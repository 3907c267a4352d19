#include "DateTimeText.h"
#include "IntervalParser.h"
#include "RefreshUrl.h"

#include <QRegularExpression>
#include <QTest>

class TestRefreshUrl : public QObject
{
    Q_OBJECT
private slots:
    void build_data();
    void build();
    void hasScheme_data();
    void hasScheme();
    void interval_data();
    void interval();
    void dateTimeText_data();
    void dateTimeText();
};

void TestRefreshUrl::build_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("url");

    QTest::newRow("plain page") << "http://example.org/a" << "http://example.org/a"
                                << "http://example.org/a?rn=0.7055475";
    QTest::newRow("page with query") << "http://example.org/a?p=1" << "http://example.org/a?p=1"
                                     << "http://example.org/a?p=1&rn=0.7055475";
    QTest::newRow("no scheme gets http") << "example.org" << "http://example.org"
                                         << "http://example.org?rn=0.7055475";
    QTest::newRow("no scheme with query") << "example.org/a?p=1" << "http://example.org/a?p=1"
                                          << "http://example.org/a?p=1&rn=0.7055475";
    QTest::newRow("https as typed") << "https://example.org" << "https://example.org"
                                    << "https://example.org?rn=0.7055475";
    QTest::newRow("upper-case scheme as typed") << "HTTP://EXAMPLE.ORG" << "HTTP://EXAMPLE.ORG"
                                                << "HTTP://EXAMPLE.ORG?rn=0.7055475";
    QTest::newRow("other scheme as typed") << "svn+ssh://host/p" << "svn+ssh://host/p" << "svn+ssh://host/p?rn=0.7055475";
    QTest::newRow("http:// later in the text") << "example.org/?to=http://x" << "http://example.org/?to=http://x"
                                               << "http://example.org/?to=http://x&rn=0.7055475";
    QTest::newRow("question mark only at the end") << "example.org/?" << "http://example.org/?"
                                                   << "http://example.org/?&rn=0.7055475";
    QTest::newRow("empty") << "" << "http://" << "http://?rn=0.7055475";
}

void TestRefreshUrl::build()
{
    QFETCH(QString, typed);
    QFETCH(QString, field);
    QFETCH(QString, url);
    const RefreshUrl::Target target = RefreshUrl::build(typed, QStringLiteral("0.7055475"));
    QCOMPARE(target.fieldText, field);
    QCOMPARE(target.url, url);
    // Refreshing again from the field adds no second prefix and exactly one token.
    const RefreshUrl::Target again = RefreshUrl::build(target.fieldText, QStringLiteral("0.5"));
    QCOMPARE(again.fieldText, field);
    QCOMPARE(again.url.count(QStringLiteral("rn=")), url.count(QStringLiteral("rn=")));
}

void TestRefreshUrl::hasScheme_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("expected");
    QTest::newRow("http") << "http://a" << true;
    QTest::newRow("mixed case") << "HtTpS://a" << true;
    QTest::newRow("digits and signs") << "a1+b-c.d://x" << true;
    QTest::newRow("starts with digit") << "1http://a" << false;
    QTest::newRow("one slash") << "http:/a" << false;
    QTest::newRow("no scheme name") << "://a" << false;
    QTest::newRow("host and port") << "example.org:80/a" << false;
    QTest::newRow("underscore") << "my_scheme://a" << false;
}

void TestRefreshUrl::hasScheme()
{
    QFETCH(QString, text);
    QFETCH(bool, expected);
    QCOMPARE(RefreshUrl::hasScheme(text), expected);
}

void TestRefreshUrl::interval_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("seconds"); // -1: not an interval

    QTest::newRow("zero") << "0" << qint64(0);
    QTest::newRow("thirty") << "30" << qint64(30);
    QTest::newRow("one year") << "31536000" << qint64(31536000);
    QTest::newRow("leading zeros") << "007" << qint64(7);
    QTest::newRow("blanks around") << " 5 " << qint64(5);
    QTest::newRow("over one year") << "31536001" << qint64(-1);
    QTest::newRow("huge") << "99999999999999999999" << qint64(-1);
    QTest::newRow("negative") << "-1" << qint64(-1);
    QTest::newRow("plus sign") << "+5" << qint64(-1);
    QTest::newRow("fraction") << "1.5" << qint64(-1);
    QTest::newRow("exponent") << "1e3" << qint64(-1);
    QTest::newRow("hex") << "0x10" << qint64(-1);
    QTest::newRow("letters") << "abc" << qint64(-1);
    QTest::newRow("digits then letters") << "5s" << qint64(-1);
    QTest::newRow("blanks only") << "   " << qint64(-1);
    QTest::newRow("full-width digits") << QString::fromUtf8("５") << qint64(-1);
    QTest::newRow("inner blank") << "1 0" << qint64(-1);
}

void TestRefreshUrl::interval()
{
    QFETCH(QString, text);
    QFETCH(qint64, seconds);
    const std::optional<qint64> parsed = IntervalParser::seconds(text);
    QCOMPARE(parsed.value_or(-1), seconds);
}

void TestRefreshUrl::dateTimeText_data()
{
    QTest::addColumn<QDateTime>("value");
    QTest::addColumn<QString>("general");
    QTest::addColumn<QString>("timeOfDay");
    QTest::newRow("afternoon") << QDateTime(QDate(2013, 4, 26), QTime(17, 42, 58)) << "2013-4-26 17:42:58"
                               << "17:42:58";
    QTest::newRow("early morning") << QDateTime(QDate(2024, 12, 1), QTime(7, 5, 9)) << "2024-12-1 7:05:09"
                                   << "7:05:09";
    QTest::newRow("midnight") << QDateTime(QDate(2024, 1, 1), QTime(0, 0, 0)) << "2024-1-1 0:00:00" << "0:00:00";
}

void TestRefreshUrl::dateTimeText()
{
    QFETCH(QDateTime, value);
    QFETCH(QString, general);
    QFETCH(QString, timeOfDay);
    QCOMPARE(DateTimeText::general(value), general);
    QCOMPARE(DateTimeText::timeOfDay(value), timeOfDay);
}

QTEST_GUILESS_MAIN(TestRefreshUrl)
#include "tst_refreshurl.moc"
