#include "FakeHttpServer.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

using Misbehaviour = FakeHttpServer::Misbehaviour;
using Reply = FakeHttpServer::Reply;

namespace {
// What a plain client sees of one request: everything received, and whether the server closed the connection.
struct RawExchange
{
    bool connected = false;
    bool closedByServer = false;
    QByteArray received;

    QByteArray head() const { return received.left(received.indexOf("\r\n\r\n") + 4); }
    QByteArray body() const { return received.mid(received.indexOf("\r\n\r\n") + 4); }
    QByteArray statusLine() const { return received.left(received.indexOf("\r\n")); }
    // The value of a response header, or a null array when absent.
    QByteArray header(const QByteArray& name) const
    {
        for (const QByteArray& line : head().split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
};

// Sends one GET and collects the answer until the server closes, the client has stopAfter bytes, or waitMs pass.
// The server runs on this thread, so the wait must keep the event loop going.
RawExchange exchange(quint16 port, const QByteArray& target, int waitMs = 5000, qint64 stopAfter = -1)
{
    RawExchange result;
    QTcpSocket socket;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::connected, &loop, [&] {
        result.connected = true;
        socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        result.received += socket.readAll();
        if (stopAfter >= 0 && result.received.size() >= stopAfter)
            loop.quit();
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, [&] {
        result.closedByServer = true;
        loop.quit();
    });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, [&](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            result.closedByServer = true;
        loop.quit();
    });
    socket.connectToHost(QHostAddress::LocalHost, port);
    timeout.start(waitMs);
    loop.exec();
    result.received += socket.readAll();
    return result;
}

QByteArray pattern(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}
} // namespace

class TestFakeHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void lengthMisbehaviours_data();
    void lengthMisbehaviours();
    void refuseClosesWithoutAByte();
    void neverAnswerKeepsTheConnectionOpen();
    void endlessBodyStopsWhenTheClientLeaves_data();
    void endlessBodyStopsWhenTheClientLeaves();
    void repliesAreChosenByTargetThenPathThenDefault();
    void extraHeadersAreSentAndRequestHeadersRecorded();
    void stoppedServerRefusesConnections();
    void fileBodyIsStreamedUnchanged();
    void slowReaderHoldsBackALargeFileBody();
};

void TestFakeHttpServer::lengthMisbehaviours_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("contentLength");
    QTest::addColumn<QByteArray>("body");

    const QByteArray text = "hello, world";
    QTest::newRow("well-behaved") << Reply::text(text) << QByteArray("12") << text;
    QTest::newRow("error status keeps its body") << Reply::text(text, 500) << QByteArray("12") << text;
    QTest::newRow("empty body") << Reply::text({}) << QByteArray("0") << QByteArray();
    QTest::newRow("drop after headers") << Reply::misbehaving(Misbehaviour::DropAfterHeaders, text) << QByteArray("12")
                                        << QByteArray();
    Reply mid = Reply::misbehaving(Misbehaviour::DropMidBody, text);
    mid.dropAfterBytes = 5;
    QTest::newRow("drop mid-body") << mid << QByteArray("12") << QByteArray("hello");
    QTest::newRow("omit length") << Reply::misbehaving(Misbehaviour::OmitContentLength, text) << QByteArray() << text;
    Reply over = Reply::misbehaving(Misbehaviour::OverstateContentLength, text);
    over.lengthError = 1000;
    QTest::newRow("overstate length") << over << QByteArray("1012") << text;
    Reply under = Reply::misbehaving(Misbehaviour::UnderstateContentLength, text);
    under.lengthError = 7;
    QTest::newRow("understate length") << under << QByteArray("5") << text;
    Reply trickle = Reply::misbehaving(Misbehaviour::Trickle, text);
    trickle.trickleBytes = 5;
    trickle.trickleIntervalMs = 10;
    QTest::newRow("trickle") << trickle << QByteArray("12") << text;
    Reply delayed = Reply::text(text);
    delayed.delayMs = 50;
    QTest::newRow("delayed") << delayed << QByteArray("12") << text;
}

void TestFakeHttpServer::lengthMisbehaviours()
{
    QFETCH(Reply, reply);
    QFETCH(QByteArray, contentLength);
    QFETCH(QByteArray, body);

    FakeHttpServer server;
    server.setReply("/file", reply);
    const RawExchange result = exchange(server.port(), "/file?x=1");

    QVERIFY(result.closedByServer);
    QCOMPARE(result.statusLine(),
             "HTTP/1.1 " + QByteArray::number(reply.status) + (reply.status == 200 ? " OK" : " Internal Server Error"));
    QCOMPARE(result.header("Content-Length"), contentLength);
    QCOMPARE(result.body(), body);
    QCOMPARE(server.requests(), QStringList{"/file?x=1"});
    QTRY_COMPARE(server.openConnectionCount(), 0);
}

void TestFakeHttpServer::refuseClosesWithoutAByte()
{
    FakeHttpServer server;
    server.setReply("/gone", Reply::misbehaving(Misbehaviour::Refuse, "never sent"));
    QSignalSpy requests(&server, &FakeHttpServer::requestReceived);

    const RawExchange result = exchange(server.port(), "/gone");

    QVERIFY(result.connected);
    QVERIFY(result.closedByServer);
    QCOMPARE(result.received, QByteArray());
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.first().first().toString(), QString("/gone"));
}

void TestFakeHttpServer::neverAnswerKeepsTheConnectionOpen()
{
    FakeHttpServer server;
    server.setDefaultReply(Reply::misbehaving(Misbehaviour::NeverAnswer, "never sent"));

    const RawExchange result = exchange(server.port(), "/silent", 300);

    QVERIFY(result.connected);
    QVERIFY(!result.closedByServer);
    QCOMPARE(result.received, QByteArray());
    QCOMPARE(server.requests(), QStringList{"/silent"});
    // The client above has gone away by now, which the server notices; a fresh silent one stays.
    QTRY_COMPARE(server.openConnectionCount(), 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(2000));
    client.write("GET /silent HTTP/1.1\r\n\r\n");
    QTRY_COMPARE(server.requests().size(), 2);
    QCOMPARE(server.openConnectionCount(), 1);
    server.closeConnections();
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
}

void TestFakeHttpServer::endlessBodyStopsWhenTheClientLeaves_data()
{
    QTest::addColumn<bool>("announceLength");
    QTest::newRow("no length") << false;
    QTest::newRow("huge length") << true;
}

void TestFakeHttpServer::endlessBodyStopsWhenTheClientLeaves()
{
    QFETCH(bool, announceLength);
    FakeHttpServer server;
    Reply endless = Reply::misbehaving(Misbehaviour::EndlessBody);
    endless.announceLength = announceLength;
    server.setReply("/endless", endless);

    const qint64 enough = 3 * 1024 * 1024;
    const RawExchange result = exchange(server.port(), "/endless", 10000, enough);

    QVERIFY(!result.closedByServer);
    QVERIFY(result.received.size() >= enough);
    QCOMPARE(result.header("Content-Length").isNull(), !announceLength);
    QTRY_COMPARE(server.openConnectionCount(), 0);
    const qint64 sentWhenGone = server.bodyBytesSent();
    QTest::qWait(100);
    QCOMPARE(server.bodyBytesSent(), sentWhenGone);
}

void TestFakeHttpServer::repliesAreChosenByTargetThenPathThenDefault()
{
    FakeHttpServer server;
    server.setReply("/updata/updata.asp", Reply::text("by path"));
    server.setReplyForTarget("/updata/updata.asp?v=Pagewell", Reply::text("by target"));
    QSignalSpy spy(&server, &FakeHttpServer::requestReceived);

    QCOMPARE(exchange(server.port(), "/updata/updata.asp?v=Pagewell").body(), QByteArray("by target"));
    QCOMPARE(exchange(server.port(), "/updata/updata.asp?e=Pagewellver&x=0.5").body(), QByteArray("by path"));
    QCOMPARE(exchange(server.port(), "/updata/updata.asp").body(), QByteArray("by path"));
    const RawExchange unknown = exchange(server.port(), "/updata/other.asp?v=Pagewell");
    QCOMPARE(unknown.statusLine(), QByteArray("HTTP/1.1 404 Not Found"));

    const QStringList expected{"/updata/updata.asp?v=Pagewell", "/updata/updata.asp?e=Pagewellver&x=0.5",
                               "/updata/updata.asp", "/updata/other.asp?v=Pagewell"};
    QCOMPARE(server.requests(), expected);
    QCOMPARE(spy.count(), 4);
    QCOMPARE(spy.at(1).first().toString(), expected.at(1));
    QCOMPARE(server.requestCount("/updata/updata.asp"), 3);
}

void TestFakeHttpServer::extraHeadersAreSentAndRequestHeadersRecorded()
{
    FakeHttpServer server;
    Reply reply = Reply::text("<p>页</p>");
    reply.addHeader("Content-Type", "text/html; charset=utf-8");
    server.setReply("/page", reply);

    const RawExchange result = exchange(server.port(), "/page");

    QCOMPARE(result.header("Content-Type"), QByteArray("text/html; charset=utf-8"));
    QCOMPARE(result.body(), QByteArray("<p>页</p>"));
    const QList<FakeHttpServer::Header> headers = server.lastRequestHeaders();
    QCOMPARE(headers.size(), 1);
    QCOMPARE(headers.first().name, QByteArray("Host"));
    QCOMPARE(headers.first().value, QByteArray("127.0.0.1"));
}

void TestFakeHttpServer::stoppedServerRefusesConnections()
{
    FakeHttpServer server;
    const quint16 port = server.port();
    server.stopListening();
    QCOMPARE(server.port(), port);
    QVERIFY(!server.isListening());

    QTcpSocket client;
    QSignalSpy errors(&client, &QTcpSocket::errorOccurred);
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().value<QAbstractSocket::SocketError>(), QAbstractSocket::ConnectionRefusedError);
}

void TestFakeHttpServer::fileBodyIsStreamedUnchanged()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    const QByteArray bytes = pattern(3 * 1024 * 1024 + 17);
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();

    FakeHttpServer server;
    server.setReply("/updata/big.bin", Reply::file(file.fileName()));
    const RawExchange result = exchange(server.port(), "/updata/big.bin");

    QVERIFY(result.closedByServer);
    QCOMPARE(result.header("Content-Length"), QByteArray::number(bytes.size()));
    QVERIFY(result.body() == bytes);
}

void TestFakeHttpServer::slowReaderHoldsBackALargeFileBody()
{
    // A sparse 512 MiB file costs no disk; the server must not read it faster than the client takes it.
    QTemporaryFile file;
    QVERIFY(file.open());
    const qint64 size = qint64(512) * 1024 * 1024;
    QVERIFY(file.resize(size));
    file.close();

    FakeHttpServer server;
    server.setReply("/updata/huge.bin", Reply::file(file.fileName()));
    QTcpSocket client;
    client.setReadBufferSize(64 * 1024);
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(2000));
    client.write("GET /updata/huge.bin HTTP/1.1\r\n\r\n");
    QTRY_VERIFY(server.bodyBytesSent() > 0);
    QTest::qWait(300);
    // Kernel socket buffers take some megabytes; the rest must wait for the client.
    QVERIFY2(server.bodyBytesSent() < 64 * 1024 * 1024, qPrintable(QString::number(server.bodyBytesSent())));
    client.abort();
    QTRY_COMPARE(server.openConnectionCount(), 0);
}

QTEST_GUILESS_MAIN(TestFakeHttpServer)
#include "tst_fakehttpserver.moc"
