#include "FileBytes.h"
#include "Module1.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

const QString Caption = QString::fromUtf8("岚舟网页自动刷新器");

using FileBytes::gb;
using FileBytes::readAll;
using FileBytes::writeAll;

// A window laid out like the main window: the two fields sit inside a group box, the URL field created first.
struct Window
{
    std::unique_ptr<QWidget> form = std::make_unique<QWidget>();
    QLineEdit* Text2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QCheckBox* Check1 = nullptr;

    Window()
    {
        auto* unnamed = new QWidget(form.get()); // stands in for the browser view's internal widgets
        new QLabel(unnamed);
        auto* frame = new QGroupBox(QStringLiteral("Frame"), form.get());
        frame->setObjectName(QStringLiteral("Frame1"));
        named<QPushButton>(frame, "Command1")->setText(QStringLiteral("go"));
        Text2 = named<QLineEdit>(frame, "Text2");
        Check1 = named<QCheckBox>(frame, "Check1");
        Text1 = named<QLineEdit>(frame, "Text1");
        for (const char* label : {"Label4", "Label3", "Label5", "Label6"})
            named<QLabel>(frame, label)->setText(QStringLiteral("label"));
        auto* timer = new QTimer(form.get());
        timer->setObjectName(QStringLiteral("Timer1"));
        named<QLabel>(form.get(), "Image1");
    }

    template <typename Control> static Control* named(QObject* parent, const char* name)
    {
        auto* control = new Control(qobject_cast<QWidget*>(parent));
        control->setObjectName(QString::fromLatin1(name));
        return control;
    }
};

} // namespace

class TestModule1 : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QUuid::createUuid().toString(QUuid::WithoutBraces) + ".ini");
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("interval");
        QTest::newRow("empty interval") << "http://example.org/a"
                                        << "";
        QTest::newRow("both empty") << ""
                                    << "";
        QTest::newRow("200 ASCII characters") << "http://example.org/" + QString(181, u'a') << "5";
        // 1,000 Chinese characters are 2,000 bytes in the file.
        QTest::newRow("2,000 bytes of Chinese") << "http://example.org/" + QString(1000, QChar(0x4E2D)) << "60";
        QTest::newRow("characters outside GBK") << QString::fromUtf8("http://example.org/😀𠀀") << "1";
    }
    void roundTrip()
    {
        QFETCH(QString, url);
        QFETCH(QString, interval);
        {
            Window window;
            window.Text2->setText(url);
            window.Text1->setText(interval);
            Module1::SaveFormControls(window.form.get(), m_path, Caption);
        }
        Window window;
        window.Text2->setText(QStringLiteral("stale"));
        window.Text1->setText(QStringLiteral("stale"));
        Module1::LoadFormControls(window.form.get(), m_path, Caption);
        QCOMPARE(window.Text2->text(), url);
        QCOMPARE(window.Text1->text(), interval);
        QVERIFY(readAll(m_path).contains("\r\nTEXT1=" + gb(interval) + "\r\n"));
    }

    void otherContentsSurviveASave()
    {
        const QByteArray before = "; written by hand\r\n[other]\r\nTEXT1=99\r\n\r\n[" + gb(Caption) +
                                  "]\r\nFOO=bar\r\nTEXT1=5\r\n; keep me\r\n\r\n[last]\nx=y\n";
        QVERIFY(writeAll(m_path, before));
        Window window;
        Module1::LoadFormControls(window.form.get(), m_path, Caption);
        QCOMPARE(window.Text1->text(), QStringLiteral("5"));
        window.Text2->setText(QStringLiteral("http://u"));
        window.Text1->setText(QStringLiteral("7"));
        Module1::SaveFormControls(window.form.get(), m_path, Caption);
        QCOMPARE(readAll(m_path), "; written by hand\r\n[other]\r\nTEXT1=99\r\n\r\n[" + gb(Caption) +
                                      "]\r\nFOO=bar\r\nTEXT1=7\r\n; keep me\r\nTEXT2=http://u\r\n\r\n[last]\nx=y\n");
    }

    void sectionLackingUrl()
    {
        QVERIFY(writeAll(m_path, "[" + gb(Caption) + "]\r\nTEXT1=45\r\n"));
        Window window;
        window.Text2->setText(QStringLiteral("http://before"));
        Module1::LoadFormControls(window.form.get(), m_path, Caption);
        QCOMPARE(window.Text2->text(), QString());
        QCOMPARE(window.Text1->text(), QStringLiteral("45"));
    }

    void nameRule()
    {
        QWidget form;
        QWidget* box = new QGroupBox(&form);
        for (const char* name : {"Text2", "Text10", "T1Box", "Text1", "ABCT2", "Label1", "Text", "TexT1x", "Text3"}) {
            auto* edit = new QLineEdit(box);
            edit->setObjectName(QString::fromLatin1(name));
            edit->setText(QStringLiteral("v-") + QString::fromLatin1(name));
        }
        Module1::SaveFormControls(&form, m_path, QStringLiteral("S"));
        // Every qualifying control is written, in creation order, under its upper-cased name.
        QCOMPARE(readAll(m_path), QByteArray("[S]\r\nTEXT2=v-Text2\r\nTEXT10=v-Text10\r\nTEXT1=v-Text1\r\n"
                                             "ABCT2=v-ABCT2\r\nTEXT1X=v-TexT1x\r\n"));
    }

    void controlsThatCannotTakeTextAreSkipped()
    {
        QWidget form;
        auto* number = new QSpinBox(&form);
        number->setObjectName(QStringLiteral("NumT1"));
        number->setValue(7);
        auto* edit = new QLineEdit(&form);
        edit->setObjectName(QStringLiteral("Text2"));
        auto* timer = new QTimer(&form);
        timer->setObjectName(QStringLiteral("TimT2")); // no value role at all
        edit->setText(QStringLiteral("after"));
        Module1::SaveFormControls(&form, m_path, QStringLiteral("S"));
        QCOMPARE(readAll(m_path), QByteArray("[S]\r\nNUMT1=7\r\nTEXT2=after\r\n"));

        QVERIFY(writeAll(m_path, "[S]\r\nNUMT1=\r\nTEXT2=x\r\n"));
        Module1::LoadFormControls(&form, m_path, QStringLiteral("S"));
        QCOMPARE(number->value(), 7); // "" is no number; the walk goes on
        QCOMPARE(edit->text(), QStringLiteral("x"));
    }

    // Which names and values the file can hold is tst_inifile's; here what the wrappers add to it.
    void readAndWriteRules()
    {
        QVERIFY(!Module1::WriteIniValue("S", " ", "v", m_path));
        QVERIFY(!QFile::exists(m_path));
        QVERIFY(writeAll(m_path, QByteArray("[S]\r\nK=a\0b\r\n", 13)));
        QCOMPARE(Module1::ReadIniValue("S", "K", m_path), QStringLiteral("ab"));
    }

    void unwritableFolderKeepsTheOldFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("user.ini");
        const QByteArray before = "[S]\r\nTEXT1=1\r\n";
        QVERIFY(writeAll(path, before));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        const bool folderStillWritable = writeAll(dir.filePath("probe"), "x");
        if (folderStillWritable) {
            QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QSKIP("this user writes through folder permissions (root); the folder-under-a-file case covers it");
        }
        Window window;
        window.Text1->setText(QStringLiteral("2"));
        Module1::SaveFormControls(window.form.get(), path, QStringLiteral("S"));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(readAll(path), before);
    }

};

QTEST_MAIN(TestModule1)
#include "tst_module1.moc"
