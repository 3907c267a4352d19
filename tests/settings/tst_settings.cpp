// Guards user.ini: bytes kept, GB18030, key and section placement, case, CRLF, idempotence, kill-safe saves.
#include "../support/Fixture.h"
#include "IniFile.h"
#include "Module1.h"

#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

class TestSettings : public QObject
{
    Q_OBJECT
    static QByteArray gb(const QString& text) { return QStringEncoder("GB18030").encode(text); }

private slots:
    void store_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");
        const auto row = [](const char* name, const QByteArray& before, const QString& section, const QString& value,
                            const QByteArray& after) { QTest::newRow(name) << before << section << value << after; };
        row("replace keeps every other byte", "; note\n[Other]\r\nTEXT1=x\r\n[S]\r\nTEXT1=old\nX=\xff\xfe keep\n\n",
            "S", "new", "; note\n[Other]\r\nTEXT1=x\r\n[S]\r\nTEXT1=new\r\nX=\xff\xfe keep\n\n");
        row("missing key after the last non-blank line", "[S]\r\nA=1\r\n\r\n[T]\r\n", "S", "v",
            "[S]\r\nA=1\r\nTEXT1=v\r\n\r\n[T]\r\n");
        row("missing section at the end", "[T]\r\nA=1", "S", "v", "[T]\r\nA=1\r\n[S]\r\nTEXT1=v\r\n");
        row("names without regard to case", "[s]\r\ntext1 = old\r\n", "S", "new", "[s]\r\ntext1 = new\r\n");
        row("four-byte character in a new file", "", "S", QString::fromUtf8("\xF0\xA0\x80\x80"),
            "[S]\r\nTEXT1=\x95\x32\x82\x36\r\n");
        // 乚 is 81 5D in GB18030: the second byte is the code of ']'.
        row("0x5D inside a Chinese name", gb(u"[岚乚]\r\nTEXT1=old\r\n[乚]\r\n"_qs), u"岚乚"_qs, u"网页"_qs,
            gb(u"[岚乚]\r\nTEXT1=网页\r\n[乚]\r\n"_qs));
        row("line break in a value", "[S]\r\nTEXT1=a\r\n", "S", "b\r\nTEXT2=9", "[S]\r\nTEXT1=b  TEXT2=9\r\n");
    }
    void store()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, section);
        QFETCH(QString, value);
        const QString key = QStringLiteral("TEXT1");
        const std::optional<QByteArray> after = IniFile::withValue(before, section, key, value);
        QTEST(after.value_or("(refused)"), "after");
        QCOMPARE(IniFile::withValue(*after, section, key, value), after);
        QCOMPARE(IniFile::valueIn(*after, section, key).value_or("(none)"),
                 value.replace(u'\r', u' ').replace(u'\n', u' '));
    }

    void formControls()
    {
        TestFolder folder;
        const QString file = folder.path(QStringLiteral("user.ini"));
        QWidget form;
        auto* text2 = new QLineEdit(&form);
        text2->setObjectName(QStringLiteral("Text2"));
        auto* text1 = new QLineEdit(&form);
        text1->setObjectName(QStringLiteral("Text1"));
        QVERIFY(writeFile(file, gb(u"[页]\r\nTEXT1=30\r\n"_qs)));
        text2->setText(QStringLiteral("stale"));
        Module1::LoadFormControls(&form, file, u"页"_qs);
        QVERIFY(text1->text() == u"30"_qs && text2->text().isEmpty());

        text2->setText(u"http://例子.cn/?q=1"_qs);
        Module1::SaveFormControls(&form, file, u"页"_qs);
        Module1::SaveFormControls(&form, file, u"页"_qs); // the second changes nothing
        QCOMPARE(readFile(file), gb(u"[页]\r\nTEXT1=30\r\nTEXT2=http://例子.cn/?q=1\r\n"_qs));
        QCOMPARE(folder.entries(), QStringList{QStringLiteral("user.ini")});
    }

    // The save loop writes the URL ".../<n>/" and the interval <n> in one save after another. Once one save is
    // complete, a kill at any moment must leave a complete save, the earlier or the later: never an empty or cut
    // file, nor the fields of two saves. Each kill waits for its run's first save to replace the file the test
    // wrote, so it lands on a later one.
    void killedSave()
    {
        TestFolder folder;
        const QString file = folder.path(QStringLiteral("user.ini"));
        const auto saved = [&file](const QString& key) { return IniFile(file).value(u"S"_qs, key).value_or(u"-1"_qs); };
        for (int kill = 0; kill < 100; ++kill) {
            QVERIFY(writeFile(file, "[S]\r\nTEXT2=http://example.com/-1/\r\nTEXT1=-1\r\n"));
            QProcess loop;
            loop.start(QStringLiteral(PAGEWELL_SAVELOOP), {file});
            QVERIFY(loop.waitForStarted());
            QVERIFY(QTest::qWaitFor([&] { return saved(u"TEXT1"_qs) != u"-1"_qs; }, 10000));
            QTest::qWait(QRandomGenerator::global()->bounded(0, 20));
            loop.kill();
            QVERIFY(loop.waitForFinished());
            QVERIFY2(saved(u"TEXT2"_qs).startsWith(u"http://example.com/%1/"_qs.arg(saved(u"TEXT1"_qs))),
                     readFile(file).left(80).constData());
        }
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
