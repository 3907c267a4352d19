#include "FakeHttpServer.h"
#include "RandomToken.h"
#include "UpdateCheck.h"
#include "UpdateServer.h"

#include <QTest>

using Reply = FakeHttpServer::Reply;

namespace {
const QString AppVersion = QStringLiteral("v1.6");
constexpr const char* CheckPath = "/updata/pagewell/auto.asp";
} // namespace

// Which replies of the update server offer an update. A refused or silent server is tried at start-up in
// tst_form1startup and against a hostile server in tst_updaterfaults.
class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { UpdateServer::setHostsForTesting(QString(), QString()); }
    void serverReply_data();
    void serverReply();
};

void TestUpdateCheck::serverReply_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("offered");

    // Anything but the own tag exactly offers an update, as long as it starts with a lower-case 'v'.
    const auto row = [](const char* name, const QByteArray& body, bool offered, int status = 200) {
        QTest::newRow(name) << Reply::text(body, status) << offered;
    };
    row("v1.6", "v1.6", false);
    row("v1.7", "v1.7", true);
    row("older tag", "v1.5", true);
    row("v1.6 LF", "v1.6\n", true);
    row("v1.6 CRLF", "v1.6\r\n", true);
    row("four-part tag", "v1.6.0.0", true);
    row("just v", "v", true);
    row("V1.7", "V1.7", false);
    row("leading space", " v1.7", false);
    row("html page", "<!DOCTYPE html><html><body>v1.7</body></html>", false);
    row("empty", {}, false);
    // A completed reply is what the server sent, whatever its status.
    row("404 page saying v1.7", "v1.7", true, 404);
    row("404 page", "<html>Not Found</html>", false, 404);
    Reply cut = Reply::misbehaving(FakeHttpServer::Misbehaviour::DropMidBody, "v1.7.0.0");
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

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
