#include "FileBytes.h"
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

using FileBytes::gb;
using FileBytes::readAll;
using FileBytes::writeAll;

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
        const auto row = [](const char* name, const QByteArray& contents, const QString& section, const char* key,
                            const OptionalText& expected) {
            QTest::newRow(name) << contents << section << QString::fromLatin1(key) << expected;
        };
        const OptionalText none;
        row("plain", s + "\r\nTEXT1=30\r\n", cap, "TEXT1", "30");
        row("empty file", {}, cap, "TEXT1", none);
        row("missing section", "[other]\r\nTEXT1=30\r\n", cap, "TEXT1", none);
        row("missing key", s + "\r\nTEXT2=x\r\n", cap, "TEXT1", none);
        row("empty value", s + "\r\nTEXT1=\r\n", cap, "TEXT1", "");
        row("names ignore case", "[My Sect]\r\ntext1=5\r\n", "my sect", "Text1", "5");
        row("blanks around key and value", "  [S] \r\n  TEXT1 \t=  30 \t\r\n", "S", "TEXT1", "30");
        row("value keeps inner blanks and equals", "[S]\r\nTEXT2=a b=c\r\n", "S", "TEXT2", "a b=c");
        row("LF only", "[A]\nX=1\n[S]\nTEXT1=7\n", "S", "TEXT1", "7");
        row("no final line break", "[S]\r\nTEXT1=7", "S", "TEXT1", "7");
        row("comment is not a key", "[S]\r\n;TEXT1=1\r\n", "S", "TEXT1", none);
        row("key before any section", "TEXT1=1\r\n[S]\r\nTEXT2=2\r\n", "S", "TEXT1", none);
        row("key of the next section", "[S]\r\nTEXT2=2\r\n[T]\r\nTEXT1=1\r\n", "S", "TEXT1", none);
        row("first duplicate section wins", "[S]\r\nTEXT2=a\r\n[S]\r\nTEXT1=b\r\n", "S", "TEXT1", none);
        row("first duplicate key wins", "[S]\r\nTEXT1=a\r\nTEXT1=b\r\n", "S", "TEXT1", "a");
        row("GBK value", s + "\r\nTEXT2=http://" + QByteArray::fromHex("c0fdd7d3") + "\r\n", cap, "TEXT2",
            QString::fromUtf8("http://例子"));
        // 乚 is 81 5D and 乕 is 81 5B in GBK: the bytes of ']' and '[' inside a section name.
        row("bracket bytes inside Chinese", "[" + QByteArray::fromHex("815d815b") + "]\r\nK=v\r\n",
            QString::fromUtf8("乚乕"), "K", "v");
        row("four-byte characters", s + "\r\nTEXT2=" + QByteArray::fromHex("9439fc3695328236") + "\r\n", cap, "TEXT2",
            QString::fromUtf8("😀𠀀"));
        row("UTF-8 byte-order mark", "\xEF\xBB\xBF[" + CaptionText.toUtf8() + "]\r\nTEXT1=9\r\n", cap, "TEXT1", "9");
        row("garbage bytes elsewhere", "[S]\r\n\xFF\xFE\x81\r\n\x81=\x80\r\nTEXT1=4\r\n", "S", "TEXT1", "4");
        row("broken byte at line end does not eat the next line", "[S]\r\nA=\x81\r\nTEXT1=4\r\n", "S", "TEXT1", "4");
        const QByteArray longValue(100000, 'x');
        row("very long line", "[S]\r\nTEXT2=" + longValue + "\r\n", "S", "TEXT2", QString::fromLatin1(longValue));
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

        const auto row = [](const char* name, const QByteArray& contents, const QString& section, const QString& key,
                            const QString& value, const QByteArray& expected) {
            QTest::newRow(name) << contents << section << key << value << expected;
        };
        row("new file", {}, CaptionText, "TEXT2", "http://example.org/a",
            "[" + Caption + "]\r\nTEXT2=http://example.org/a\r\n");
        row("section appended without a blank line", "[A]\r\nX=1\r\n", "S", "K", "v", "[A]\r\nX=1\r\n[S]\r\nK=v\r\n");
        row("section appended after a last line without break", "[A]\r\nX=1", "S", "K", "v",
            "[A]\r\nX=1\r\n[S]\r\nK=v\r\n");
        row("trailing blank lines stay where they are", "[A]\r\nX=1\r\n\r\n", "S", "K", "v",
            "[A]\r\nX=1\r\n\r\n[S]\r\nK=v\r\n");
        row("key after the last non-blank line of its section", "[S]\r\nX=1\r\n; note\r\n\r\n[T]\r\nY=2\r\n", "S", "K",
            "v", "[S]\r\nX=1\r\n; note\r\nK=v\r\n\r\n[T]\r\nY=2\r\n");
        row("key into an empty section", "[S]\r\n\r\n[T]\r\n", "S", "K", "v", "[S]\r\nK=v\r\n\r\n[T]\r\n");
        row("key into the last section without break", "[S]\r\nX=1", "S", "K", "v", "[S]\r\nX=1\r\nK=v\r\n");
        row("value replaced in place", "[S]\r\nA=1\r\nK=old\r\nB=2\r\n", "S", "K", "new",
            "[S]\r\nA=1\r\nK=new\r\nB=2\r\n");
        row("replace keeps the file's spelling and blanks", "[s]\r\n  text1 = 30\r\n", "S", "TEXT1", "45",
            "[s]\r\n  text1 = 45\r\n");
        row("replace with empty", "[S]\r\nK=old\r\n", "S", "K", "", "[S]\r\nK=\r\n");
        row("LF-only lines kept, written line CRLF", "; c\n[S]\nK=old\nB=2\n", "S", "K", "new",
            "; c\n[S]\nK=new\r\nB=2\n");
        row("first duplicate section written", "[S]\r\nA=1\r\n[S]\r\nK=old\r\n", "S", "K", "v",
            "[S]\r\nA=1\r\nK=v\r\n[S]\r\nK=old\r\n");
        row("comment and key before section untouched", ";K=c\r\nK=0\r\n[S]\r\n", "S", "K", "v",
            ";K=c\r\nK=0\r\n[S]\r\nK=v\r\n");
        row("garbage lines kept byte for byte", "\xFF\xFE\x81\r\n[S]\r\n\x80\x81=\r\nK=1\r\n", "S", "K", "2",
            "\xFF\xFE\x81\r\n[S]\r\n\x80\x81=\r\nK=2\r\n");
        row("UTF-8 file extended in UTF-8", "\xEF\xBB\xBF[A]\r\n", CaptionText, "TEXT1", QString::fromUtf8("页"),
            "\xEF\xBB\xBF[A]\r\n[" + CaptionText.toUtf8() + "]\r\nTEXT1=" + QString::fromUtf8("页").toUtf8() + "\r\n");
        row("byte-order mark alone gets no blank line", "\xEF\xBB\xBF", "S", "K", "v", "\xEF\xBB\xBF[S]\r\nK=v\r\n");
        row("line break in value cannot make a key", "[S]\r\n", "S", "TEXT2", "a\r\nTEXT1=9",
            "[S]\r\nTEXT2=a  TEXT1=9\r\n");
        row("characters outside GBK", "[S]\r\n", "S", "K", QString::fromUtf8("😀𠀀"),
            "[S]\r\nK=" + QByteArray::fromHex("9439fc3695328236") + "\r\n");
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
        using Names = std::pair<const char*, const char*>;
        for (const auto& [section, key] : {Names{"S", "  "}, Names{" ", "K"}, Names{"S", "A=B"}, Names{"S]", "K"},
                                           Names{"S", "A\nB"}, Names{"S", ";K"}})
            QTest::addRow("[%s] %s", section, key) << QString::fromLatin1(section) << QString::fromLatin1(key);
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
