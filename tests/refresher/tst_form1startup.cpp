#include "FakeHttpServer.h"
#include "Form1.h"
#include "MessageBox.h"
#include "ProcessLauncher.h"
#include "TempProgramFolder.h"
#include "UpdateServer.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QStringEncoder>
#include <QtTest>

namespace {
QStringList g_launched;
QStringList g_messages;

bool recordLaunch(const QString& program, const QStringList&)
{
    g_launched << program;
    return true;
}

void recordMessage(QWidget*, const QString& text)
{
    g_messages << text;
}

QByteArray gb18030(const QString& text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}
} // namespace

// Start-up and closing as a whole: the settings file, the version check and the start page, in a temporary
// program folder against a local server.
class TestForm1Startup : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_launched.clear();
        g_messages.clear();
        ProcessLauncher::setHookForTesting(&recordLaunch);
        MessageBox::setHandlerForTesting(&recordMessage);
        m_server = std::make_unique<FakeHttpServer>();
        m_server->setReply(QStringLiteral("/updata/pagewell/wellhome.asp"), FakeHttpServer::Reply::text("<p>hi</p>"));
        UpdateServer::setHostsForTesting(m_server->host(), m_server->host());
    }

    void cleanup()
    {
        UpdateServer::setHostsForTesting({}, {});
        ProcessLauncher::setHookForTesting(nullptr);
        MessageBox::setHandlerForTesting(nullptr);
        m_server.reset();
    }

    // Which replies offer an update is settled by the update check's own tests; here only that start-up acts on it.
    void versionReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("launches");
        QTest::newRow("own tag") << QByteArray("v1.6") << false;
        QTest::newRow("newer tag") << QByteArray("v1.7") << true;
    }
    void versionReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, launches);
        TempProgramFolder folder;
        m_server->setReply(QStringLiteral("/updata/pagewell/auto.asp"), FakeHttpServer::Reply::text(reply));

        Form1 form;
        QStringList urls;
        form.setNavigatorForTesting([&urls](const QUrl& url) { urls << url.toString(); });
        form.Form_Load();

        const QStringList expected = launches ? QStringList{folder.filePath(QStringLiteral("update"))} : QStringList{};
        QCOMPARE(g_launched, expected);
        QCOMPARE(g_messages, QStringList{});
        QCOMPARE(urls, QStringList{UpdateServer::startPageUrl()});
        QCOMPARE(m_server->requests().size(), 1);
        QVERIFY(m_server->requests().first().startsWith(QStringLiteral("/updata/pagewell/auto.asp?u=up&x=0.")));
    }

    void unreachableServerOpensTheWindowAtOnce()
    {
        TempProgramFolder folder;
        m_server->stopListening();
        Form1 form;
        QStringList urls;
        form.setNavigatorForTesting([&urls](const QUrl& url) { urls << url.toString(); });
        form.Form_Load();
        QCOMPARE(urls.size(), 1);
        QVERIFY(g_launched.isEmpty());
        QVERIFY(g_messages.isEmpty());
    }

    void silentServerIsGivenUpOn()
    {
        TempProgramFolder folder;
        m_server->setReply(QStringLiteral("/updata/pagewell/auto.asp"),
                           FakeHttpServer::Reply::misbehaving(FakeHttpServer::Misbehaviour::NeverAnswer));
        Form1 form;
        QStringList urls;
        form.setNavigatorForTesting([&urls](const QUrl& url) { urls << url.toString(); });
        QElapsedTimer elapsed;
        elapsed.start();
        form.Form_Load();
        // Not a timing goal: only proof that a silent server cannot hold start-up forever.
        QVERIFY(elapsed.elapsed() < 60000);
        QCOMPARE(urls.size(), 1);
        QVERIFY(g_launched.isEmpty());
        QVERIFY(g_messages.isEmpty());
    }

    void missingUpdaterIsSkippedSilently()
    {
        TempProgramFolder folder;
        ProcessLauncher::setHookForTesting(nullptr); // the real launcher, with no updater in the folder
        m_server->setReply(QStringLiteral("/updata/pagewell/auto.asp"), FakeHttpServer::Reply::text("v1.7"));
        Form1 form;
        QStringList urls;
        form.setNavigatorForTesting([&urls](const QUrl& url) { urls << url.toString(); });
        form.Form_Load();
        QCOMPARE(urls.size(), 1);
        QVERIFY(g_messages.isEmpty());
    }

    void fieldsSurviveARestart()
    {
        TempProgramFolder folder;
        const QString section = QStringLiteral("[岚舟网页自动刷新器]");
        QVERIFY(folder.write(QStringLiteral("user.ini"),
                             gb18030(section + "\r\nTEXT2=http://例子.test/页?a=1\r\nTEXT1=15\r\n")));
        {
            Form1 form;
            form.setNavigatorForTesting([](const QUrl&) {});
            form.Form_Load();
            QCOMPARE(form.Text2->text(), QStringLiteral("http://例子.test/页?a=1"));
            QCOMPARE(form.Text1->text(), QStringLiteral("15"));
            QVERIFY(!form.Check1->isChecked());
            form.Text2->setText(QStringLiteral("http://example.org/a"));
            form.Text1->setText(QStringLiteral("30"));
            form.show();
            QVERIFY(form.close());
        }
        QCOMPARE(folder.read(QStringLiteral("user.ini")),
                 gb18030(section + "\r\nTEXT2=http://example.org/a\r\nTEXT1=30\r\n"));
    }

    void firstStartCreatesTheFileOnClose()
    {
        TempProgramFolder folder;
        Form1 form;
        form.setNavigatorForTesting([](const QUrl&) {});
        form.Form_Load();
        QCOMPARE(form.Text1->text(), QString());
        QCOMPARE(form.Text2->text(), QString());
        QVERIFY(!folder.exists(QStringLiteral("user.ini")));
        form.Text2->setText(QStringLiteral("http://example.org/a"));
        form.Text1->setText(QStringLiteral("30"));
        form.show();
        QVERIFY(form.close());
        QCOMPARE(folder.read(QStringLiteral("user.ini")),
                 gb18030(QStringLiteral("[岚舟网页自动刷新器]\r\nTEXT2=http://example.org/a\r\nTEXT1=30\r\n")));
    }

private:
    std::unique_ptr<FakeHttpServer> m_server;
};

QTEST_MAIN(TestForm1Startup)
#include "tst_form1startup.moc"
