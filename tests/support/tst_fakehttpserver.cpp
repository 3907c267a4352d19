#include "FakeHttpServer.h"

#include <QEventLoop>
#include <QHostAddress>
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

    qsizetype headEnd() const { return received.indexOf("\r\n\r\n"); }
    QByteArray body() const { return headEnd() < 0 ? QByteArray() : received.mid(headEnd() + 4); }
    QByteArray statusLine() const { return received.left(received.indexOf("\r\n")); }
    // The value of a response header, or a null array when absent.
    QByteArray header(const QByteArray& name) const
    {
        for (const QByteArray& line : received.left(headEnd()).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
};

// Sends one GET and collects the answer until the server closes, the client has stopAfter bytes, or waitMs pass.
// The server runs on this thread, so the wait must keep the event loop going.
RawExchange exchange(quint16 port, const QByteArray& target, int waitMs, qint64 stopAfter)
{
    RawExchange result;
    QTcpSocket socket;
    QEventLoop loop;
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
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
    loop.exec();
    result.received += socket.readAll();
    return result;
}
} // namespace

// The other suites rely on each misbehaviour doing what it says; this proves it against a plain socket.
class TestFakeHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void misbehaviours_data();
    void misbehaviours();

private:
    QTemporaryFile m_file;
    QByteArray m_fileBytes;
};

void TestFakeHttpServer::initTestCase()
{
    m_fileBytes = QByteArray(300 * 1024, 'f') + "end";
    QVERIFY(m_file.open());
    QCOMPARE(m_file.write(m_fileBytes), m_fileBytes.size());
    m_file.close();
}

void TestFakeHttpServer::misbehaviours_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QByteArray>("status");        // empty: not a byte came back
    QTest::addColumn<QByteArray>("contentLength"); // null: no such header
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("stopAfter"); // the client leaves after this many bytes; -1: it waits for the end

    const QByteArray text = "hello, world";
    const QByteArray ok = "HTTP/1.1 200 OK";
    const auto with = [&](Misbehaviour misbehaviour, void (*adjust)(Reply&)) {
        Reply reply = Reply::misbehaving(misbehaviour, text);
        adjust(reply);
        return reply;
    };
    const auto row = [](const char* name, const Reply& reply, bool closes, const QByteArray& status,
                        const QByteArray& length, const QByteArray& body, qint64 stopAfter = -1) {
        QTest::newRow(name) << reply << true << closes << status << length << body << stopAfter;
    };
    row("well-behaved", Reply::text(text), true, ok, "12", text);
    row("error status keeps its body", Reply::text(text, 500), true, "HTTP/1.1 500 Internal Server Error", "12", text);
    row("file body", Reply::file(m_file.fileName()), true, ok, QByteArray::number(m_fileBytes.size()), m_fileBytes);
    row("refuse", Reply::misbehaving(Misbehaviour::Refuse, text), true, {}, {}, {});
    row("never answer", Reply::misbehaving(Misbehaviour::NeverAnswer, text), false, {}, {}, {});
    row("drop after headers", Reply::misbehaving(Misbehaviour::DropAfterHeaders, text), true, ok, "12", "");
    row("drop mid-body", with(Misbehaviour::DropMidBody, [](Reply& r) { r.dropAfterBytes = 5; }), true, ok, "12",
        "hello");
    row("omit length", Reply::misbehaving(Misbehaviour::OmitContentLength, text), true, ok, {}, text);
    row("overstate length", with(Misbehaviour::OverstateContentLength, [](Reply& r) { r.lengthError = 1000; }), true,
        ok, "1012", text);
    row("understate length", with(Misbehaviour::UnderstateContentLength, [](Reply& r) { r.lengthError = 7; }), true,
        ok, "5", text);
    row("trickle", with(Misbehaviour::Trickle, [](Reply& r) { r.trickleBytes = 5, r.trickleIntervalMs = 10; }), true,
        ok, "12", text);
    row("delayed", with(Misbehaviour::None, [](Reply& r) { r.delayMs = 50; }), true, ok, "12", text);
    const qint64 enough = 3 * 1024 * 1024;
    row("endless", Reply::misbehaving(Misbehaviour::EndlessBody), false, ok, {}, {}, enough);
    Reply huge = Reply::misbehaving(Misbehaviour::EndlessBody);
    huge.announceLength = true;
    row("endless with a length", huge, false, ok, QByteArray::number(qint64(1) << 40), {}, enough);
    QTest::newRow("stopped listening") << Reply::text(text) << false << false << QByteArray() << QByteArray()
                                       << QByteArray() << qint64(-1);
}

void TestFakeHttpServer::misbehaviours()
{
    QFETCH(Reply, reply);
    QFETCH(bool, listening);
    QFETCH(bool, closes);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, contentLength);
    QFETCH(QByteArray, body);
    QFETCH(qint64, stopAfter);

    FakeHttpServer server;
    server.setReply("/file", reply);
    if (!listening)
        server.stopListening();
    const RawExchange result = exchange(server.port(), "/file?x=1", closes ? 10000 : 500, stopAfter);

    QCOMPARE(result.connected, listening);
    QCOMPARE(result.closedByServer, closes);
    QCOMPARE(result.statusLine(), status);
    if (!contentLength.isNull())
        QCOMPARE(result.header("Content-Length"), contentLength);
    else
        QVERIFY(result.header("Content-Length").isNull());
    if (stopAfter < 0)
        QVERIFY(result.body() == body);
    else
        QVERIFY(result.received.size() >= stopAfter);
    QCOMPARE(server.requests(), listening ? QStringList{"/file?x=1"} : QStringList{});
    // Once the client has gone, nothing stays open and nothing more is sent.
    QTRY_COMPARE(server.openConnectionCount(), 0);
    const qint64 sent = server.bodyBytesSent();
    QTest::qWait(stopAfter < 0 ? 0 : 100);
    QCOMPARE(server.bodyBytesSent(), sent);
}

QTEST_GUILESS_MAIN(TestFakeHttpServer)
#include "tst_fakehttpserver.moc"
