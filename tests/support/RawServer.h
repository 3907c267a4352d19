#pragma once

#include <QHash>
#include <QStringList>
#include <QTcpServer>

// A loopback HTTP server for replies no real server sends on purpose: each request gets the literal bytes given for
// its target (or, failing that, its path), and then the connection is closed, left hanging, or fed filler until the
// client goes away, or the bytes are trickled out a quarter at a time. Every target asked for is logged, in order, to
// `log`.
class RawServer : public QObject
{
public:
    enum class After
    {
        Close,
        Hang,
        Endless,
        Trickle, // in place of sending the bytes at once
    };
    struct Script
    {
        QByteArray bytes;
        After after = After::Close;
    };

    // A complete reply with a Content-Length, or headers of your own in place of it.
    static QByteArray reply(const QByteArray& body, int status = 200, const QByteArray& headers = {});
    // A port nothing listens on: connections to it are refused.
    static QString refusingHost();

    // On this port, when one is given.
    explicit RawServer(QStringList* log = nullptr, quint16 port = 0);
    QString host() const;
    void on(const QString& targetOrPath, const Script& script) { m_scripts.insert(targetOrPath, script); }
    void on(const QString& targetOrPath, const QByteArray& body) { on(targetOrPath, Script{reply(body)}); }

private:
    void answer(QTcpSocket* socket);

    QTcpServer m_server;
    QHash<QString, Script> m_scripts;
    QStringList* m_log;
};
Q_DECLARE_METATYPE(RawServer::Script)
