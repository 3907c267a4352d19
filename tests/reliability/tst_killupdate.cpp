#include "BuildConfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

// Kills the real update program with SIGKILL at random moments of a download, again and again: the program file it
// replaces must always be the old one or the complete new one. Runs alone in its own PID and network namespaces
// (in-namespace.sh), because the updater stops every process named Pagewell and asks a fixed local port.
// PAGEWELL_KILL_RUNS sets the number of kills (50 by default), PAGEWELL_KILL_SEED repeats a run.

namespace {
constexpr qint64 Slice = 32 * 1024;
constexpr int SliceIntervalMs = 4;

QByteArray newProgram()
{
    QByteArray bytes = "#!/bin/sh\nexit 0\n";
    int line = 0;
    while (bytes.size() < 4 * 1024 * 1024)
        bytes += "# the new program, line " + QByteArray::number(++line) + '\n';
    return bytes;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

// The update server as the updater sees it: a newer version, a list of one program, and the program sent at a
// steady pace so that a kill can land anywhere in it.
class ReleaseServer : public QObject
{
    Q_OBJECT

public:
    explicit ReleaseServer(QByteArray program) : m_program(std::move(program))
    {
        connect(&m_server, &QTcpServer::newConnection, this, &ReleaseServer::accept);
    }

    bool listen(const QString& host)
    {
        return m_server.listen(QHostAddress(host.section(u':', 0, 0)), quint16(host.section(u':', 1).toUInt()));
    }

signals:
    void fileRequested();

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
        }
    }

    void answer(QTcpSocket* socket)
    {
        QByteArray& request = m_pending[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray target = request.split(' ').value(1);
        m_pending.remove(socket);
        if (target.startsWith("/updata/updata.asp?v="))
            reply(socket, "v9.9.9.9");
        else if (target.startsWith("/updata/updata.asp?"))
            reply(socket, "Pagewell");
        else if (target == "/updata/Pagewell")
            stream(socket);
        else
            reply(socket, "not here", 404);
    }

    static void reply(QTcpSocket* socket, const QByteArray& body, int status = 200)
    {
        socket->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    void stream(QTcpSocket* socket)
    {
        emit fileRequested();
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(m_program.size()) +
                      "\r\nConnection: close\r\n\r\n");
        auto* timer = new QTimer(socket);
        auto* sent = new qint64(0);
        connect(timer, &QTimer::destroyed, [sent] { delete sent; });
        connect(timer, &QTimer::timeout, socket, [this, socket, timer, sent] {
            const QByteArray slice = m_program.mid(*sent, Slice);
            socket->write(slice);
            *sent += slice.size();
            if (*sent >= m_program.size()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(SliceIntervalMs);
    }

    QTcpServer m_server;
    QByteArray m_program;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

class TestKillUpdate : public QObject
{
    Q_OBJECT

private slots:
    void killDuringDownload();
    void uninterruptedUpdateCompletes();

private:
    void prepare(QTemporaryDir& outer, QString& folder);
};

void TestKillUpdate::prepare(QTemporaryDir& outer, QString& folder)
{
    QVERIFY(outer.isValid());
    folder = outer.filePath(QStringLiteral("program"));
    QVERIFY(QDir().mkdir(folder));
    // The updater finds its program folder from its own file, so it runs from a copy inside the folder.
    QVERIFY(QFile::copy(QStringLiteral(PAGEWELL_UPDATE_PROGRAM), folder + QStringLiteral("/update")));
}

void TestKillUpdate::killDuringDownload()
{
    const int runs = qEnvironmentVariableIsSet("PAGEWELL_KILL_RUNS") ? qEnvironmentVariableIntValue("PAGEWELL_KILL_RUNS")
                                                                    : 50;
    const quint32 seed = qEnvironmentVariableIsSet("PAGEWELL_KILL_SEED")
                             ? quint32(qEnvironmentVariableIntValue("PAGEWELL_KILL_SEED"))
                             : QRandomGenerator::global()->generate();
    qInfo("seed %u (rerun with PAGEWELL_KILL_SEED=%u)", seed, seed);
    QRandomGenerator random(seed);

    const QByteArray fresh = newProgram();
    const QByteArray old = "#!/bin/sh\n# the installed program\nexit 0\n";
    ReleaseServer server(fresh);
    QVERIFY2(server.listen(QString::fromUtf8(BuildConfig::UpdateHost)), "the update port is taken");
    QTemporaryDir outer;
    QString folder;
    prepare(outer, folder);
    const QString target = folder + QStringLiteral("/Pagewell");
    // How long a transfer takes, from the request to the renamed file, measured by the first run, which is not
    // killed before then. Kills land up to a quarter beyond it, so that some come after the rename.
    qint64 transferMs = -1;

    int sawOld = 0;
    int sawNew = 0;
    int leftovers = 0;
    for (int run = 0; run < runs; ++run) {
        QFile installed(target);
        QVERIFY(installed.open(QIODevice::WriteOnly | QIODevice::Truncate));
        installed.write(old);
        installed.close();
        QVERIFY(installed.setPermissions(installed.permissions() | QFile::ExeOwner));

        QSignalSpy requested(&server, &ReleaseServer::fileRequested);
        QProcess update;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        update.setProcessEnvironment(environment);
        update.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        update.start(folder + QStringLiteral("/update"), {});
        QVERIFY2(update.waitForStarted(), qPrintable(update.errorString()));
        // One run in ten is killed before the transfer has begun, the others while it runs or just after.
        if (transferMs < 0) {
            QVERIFY2(requested.wait(15000), "the updater never asked for the file");
            QElapsedTimer clock;
            clock.start();
            const auto isNew = [&target, &fresh] {
                QFile file(target);
                return file.open(QIODevice::ReadOnly) && file.size() == fresh.size() && file.readAll() == fresh;
            };
            QTRY_VERIFY_WITH_TIMEOUT(isNew(), 30000);
            transferMs = clock.elapsed();
            qInfo("a transfer takes %lld ms", transferMs);
        } else if (random.bounded(10) == 0) {
            QTest::qWait(random.bounded(1, 1500));
        } else {
            QVERIFY2(requested.wait(15000), "the updater never asked for the file");
            QTest::qWait(random.bounded(0, int(transferMs + transferMs / 4)));
        }
        update.kill();
        QVERIFY(update.waitForFinished(10000));

        QFile program(target);
        QVERIFY(program.open(QIODevice::ReadOnly));
        const QByteArray now = program.readAll();
        program.close();
        if (now == old) {
            ++sawOld;
        } else if (now == fresh) {
            ++sawNew;
        } else {
            QFAIL(qPrintable(QStringLiteral("run %1: the program file holds %2 bytes, neither old nor new")
                                 .arg(run)
                                 .arg(now.size())));
        }
        // A killed transfer leaves its temporary file, named after the target; nothing else appears.
        for (const QString& name : entries(folder)) {
            if (name == QLatin1String("update") || name == QLatin1String("Pagewell"))
                continue;
            QVERIFY2(name.startsWith(QLatin1String("Pagewell.")), qPrintable(name));
            ++leftovers;
            QVERIFY(QFile::remove(folder + u'/' + name));
        }
        QCOMPARE(entries(outer.path()), QStringList{QStringLiteral("program")});
    }
    qInfo("%d kills: %d left the old program, %d the complete new one; %d temporary files left by killed transfers",
          runs, sawOld, sawNew, leftovers);
}

void TestKillUpdate::uninterruptedUpdateCompletes()
{
    const QByteArray fresh = newProgram();
    ReleaseServer server(fresh);
    QVERIFY2(server.listen(QString::fromUtf8(BuildConfig::UpdateHost)), "the update port is taken");
    QTemporaryDir outer;
    QString folder;
    prepare(outer, folder);
    QFile installed(folder + QStringLiteral("/Pagewell"));
    QVERIFY(installed.open(QIODevice::WriteOnly));
    installed.write("old");
    installed.close();
    // The new program keeps these bits; without them the hand-over could not start it.
    QVERIFY(installed.setPermissions(installed.permissions() | QFile::ExeOwner));

    QProcess update;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    update.setProcessEnvironment(environment);
    update.start(folder + QStringLiteral("/update"), {});
    // The pause, the transfer, the two seconds before the hand-over, and the start of the new program.
    // Waited for with events running: the server lives on this thread.
    QTRY_VERIFY_WITH_TIMEOUT(update.state() == QProcess::NotRunning, 30000);
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 0);
    QFile program(folder + QStringLiteral("/Pagewell"));
    QVERIFY(program.open(QIODevice::ReadOnly));
    QVERIFY(program.readAll() == fresh);
    QCOMPARE(entries(folder), (QStringList{QStringLiteral("Pagewell"), QStringLiteral("update")}));
}

QTEST_GUILESS_MAIN(TestKillUpdate)
#include "tst_killupdate.moc"
