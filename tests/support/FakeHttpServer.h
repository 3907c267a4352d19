#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class FakeHttpConnection;
class QTcpServer;

// A scripted HTTP/1.1 server on 127.0.0.1 and a random port, for tests of everything that talks to the update
// server. Each request gets one reply, chosen by its exact target (path and query) first, then by its path (the
// part before '?'), then the default reply (404). Every reply closes its connection, so one connection carries one
// request. Replies can misbehave on purpose to reproduce the failures a real network produces.
class FakeHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Misbehaviour
    {
        None,
        Refuse,                  // close the connection at once, without a byte (a reset)
        NeverAnswer,             // read the request and never write; the connection stays open
        DropAfterHeaders,        // announce the full length, send the headers only, close
        DropMidBody,             // announce the full length, send dropAfterBytes of the body, close
        OmitContentLength,       // no Content-Length: the body ends when the connection closes
        OverstateContentLength,  // announce lengthError bytes more than are sent, then close
        UnderstateContentLength, // announce lengthError bytes fewer than are sent
        Trickle,                 // the body in steps of trickleBytes every trickleIntervalMs
        EndlessBody,             // body bytes until the client goes away
    };

    struct Header
    {
        QByteArray name;
        QByteArray value;
    };

    struct Reply
    {
        int status = 200;
        QByteArray body;
        // When set, the body is streamed from this file in chunks, so bodies of hundreds of MiB cost no memory.
        QString bodyFile;
        QList<Header> headers;
        Misbehaviour misbehaviour = Misbehaviour::None;
        qint64 dropAfterBytes = 0;
        qint64 lengthError = 100;
        qint64 trickleBytes = 1;
        int trickleIntervalMs = 100;
        // EndlessBody: announce a huge Content-Length instead of none.
        bool announceLength = false;
        // Wait this long after the request before anything is written.
        int delayMs = 0;

        static Reply text(const QByteArray& body, int status = 200);
        static Reply file(const QString& path, int status = 200);
        static Reply misbehaving(Misbehaviour misbehaviour, const QByteArray& body = {});
        Reply& addHeader(const QByteArray& name, const QByteArray& value);
    };

    explicit FakeHttpServer(QObject* parent = nullptr);
    ~FakeHttpServer() override;

    bool isListening() const;
    quint16 port() const;
    // "127.0.0.1:<port>", the form of a build-time host.
    QString host() const;
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

    void setReply(const QString& path, const Reply& reply);
    void setReplyForTarget(const QString& target, const Reply& reply);
    void setDefaultReply(const Reply& reply);

    // From now on connections to the port are refused; open connections stay as they are.
    void stopListening();
    // Drops every open connection, silent ones included.
    void closeConnections();

    // Request targets ("/path?query") in the order they arrived.
    QStringList requests() const;
    // How many requests had exactly this path, whatever their query.
    int requestCount(const QString& path) const;
    int openConnectionCount() const;
    // Body bytes handed to the sockets so far, over all connections.
    qint64 bodyBytesSent() const;

signals:
    void requestReceived(const QString& target);

private:
    friend class FakeHttpConnection;

    void acceptConnections();
    const Reply& replyFor(const QString& target) const;
    void recordRequest(const QString& target);

    QTcpServer* m_server;
    quint16 m_port = 0;
    QHash<QString, Reply> m_byPath;
    QHash<QString, Reply> m_byTarget;
    Reply m_default;
    QStringList m_requests;
    qint64 m_bodyBytesSent = 0;
    QSet<FakeHttpConnection*> m_connections;
};
