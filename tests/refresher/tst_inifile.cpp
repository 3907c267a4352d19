#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {

using OptionalText = std::optional<QString>;

// The window caption, as GB18030 (and GBK) bytes.
const QByteArray Caption = QByteArray::fromHex("e1b0d6dbcdf8d2b3d7d4b6afcba2d0c2c6f7");
const QString CaptionText = QString::fromUtf8("岚舟网页自动刷新器");

QByteArray gb(const QString& text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

Q_DECLARE_METATYPE(OptionalText)

class TestIniFile : public QObject
{
    Q_OBJECT

private slots:
    void codecIsAvailable()
    {
        // Without ICU, Qt knows no GB18030; every read would come back empty and every write be refused.
        QVERIFY(QStringEncoder("GB18030").isValid());
        QCOMPARE(gb(QString::fromUtf8("😀")), QByteArray::fromHex("9439fc36"));
    }

    void read_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<OptionalText>("expected");

        const QByteArray s = "[" + Caption + "]";
        const QString cap = CaptionText;
        QTest::newRow("plain") << s + "\r\nTEXT1=30\r\n" << cap << "TEXT1" << OptionalText("30");
        QTest::newRow("empty file") << QByteArray() << cap << "TEXT1" << OptionalText();
        QTest::newRow("missing section") << QByteArray("[other]\r\nTEXT1=30\r\n") << cap << "TEXT1" << OptionalText();
        QTest::newRow("missing key") << s + "\r\nTEXT2=x\r\n" << cap << "TEXT1" << OptionalText();
        QTest::newRow("empty value") << s + "\r\nTEXT1=\r\n" << cap << "TEXT1" << OptionalText("");
        QTest::newRow("names ignore case") << QByteArray("[My Sect]\r\ntext1=5\r\n") << "my sect"
                                           << "Text1" << OptionalText("5");
        QTest::newRow("blanks around key and value") << QByteArray("  [S] \r\n  TEXT1 \t=  30 \t\r\n") << "S"
                                                     << "TEXT1" << OptionalText("30");
        QTest::newRow("value keeps inner blanks and equals") << QByteArray("[S]\r\nTEXT2=a b=c\r\n") << "S"
                                                             << "TEXT2" << OptionalText("a b=c");
        QTest::newRow("LF only") << QByteArray("[A]\nX=1\n[S]\nTEXT1=7\n") << "S"
                                 << "TEXT1" << OptionalText("7");
        QTest::newRow("no final line break") << QByteArray("[S]\r\nTEXT1=7") << "S"
                                             << "TEXT1" << OptionalText("7");
        QTest::newRow("comment is not a key") << QByteArray("[S]\r\n;TEXT1=1\r\n") << "S"
                                              << "TEXT1" << OptionalText();
        QTest::newRow("key before any section") << QByteArray("TEXT1=1\r\n[S]\r\nTEXT2=2\r\n") << "S"
                                                << "TEXT1" << OptionalText();
        QTest::newRow("key of the next section") << QByteArray("[S]\r\nTEXT2=2\r\n[T]\r\nTEXT1=1\r\n") << "S"
                                                 << "TEXT1" << OptionalText();
        QTest::newRow("first duplicate section wins") << QByteArray("[S]\r\nTEXT2=a\r\n[S]\r\nTEXT1=b\r\n") << "S"
                                                      << "TEXT1" << OptionalText();
        QTest::newRow("first duplicate key wins") << QByteArray("[S]\r\nTEXT1=a\r\nTEXT1=b\r\n") << "S"
                                                  << "TEXT1" << OptionalText("a");
        QTest::newRow("GBK value") << s + "\r\nTEXT2=http://" + QByteArray::fromHex("c0fdd7d3") + "\r\n"
                                   << cap << "TEXT2" << OptionalText(QString::fromUtf8("http://例子"));
        // 乚 is 81 5D and 乕 is 81 5B in GBK: the bytes of ']' and '[' inside a section name.
        QTest::newRow("bracket bytes inside Chinese")
            << QByteArray("[") + QByteArray::fromHex("815d815b") + "]\r\nK=v\r\n"
            << QString::fromUtf8("乚乕") << "K" << OptionalText("v");
        QTest::newRow("four-byte characters") << s + "\r\nTEXT2=" + QByteArray::fromHex("9439fc3695328236") + "\r\n"
                                              << cap << "TEXT2" << OptionalText(QString::fromUtf8("😀𠀀"));
        QTest::newRow("UTF-8 byte-order mark")
            << QByteArray("\xEF\xBB\xBF[") + CaptionText.toUtf8() + "]\r\nTEXT1=9\r\n"
            << cap << "TEXT1" << OptionalText("9");
        QTest::newRow("garbage bytes elsewhere") << QByteArray("[S]\r\n\xFF\xFE\x81\r\n\x81=\x80\r\nTEXT1=4\r\n") << "S"
                                                 << "TEXT1" << OptionalText("4");
        QTest::newRow("broken byte at line end does not eat the next line")
            << QByteArray("[S]\r\nA=\x81\r\nTEXT1=4\r\n") << "S"
            << "TEXT1" << OptionalText("4");
        const QByteArray longValue(100000, 'x');
        QTest::newRow("very long line") << "[S]\r\nTEXT2=" + longValue + "\r\n"
                                        << "S"
                                        << "TEXT2" << OptionalText(QString::fromLatin1(longValue));
    }
    void read()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(OptionalText, expected);
        QCOMPARE(IniFile::valueIn(contents, section, key), expected);
    }

    void write_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("new file") << QByteArray() << CaptionText << "TEXT2"
                                  << "http://example.org/a"
                                  << "[" + Caption + "]\r\nTEXT2=http://example.org/a\r\n";
        QTest::newRow("section appended without a blank line") << QByteArray("[A]\r\nX=1\r\n") << "S"
                                                               << "K"
                                                               << "v" << QByteArray("[A]\r\nX=1\r\n[S]\r\nK=v\r\n");
        QTest::newRow("section appended after a last line without break")
            << QByteArray("[A]\r\nX=1") << "S"
            << "K"
            << "v" << QByteArray("[A]\r\nX=1\r\n[S]\r\nK=v\r\n");
        QTest::newRow("trailing blank lines stay where they are")
            << QByteArray("[A]\r\nX=1\r\n\r\n") << "S"
            << "K"
            << "v" << QByteArray("[A]\r\nX=1\r\n\r\n[S]\r\nK=v\r\n");
        QTest::newRow("key after the last non-blank line of its section")
            << QByteArray("[S]\r\nX=1\r\n; note\r\n\r\n[T]\r\nY=2\r\n") << "S"
            << "K"
            << "v" << QByteArray("[S]\r\nX=1\r\n; note\r\nK=v\r\n\r\n[T]\r\nY=2\r\n");
        QTest::newRow("key into an empty section") << QByteArray("[S]\r\n\r\n[T]\r\n") << "S"
                                                   << "K"
                                                   << "v" << QByteArray("[S]\r\nK=v\r\n\r\n[T]\r\n");
        QTest::newRow("key into the last section without break") << QByteArray("[S]\r\nX=1") << "S"
                                                                 << "K"
                                                                 << "v" << QByteArray("[S]\r\nX=1\r\nK=v\r\n");
        QTest::newRow("value replaced in place") << QByteArray("[S]\r\nA=1\r\nK=old\r\nB=2\r\n") << "S"
                                                 << "K"
                                                 << "new" << QByteArray("[S]\r\nA=1\r\nK=new\r\nB=2\r\n");
        QTest::newRow("replace keeps the file's spelling and blanks") << QByteArray("[s]\r\n  text1 = 30\r\n") << "S"
                                                                      << "TEXT1"
                                                                      << "45" << QByteArray("[s]\r\n  text1 = 45\r\n");
        QTest::newRow("replace with empty") << QByteArray("[S]\r\nK=old\r\n") << "S"
                                            << "K"
                                            << "" << QByteArray("[S]\r\nK=\r\n");
        QTest::newRow("LF-only lines kept, written line CRLF") << QByteArray("; c\n[S]\nK=old\nB=2\n") << "S"
                                                               << "K"
                                                               << "new" << QByteArray("; c\n[S]\nK=new\r\nB=2\n");
        QTest::newRow("first duplicate section written") << QByteArray("[S]\r\nA=1\r\n[S]\r\nK=old\r\n") << "S"
                                                         << "K"
                                                         << "v" << QByteArray("[S]\r\nA=1\r\nK=v\r\n[S]\r\nK=old\r\n");
        QTest::newRow("comment and key before section untouched") << QByteArray(";K=c\r\nK=0\r\n[S]\r\n") << "S"
                                                                  << "K"
                                                                  << "v" << QByteArray(";K=c\r\nK=0\r\n[S]\r\nK=v\r\n");
        QTest::newRow("garbage lines kept byte for byte")
            << QByteArray("\xFF\xFE\x81\r\n[S]\r\n\x80\x81=\r\nK=1\r\n") << "S"
            << "K"
            << "2" << QByteArray("\xFF\xFE\x81\r\n[S]\r\n\x80\x81=\r\nK=2\r\n");
        QTest::newRow("UTF-8 file extended in UTF-8")
            << QByteArray("\xEF\xBB\xBF[A]\r\n") << CaptionText << "TEXT1" << QString::fromUtf8("页")
            << QByteArray("\xEF\xBB\xBF[A]\r\n[") + CaptionText.toUtf8() +
                   "]\r\nTEXT1=" + QString::fromUtf8("页").toUtf8() + "\r\n";
        QTest::newRow("byte-order mark alone gets no blank line") << QByteArray("\xEF\xBB\xBF") << "S"
                                                                  << "K"
                                                                  << "v" << QByteArray("\xEF\xBB\xBF[S]\r\nK=v\r\n");
        QTest::newRow("line break in value cannot make a key")
            << QByteArray("[S]\r\n") << "S"
            << "TEXT2"
            << "a\r\nTEXT1=9" << QByteArray("[S]\r\nTEXT2=a  TEXT1=9\r\n");
        QTest::newRow("characters outside GBK")
            << QByteArray("[S]\r\n") << "S"
            << "K" << QString::fromUtf8("😀𠀀")
            << QByteArray("[S]\r\nK=") + QByteArray::fromHex("9439fc3695328236") + "\r\n";
    }
    void write()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, expected);
        const std::optional<QByteArray> written = IniFile::withValue(contents, section, key, value);
        QVERIFY(written);
        QCOMPARE(*written, expected);
        // What was written reads back, line breaks turned into blanks.
        QString stored = value;
        stored.replace(u'\r', u' ').replace(u'\n', u' ');
        QCOMPARE(IniFile::valueIn(*written, section, key), OptionalText(stored));
    }

    void unstorableNames_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::newRow("blank key") << "S"
                                   << "  ";
        QTest::newRow("blank section") << " "
                                       << "K";
        QTest::newRow("equals in key") << "S"
                                       << "A=B";
        QTest::newRow("bracket in section") << "S]"
                                            << "K";
        QTest::newRow("line break in key") << "S"
                                           << "A\nB";
        QTest::newRow("comment key") << "S"
                                     << ";K";
    }
    void unstorableNames()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QVERIFY(!IniFile::withValue("[S]\r\n", section, key, "v"));
    }

    void fileRoundTripAndNoLeftovers()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("user.ini");
        const IniFile ini(path);
        QCOMPARE(ini.value("S", "K"), OptionalText());
        QVERIFY(ini.setValue("S", "K", "1"));
        QVERIFY(ini.setValue("S", "L", "2"));
        QCOMPARE(readAll(path), QByteArray("[S]\r\nK=1\r\nL=2\r\n"));
        QCOMPARE(ini.value("s", "l"), OptionalText("2"));
        // The temporary file of each save is renamed away, not left beside user.ini.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"user.ini"});
    }

    void unwritablePlaces()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(writeAll(dir.filePath("plain"), "x"));
        // A folder that is a regular file cannot hold anything, even for root.
        const IniFile underFile(dir.filePath("plain/user.ini"));
        QVERIFY(!underFile.setValue("S", "K", "v"));
        QCOMPARE(underFile.value("S", "K"), OptionalText());
        QCOMPARE(readAll(dir.filePath("plain")), QByteArray("x"));

        // A folder where the file should be is neither read nor replaced.
        QVERIFY(QDir(dir.path()).mkdir("user.ini"));
        QVERIFY(!IniFile(dir.filePath("user.ini")).setValue("S", "K", "v"));
        QVERIFY(QFileInfo(dir.filePath("user.ini")).isDir());
    }

    void unchangedValueLeavesFileAlone()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("user.ini");
        QVERIFY(writeAll(path, "[S]\nK=1\n"));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        // Same value: nothing to write, so even a read-only file reports success and keeps its bytes.
        QVERIFY(IniFile(path).setValue("S", "K", "1"));
        QCOMPARE(readAll(path), QByteArray("[S]\nK=1\n"));
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
