#include "RandomToken.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

class TestRandomToken : public QObject
{
    Q_OBJECT

private slots:
    void format_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("seven digits") << 0.7055475 << QStringLiteral("0.7055475");
        QTest::newRow("trailing zeros dropped") << 0.533424 << QStringLiteral("0.533424");
        QTest::newRow("small value has no exponent") << 0.0000123 << QStringLiteral("0.0000123");
        QTest::newRow("smallest") << 0.0000001 << QStringLiteral("0.0000001");
    }
    void format()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(RandomToken::format(value), text);
    }

    void tokensArePlainDecimalsBetweenZeroAndOne()
    {
        static const QRegularExpression shape(QStringLiteral("^0\\.[0-9]{1,7}$"));
        QSet<QString> seen;
        for (int i = 0; i < 200; ++i) {
            const QString token = RandomToken::next();
            QVERIFY2(shape.match(token).hasMatch(), qPrintable(token));
            const double value = token.toDouble();
            QVERIFY(value > 0.0 && value < 1.0);
            seen.insert(token);
        }
        // Reseeding from a fine clock keeps back-to-back tokens apart.
        QVERIFY(seen.size() > 150);
    }
};

QTEST_GUILESS_MAIN(TestRandomToken)
#include "tst_randomtoken.moc"
