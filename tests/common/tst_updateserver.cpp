#include "BuildConfig.h"
#include "UpdateServer.h"

#include <QTest>

class TestUpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void urls_data();
    void urls();
    void hostsCanBeRedirectedSeparately();
};

void TestUpdateServer::cleanup()
{
    UpdateServer::setHostsForTesting(QString(), QString());
}

void TestUpdateServer::urls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    const QString refresher = QStringLiteral("http://") + BuildConfig::RefresherHost;
    const QString update = QStringLiteral("http://") + BuildConfig::UpdateHost;
    QTest::newRow("version check") << UpdateServer::refresherVersionCheckUrl("0.7055475")
                                   << refresher + "/updata/pagewell/auto.asp?u=up&x=0.7055475";
    QTest::newRow("start page") << UpdateServer::startPageUrl() << refresher + "/updata/pagewell/wellhome.asp";
    QTest::newRow("updater version") << UpdateServer::updaterVersionUrl() << update + "/updata/updata.asp?v=Pagewell";
    QTest::newRow("file list") << UpdateServer::fileListUrl("1.401764E-02")
                               << update + "/updata/updata.asp?e=Pagewellver&x=1.401764E-02";
    // A listed name is used as it stands, odd characters included.
    QTest::newRow("file") << UpdateServer::fileUrl("Pagewell") << update + "/updata/Pagewell";
    QTest::newRow("file with space") << UpdateServer::fileUrl("data 1.dat") << update + "/updata/data 1.dat";
}

void TestUpdateServer::urls()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(url, expected);
}

void TestUpdateServer::hostsCanBeRedirectedSeparately()
{
    UpdateServer::setHostsForTesting("127.0.0.1:1111", "127.0.0.1:2222");
    QCOMPARE(UpdateServer::refresherVersionCheckUrl("0.5"),
             QString("http://127.0.0.1:1111/updata/pagewell/auto.asp?u=up&x=0.5"));
    QCOMPARE(UpdateServer::startPageUrl(), QString("http://127.0.0.1:1111/updata/pagewell/wellhome.asp"));
    QCOMPARE(UpdateServer::updaterVersionUrl(), QString("http://127.0.0.1:2222/updata/updata.asp?v=Pagewell"));
    QCOMPARE(UpdateServer::fileUrl("update"), QString("http://127.0.0.1:2222/updata/update"));

    UpdateServer::setHostsForTesting(QString(), QString());
    QCOMPARE(UpdateServer::refresherHost(), QString::fromUtf8(BuildConfig::RefresherHost));
    QCOMPARE(UpdateServer::updateHost(), QString::fromUtf8(BuildConfig::UpdateHost));
}

QTEST_GUILESS_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
