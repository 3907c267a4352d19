#include "IniFile.h"

#include <QTest>

// Inputs the INI fuzzer found to break a promise of the writer, kept as plain cases.
class TestIniFileFindings : public QObject
{
    Q_OBJECT

private slots:
    void storingAgainChangesNothing_data();
    void storingAgainChangesNothing();
    void keyStartingWithByteOrderMarkIsFoundAgain_data();
    void keyStartingWithByteOrderMarkIsFoundAgain();
};

void TestIniFileFindings::storingAgainChangesNothing_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("value");

    // A URL typed with a blank in front used to gain one more blank in the file at every close.
    QTest::newRow("leading blank, new key") << QByteArray("[a]\r\n") << QStringLiteral(" http://example.org/");
    QTest::newRow("leading blank over another value")
        << QByteArray("[a]\r\nTEXT2=http://old/\r\n") << QStringLiteral(" http://example.org/");
    QTest::newRow("leading tab and blanks") << QByteArray("[a]\r\nTEXT2 =  x\r\n") << QStringLiteral("\t  y");
    QTest::newRow("trailing blanks") << QByteArray("[a]\r\nTEXT2=x\r\n") << QStringLiteral("y  ");
    QTest::newRow("fuzzer's input") << QByteArray("[a]\r\n\x84\x31\x95\x33=\r\n", 12) << QStringLiteral(" \u0000");
}

void TestIniFileFindings::storingAgainChangesNothing()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, value);
    const QString key = contents.contains("\x84\x31") ? QString(QChar(0xFEFF)) : QStringLiteral("TEXT2");

    const std::optional<QByteArray> once = IniFile::withValue(contents, QStringLiteral("a"), key, value);
    QVERIFY(once);
    QCOMPARE(IniFile::valueIn(*once, QStringLiteral("a"), key), std::optional<QString>(value.trimmed()));
    QByteArray again = *once;
    for (int i = 0; i < 3; ++i)
        again = IniFile::withValue(again, QStringLiteral("a"), key, value).value_or(QByteArray());
    QCOMPARE(again, *once);
}

void TestIniFileFindings::keyStartingWithByteOrderMarkIsFoundAgain_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("UTF-8 file") << QByteArray("\xEF\xBB\xBF[a]\r\n");
    QTest::newRow("GB18030 file") << QByteArray("[a]\r\n");
}

// U+FEFF at the start of a line is a character of that line, not a second byte-order mark: a key that starts with it
// used to be written again as a new line at every save of a UTF-8 file, because the line read back without it.
void TestIniFileFindings::keyStartingWithByteOrderMarkIsFoundAgain()
{
    QFETCH(QByteArray, contents);
    const QString key = QStringLiteral("\uFEFFKEY");
    const std::optional<QByteArray> once = IniFile::withValue(contents, QStringLiteral("a"), key, QStringLiteral("1"));
    QVERIFY(once);
    QCOMPARE(IniFile::valueIn(*once, QStringLiteral("a"), key), std::optional<QString>(QStringLiteral("1")));
    QCOMPARE(IniFile::withValue(*once, QStringLiteral("a"), key, QStringLiteral("1")), once);
    // The file's own mark is still no part of its first line.
    QCOMPARE(IniFile::valueIn("\xEF\xBB\xBFK=v\r\n[a]\r\nK=w\r\n", QStringLiteral("a"), QStringLiteral("K")),
             std::optional<QString>(QStringLiteral("w")));
}

QTEST_GUILESS_MAIN(TestIniFileFindings)
#include "tst_inifilefindings.moc"
