#include "RawServer.h"

#include <QTcpSocket>
#include <QTimer>

QByteArray RawServer::reply(const QByteArray& body, int status, const QByteArray& headers)
{
    const QByteArray length =
        headers.isNull() ? "Content-Length: " + QByteArray::number(body.size()) + "\r\n" : headers;
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nConnection: close\r\n" + length + "\r\n" + body;
}

QString RawServer::refusingHost()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
}

RawServer::RawServer(QStringList* log, quint16 port) : m_log(log)
{
    m_server.listen(QHostAddress::LocalHost, port);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
        }
    });
}

QString RawServer::host() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort());
}

void RawServer::answer(QTcpSocket* socket)
{
    if (socket->property("answered").toBool() || !socket->peek(1 << 16).contains("\r\n\r\n"))
        return;
    socket->setProperty("answered", true);
    const QString target = QString::fromUtf8(socket->readAll().split(' ').value(1));
    if (m_log)
        m_log->append(target);
    const Script script = m_scripts.value(target, m_scripts.value(target.section(u'?', 0, 0), Script{reply("", 404)}));
    if (script.after == After::Trickle) {
        // A quarter of the bytes every 400 ms, then the end of the reply.
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, timer, script, sent = qsizetype(0)]() mutable {
            socket->write(script.bytes.mid(sent, script.bytes.size() / 4 + 1));
            sent += script.bytes.size() / 4 + 1;
            if (sent >= script.bytes.size()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(400);
        return;
    }
    socket->write(script.bytes);
    if (script.after == After::Close) {
        socket->disconnectFromHost();
    } else if (script.after == After::Endless) {
        const auto more = [socket] {
            if (socket->bytesToWrite() < (1 << 16))
                socket->write(QByteArray(1 << 16, 'x'));
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }
}
