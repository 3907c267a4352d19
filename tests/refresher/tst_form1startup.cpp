#include "FakeHttpServer.h"
#include "Form1.h"
#include "MessageBox.h"
#include "ProcessLauncher.h"
#include "TempProgramFolder.h"
#include "UpdateServer.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
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

    // Which replies offer an update is settled by the update check's own tests; here only that start-up acts on it,
    // and that a server which refuses or never answers cannot keep the window from opening.
    void versionReply_data()
    {
        QTest::addColumn<FakeHttpServer::Reply>("reply");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("launches");
        using Reply = FakeHttpServer::Reply;
        QTest::newRow("own tag") << Reply::text("v1.6") << true << false;
        QTest::newRow("newer tag") << Reply::text("v1.7") << true << true;
        QTest::newRow("refused") << Reply::text("v1.7") << false << false;
        QTest::newRow("silent") << Reply::misbehaving(FakeHttpServer::Misbehaviour::NeverAnswer) << true << false;
    }
    void versionReply()
    {
        QFETCH(FakeHttpServer::Reply, reply);
        QFETCH(bool, listening);
        QFETCH(bool, launches);
        TempProgramFolder folder;
        m_server->setReply(QStringLiteral("/updata/pagewell/auto.asp"), reply);
        if (!listening)
            m_server->stopListening();

        Form1 form;
        QStringList urls;
        form.setNavigatorForTesting([&urls](const QUrl& url) { urls << url.toString(); });
        QElapsedTimer elapsed;
        elapsed.start();
        form.Form_Load();
        // Not a timing goal: only proof that a silent server cannot hold start-up forever.
        QVERIFY(elapsed.elapsed() < 60000);

        const QStringList expected = launches ? QStringList{folder.filePath(QStringLiteral("update"))} : QStringList{};
        QCOMPARE(g_launched, expected);
        QCOMPARE(g_messages, QStringList{});
        QCOMPARE(urls, QStringList{UpdateServer::startPageUrl()});
        QCOMPARE(m_server->requests().size(), listening ? 1 : 0);
        if (listening)
            QVERIFY(m_server->requests().first().startsWith(QStringLiteral("/updata/pagewell/auto.asp?u=up&x=0.")));
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

    // The settings file as start-up reads it and closing writes it back.
    void settingsAcrossARestart_data()
    {
        QTest::addColumn<QByteArray>("before"); // null: no file yet
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("newUrl");
        QTest::addColumn<QString>("newInterval");
        QTest::addColumn<QByteArray>("after");

        // [岚舟网页自动刷新器] as a GBK system stores it.
        const QByteArray section = QByteArray::fromHex("5be1b0d6dbcdf8d2b3d7d4b6afcba2d0c2c6f75d0d0a");
        const QByteArray written = section + "TEXT2=http://example.org/a\r\nTEXT1=30\r\n";
        // TEXT2=http://例子.中文网址/页 in GBK bytes.
        const QByteArray gbk = section + "TEXT2=http://" + QByteArray::fromHex("c0fdd7d3") + "." +
                               QByteArray::fromHex("d6d0cec4cdf8d6b7") + "/" + QByteArray::fromHex("d2b3") +
                               "\r\nTEXT1=15\r\n";
        const QString gbkUrl = QStringLiteral("http://例子.中文网址/页");
        const QString url = QStringLiteral("http://example.org/a");
        QTest::newRow("first start") << QByteArray() << QString() << QString() << url << "30" << written;
        QTest::newRow("GBK file, new values") << gbk << gbkUrl << "15" << url << "30" << written;
        QTest::newRow("GBK file, same values") << gbk << gbkUrl << "15" << gbkUrl << "15" << gbk;
    }
    void settingsAcrossARestart()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, url);
        QFETCH(QString, interval);
        QFETCH(QString, newUrl);
        QFETCH(QString, newInterval);
        QFETCH(QByteArray, after);
        TempProgramFolder folder;
        if (!before.isNull())
            QVERIFY(folder.write(QStringLiteral("user.ini"), before));
        {
            Form1 form;
            form.setNavigatorForTesting([](const QUrl&) {});
            form.Form_Load();
            QCOMPARE(form.Text2->text(), url);
            QCOMPARE(form.Text1->text(), interval);
            QVERIFY(!form.Check1->isChecked());
            QCOMPARE(folder.exists(QStringLiteral("user.ini")), !before.isNull());
            form.Text2->setText(newUrl);
            form.Text1->setText(newInterval);
            form.show();
            QVERIFY(form.close());
        }
        QCOMPARE(folder.read(QStringLiteral("user.ini")), after);
    }

private:
    std::unique_ptr<FakeHttpServer> m_server;
};

QTEST_MAIN(TestForm1Startup)
#include "tst_form1startup.moc"
