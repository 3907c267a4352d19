#include "FakeHttpServer.h"
#include "RandomToken.h"
#include "UpdateCheck.h"
#include "UpdateServer.h"

#include <QElapsedTimer>
#include <QTest>

#include <optional>

using Misbehaviour = FakeHttpServer::Misbehaviour;
using Reply = FakeHttpServer::Reply;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {
const QString AppVersion = QStringLiteral("v1.6");
constexpr const char* CheckPath = "/updata/pagewell/auto.asp";
} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void offersUpdate_data();
    void offersUpdate();
    void serverReply_data();
    void serverReply();
    void refusedConnectionReturnsBeforeTheBound();
    void silentServerGivesUpAtTheBound();
};

void TestUpdateCheck::cleanup()
{
    UpdateServer::setHostsForTesting(QString(), QString());
}

void TestUpdateCheck::offersUpdate_data()
{
    QTest::addColumn<std::optional<QString>>("reply");
    QTest::addColumn<bool>("offered");

    QTest::newRow("own tag") << std::optional<QString>("v1.6") << false;
    QTest::newRow("newer tag") << std::optional<QString>("v1.7") << true;
    QTest::newRow("older tag") << std::optional<QString>("v1.5") << true;
    QTest::newRow("own tag and LF") << std::optional<QString>("v1.6\n") << true;
    QTest::newRow("own tag and CRLF") << std::optional<QString>("v1.6\r\n") << true;
    QTest::newRow("leading space") << std::optional<QString>(" v1.7") << false;
    QTest::newRow("capital V") << std::optional<QString>("V1.7") << false;
    QTest::newRow("just v") << std::optional<QString>("v") << true;
    QTest::newRow("four-part tag") << std::optional<QString>("v1.6.0.0") << true;
    QTest::newRow("html page") << std::optional<QString>("<html><body>v1.7</body></html>") << false;
    QTest::newRow("empty body") << std::optional<QString>(QString()) << false;
    QTest::newRow("no reply") << std::optional<QString>() << false;
}

void TestUpdateCheck::offersUpdate()
{
    QFETCH(std::optional<QString>, reply);
    QFETCH(bool, offered);
    QCOMPARE(UpdateCheck::offersUpdate(reply, AppVersion), offered);
}

void TestUpdateCheck::serverReply_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("offered");

    QTest::newRow("v1.6") << Reply::text("v1.6") << false;
    QTest::newRow("v1.7") << Reply::text("v1.7") << true;
    QTest::newRow("v1.6 LF") << Reply::text("v1.6\n") << true;
    QTest::newRow("v1.6 CRLF") << Reply::text("v1.6\r\n") << true;
    QTest::newRow("V1.7") << Reply::text("V1.7") << false;
    QTest::newRow("html page") << Reply::text("<!DOCTYPE html><html><body>v1.7</body></html>") << false;
    QTest::newRow("empty") << Reply::text({}) << false;
    // A completed reply is what the server sent, whatever its status.
    QTest::newRow("404 page saying v1.7") << Reply::text("v1.7", 404) << true;
    QTest::newRow("404 page") << Reply::text("<html>Not Found</html>", 404) << false;
    Reply cut = Reply::misbehaving(Misbehaviour::DropMidBody, "v1.7.0.0");
    cut.dropAfterBytes = 2;
    QTest::newRow("cut short") << cut << false;
}

void TestUpdateCheck::serverReply()
{
    QFETCH(Reply, reply);
    QFETCH(bool, offered);

    FakeHttpServer server;
    server.setReply(CheckPath, reply);
    UpdateServer::setHostsForTesting(server.host(), QString());
    const QString token = RandomToken::next();

    QCOMPARE(UpdateCheck::run(UpdateServer::refresherVersionCheckUrl(token), AppVersion, 5000), offered);
    QCOMPARE(server.requests().first(), QString(CheckPath) + "?u=up&x=" + token);
}

void TestUpdateCheck::refusedConnectionReturnsBeforeTheBound()
{
    FakeHttpServer server;
    server.stopListening();
    UpdateServer::setHostsForTesting(server.host(), QString());
    const int bound = 20000;

    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!UpdateCheck::run(UpdateServer::refresherVersionCheckUrl("0.5"), AppVersion, bound));
    QVERIFY(elapsed.elapsed() < bound);
}

void TestUpdateCheck::silentServerGivesUpAtTheBound()
{
    FakeHttpServer server;
    server.setDefaultReply(Reply::misbehaving(Misbehaviour::NeverAnswer));
    UpdateServer::setHostsForTesting(server.host(), QString());

    QVERIFY(!UpdateCheck::run(UpdateServer::refresherVersionCheckUrl("0.5"), AppVersion, 500));
    QCOMPARE(server.requestCount(CheckPath), 1);
}

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
