#include "FakeHttpServer.h"
#include "HttpGet.h"

#include <QTest>

#include <optional>

using Misbehaviour = FakeHttpServer::Misbehaviour;
using Reply = FakeHttpServer::Reply;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {
// Long enough for any loopback reply on a loaded machine, short enough to keep the silent cases quick.
constexpr int Bound = 1500;
} // namespace

class TestHttpGet : public QObject
{
    Q_OBJECT

private slots:
    void replyOrNone_data();
    void replyOrNone();
    void bytesComeBackUnchanged();
    void redirectIsFollowed();
    void targetIsSentUnchanged();
};

void TestHttpGet::replyOrNone_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<std::optional<QString>>("expected");

    const std::optional<QString> none;
    QTest::newRow("ok") << Reply::text("v1.7") << std::optional<QString>("v1.7");
    QTest::newRow("not found page is a reply") << Reply::text("v1.7", 404) << std::optional<QString>("v1.7");
    QTest::newRow("server error page is a reply")
        << Reply::text("<html>error</html>", 500) << std::optional<QString>("<html>error</html>");
    QTest::newRow("empty body is a reply") << Reply::text({}) << std::optional<QString>(QString());
    QTest::newRow("line break kept") << Reply::text("v1.6\r\n") << std::optional<QString>("v1.6\r\n");
    QTest::newRow("utf-8 text") << Reply::text("欢迎使用") << std::optional<QString>(u"欢迎使用"_qs);
    QTest::newRow("body ended by close") << Reply::misbehaving(Misbehaviour::OmitContentLength, "v1.7")
                                         << std::optional<QString>("v1.7");
    Reply under = Reply::misbehaving(Misbehaviour::UnderstateContentLength, "v1.7 and more");
    under.lengthError = 9;
    QTest::newRow("announced length wins") << under << std::optional<QString>("v1.7");

    // Early closes, silence and endless bodies are no reply either; tst_updaterfaults tries them all through the
    // update check.
    QTest::newRow("reset") << Reply::misbehaving(Misbehaviour::Refuse, "v1.7") << none;
    Reply trickle = Reply::misbehaving(Misbehaviour::Trickle, QByteArray(100, 'v'));
    trickle.trickleIntervalMs = 100;
    QTest::newRow("slower than the bound") << trickle << none;
    Reply late = Reply::text("v1.7");
    late.delayMs = Bound * 3;
    QTest::newRow("answer after the bound") << late << none;
}

void TestHttpGet::replyOrNone()
{
    QFETCH(Reply, reply);
    QFETCH(std::optional<QString>, expected);

    FakeHttpServer server;
    server.setReply("/updata/pagewell/auto.asp", reply);
    const std::optional<QString> result =
        HttpGet::get(server.baseUrl() + "/updata/pagewell/auto.asp?u=up&x=0.5", Bound);

    QCOMPARE(result.has_value(), expected.has_value());
    if (expected)
        QCOMPARE(*result, *expected);
    // Qt sends an idempotent GET once more when the connection closes before a byte came back; never more.
    QVERIFY(server.requestCount("/updata/pagewell/auto.asp") >= 1);
    QVERIFY(server.requestCount("/updata/pagewell/auto.asp") <= 2);
}

void TestHttpGet::bytesComeBackUnchanged()
{
    QByteArray bytes(300000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 13);
    FakeHttpServer server;
    server.setReply("/updata/Pagewell", Reply::text(bytes));

    const std::optional<QByteArray> result = HttpGet::getBytes(server.baseUrl() + "/updata/Pagewell", 10000);

    QVERIFY(result);
    QVERIFY(*result == bytes);
}

void TestHttpGet::redirectIsFollowed()
{
    FakeHttpServer server;
    server.setReply("/old", Reply::text("moved", 302).addHeader("Location", "/updata/pagewell/auto.asp"));
    server.setReply("/updata/pagewell/auto.asp", Reply::text("v1.6"));

    QCOMPARE(HttpGet::get(server.baseUrl() + "/old", Bound), std::optional<QString>("v1.6"));
    QCOMPARE(server.requests(), (QStringList{"/old", "/updata/pagewell/auto.asp"}));
}

void TestHttpGet::targetIsSentUnchanged()
{
    FakeHttpServer server;
    HttpGet::get(server.baseUrl() + "/updata/updata.asp?e=Pagewellver&x=1.234567E-02", Bound);
    QCOMPARE(server.requests(), QStringList{"/updata/updata.asp?e=Pagewellver&x=1.234567E-02"});
}

QTEST_GUILESS_MAIN(TestHttpGet)
#include "tst_httpget.moc"
