#include "FakeHttpServer.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

namespace {
constexpr qint64 ChunkSize = 64 * 1024;
// Writing stops while this much is still queued in the socket and resumes on bytesWritten, so a slow client
// never makes the server buffer a whole large body.
constexpr qint64 HighWaterMark = 1024 * 1024;
constexpr qint64 EndlessAnnouncedLength = qint64(1) << 40;
constexpr qint64 Unlimited = std::numeric_limits<qint64>::max();

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

const QByteArray& endlessPattern()
{
    static const QByteArray pattern = [] {
        QByteArray bytes(ChunkSize, Qt::Uninitialized);
        for (qint64 i = 0; i < bytes.size(); ++i)
            bytes[i] = char('a' + i % 26);
        return bytes;
    }();
    return pattern;
}
} // namespace

// One accepted connection: reads one request, writes the scripted reply, closes.
class FakeHttpConnection : public QObject
{
public:
    FakeHttpConnection(FakeHttpServer* server, QTcpSocket* socket) : QObject(server), m_server(server), m_socket(socket)
    {
        m_socket->setParent(this);
        m_server->m_connections.insert(this);
        connect(m_socket, &QTcpSocket::readyRead, this, &FakeHttpConnection::readRequest);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &FakeHttpConnection::pump);
        connect(m_socket, &QTcpSocket::disconnected, this, &FakeHttpConnection::finish);
        connect(m_socket, &QTcpSocket::errorOccurred, this, &FakeHttpConnection::finish);
        m_trickle.setSingleShot(false);
        connect(&m_trickle, &QTimer::timeout, this, &FakeHttpConnection::trickleStep);
        readRequest();
    }

    ~FakeHttpConnection() override { m_server->m_connections.remove(this); }

    void drop()
    {
        m_socket->abort();
        finish();
    }

private:
    void readRequest()
    {
        if (m_requestSeen) {
            m_socket->readAll();
            return;
        }
        m_request += m_socket->readAll();
        const qsizetype end = m_request.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        m_requestSeen = true;

        const QList<QByteArray> lines = m_request.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        const QString target = QString::fromLatin1(requestLine.value(1));

        m_reply = m_server->replyFor(target);
        m_server->recordRequest(target);
        if (m_reply.delayMs > 0)
            QTimer::singleShot(m_reply.delayMs, this, &FakeHttpConnection::answer);
        else
            answer();
    }

    void answer()
    {
        using M = FakeHttpServer::Misbehaviour;
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        if (m_reply.misbehaviour == M::Refuse)
            return drop();
        if (m_reply.misbehaviour == M::NeverAnswer)
            return;

        qint64 size = m_reply.body.size();
        if (!m_reply.bodyFile.isEmpty()) {
            m_file = std::make_unique<QFile>(m_reply.bodyFile);
            if (!m_file->open(QIODevice::ReadOnly))
                qFatal("FakeHttpServer: cannot read body file %s", qPrintable(m_reply.bodyFile));
            size = m_file->size();
        }

        qint64 announced = size;
        m_remaining = size;
        switch (m_reply.misbehaviour) {
        case M::DropAfterHeaders:
            m_remaining = 0;
            break;
        case M::DropMidBody:
            m_remaining = std::clamp<qint64>(m_reply.dropAfterBytes, 0, size);
            break;
        case M::OmitContentLength:
            announced = -1;
            break;
        case M::OverstateContentLength:
            announced = size + m_reply.lengthError;
            break;
        case M::UnderstateContentLength:
            announced = std::max<qint64>(0, size - m_reply.lengthError);
            break;
        case M::EndlessBody:
            announced = m_reply.announceLength ? EndlessAnnouncedLength : -1;
            m_remaining = Unlimited;
            m_endless = true;
            break;
        default:
            break;
        }

        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(m_reply.status) + ' ' + reasonPhrase(m_reply.status) + "\r\n";
        if (announced >= 0)
            head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        head += "Connection: close\r\n";
        for (const FakeHttpServer::Header& header : std::as_const(m_reply.headers))
            head += header.name + ": " + header.value + "\r\n";
        head += "\r\n";
        m_socket->write(head);

        if (m_reply.misbehaviour == M::Trickle)
            m_trickle.start(std::max(1, m_reply.trickleIntervalMs));
        else
            pump();
    }

    // Reads up to maxBytes of the body at the current position.
    QByteArray nextBodyBytes(qint64 maxBytes)
    {
        const qint64 wanted = std::min(maxBytes, m_remaining);
        if (m_endless)
            return endlessPattern().left(wanted);
        if (m_file)
            return m_file->read(wanted);
        return m_reply.body.mid(m_position, wanted);
    }

    bool writeBody(qint64 maxBytes)
    {
        const QByteArray bytes = nextBodyBytes(maxBytes);
        if (bytes.isEmpty())
            return false;
        m_socket->write(bytes);
        m_position += bytes.size();
        m_remaining -= m_endless ? 0 : bytes.size();
        m_server->m_bodyBytesSent += bytes.size();
        return true;
    }

    void pump()
    {
        if (!canWrite())
            return;
        while (m_remaining > 0 && m_socket->bytesToWrite() < HighWaterMark &&
               m_socket->state() == QAbstractSocket::ConnectedState) {
            if (!writeBody(ChunkSize))
                m_remaining = 0;
        }
        if (m_remaining == 0)
            closeWhenFlushed();
    }

    void trickleStep()
    {
        if (m_remaining == 0 || !writeBody(m_reply.trickleBytes) || m_remaining == 0) {
            m_trickle.stop();
            closeWhenFlushed();
        }
    }

    bool canWrite() const
    {
        return m_requestSeen && !m_trickle.isActive() && !m_closing &&
               m_reply.misbehaviour != FakeHttpServer::Misbehaviour::NeverAnswer &&
               m_socket->state() == QAbstractSocket::ConnectedState;
    }

    void closeWhenFlushed()
    {
        if (m_closing)
            return;
        m_closing = true;
        // Queued bytes are still sent before the close.
        m_socket->disconnectFromHost();
    }

    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        m_trickle.stop();
        deleteLater();
    }

    FakeHttpServer* m_server;
    QTcpSocket* m_socket;
    QByteArray m_request;
    bool m_requestSeen = false;
    FakeHttpServer::Reply m_reply;
    std::unique_ptr<QFile> m_file;
    qint64 m_position = 0;
    qint64 m_remaining = 0;
    bool m_endless = false;
    bool m_closing = false;
    bool m_finished = false;
    QTimer m_trickle;
};

FakeHttpServer::Reply FakeHttpServer::Reply::text(const QByteArray& body, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    return reply;
}

FakeHttpServer::Reply FakeHttpServer::Reply::file(const QString& path, int status)
{
    Reply reply;
    reply.status = status;
    reply.bodyFile = path;
    return reply;
}

FakeHttpServer::Reply FakeHttpServer::Reply::misbehaving(Misbehaviour misbehaviour, const QByteArray& body)
{
    Reply reply;
    reply.body = body;
    reply.misbehaviour = misbehaviour;
    return reply;
}

FakeHttpServer::Reply& FakeHttpServer::Reply::addHeader(const QByteArray& name, const QByteArray& value)
{
    headers.append(Header{name, value});
    return *this;
}

FakeHttpServer::FakeHttpServer(QObject* parent) : QObject(parent), m_server(new QTcpServer(this))
{
    m_default = Reply::text("<html><body>404 Not Found</body></html>", 404);
    connect(m_server, &QTcpServer::newConnection, this, &FakeHttpServer::acceptConnections);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("FakeHttpServer: cannot listen on 127.0.0.1: %s", qPrintable(m_server->errorString()));
    m_port = m_server->serverPort();
}

FakeHttpServer::~FakeHttpServer()
{
    // Connections reach back into the server while they go; they must go first.
    closeConnections();
    qDeleteAll(QSet<FakeHttpConnection*>(m_connections));
}

bool FakeHttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 FakeHttpServer::port() const
{
    // Still known after stopListening(), so that tests can aim at a port nobody listens on.
    return m_port;
}

QString FakeHttpServer::host() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QString FakeHttpServer::baseUrl() const
{
    return QStringLiteral("http://") + host();
}

void FakeHttpServer::setReply(const QString& path, const Reply& reply)
{
    m_byPath.insert(path, reply);
}

void FakeHttpServer::setReplyForTarget(const QString& target, const Reply& reply)
{
    m_byTarget.insert(target, reply);
}

void FakeHttpServer::setDefaultReply(const Reply& reply)
{
    m_default = reply;
}

void FakeHttpServer::stopListening()
{
    m_server->close();
}

void FakeHttpServer::closeConnections()
{
    const QSet<FakeHttpConnection*> connections = m_connections;
    for (FakeHttpConnection* connection : connections)
        connection->drop();
}

QStringList FakeHttpServer::requests() const
{
    return m_requests;
}

int FakeHttpServer::requestCount(const QString& path) const
{
    return int(std::count_if(m_requests.cbegin(), m_requests.cend(),
                             [&path](const QString& target) { return target.section(u'?', 0, 0) == path; }));
}

int FakeHttpServer::openConnectionCount() const
{
    return int(m_connections.size());
}

qint64 FakeHttpServer::bodyBytesSent() const
{
    return m_bodyBytesSent;
}

void FakeHttpServer::acceptConnections()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection())
        new FakeHttpConnection(this, socket);
}

const FakeHttpServer::Reply& FakeHttpServer::replyFor(const QString& target) const
{
    if (const auto exact = m_byTarget.constFind(target); exact != m_byTarget.cend())
        return *exact;
    if (const auto byPath = m_byPath.constFind(target.section(u'?', 0, 0)); byPath != m_byPath.cend())
        return *byPath;
    return m_default;
}

void FakeHttpServer::recordRequest(const QString& target)
{
    m_requests.append(target);
    emit requestReceived(target);
}
