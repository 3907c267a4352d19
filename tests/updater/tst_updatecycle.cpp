// The whole update cycle with the real programs: Pagewell finds a newer release and starts update, update stops
// Pagewell, replaces its program file and starts the new one, which finds itself current.
//
// The test runs as PID 1 of its own PID and network namespaces (see CMakeLists.txt): the updater's forced kill of
// every "Pagewell" can reach no process outside, and the built-in server address 127.0.0.1:8765 is free.

#include "FakeHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using Reply = FakeHttpServer::Reply;

namespace {
const QString RefresherCheckPath = QStringLiteral("/updata/pagewell/auto.asp");
const QString StartPagePath = QStringLiteral("/updata/pagewell/wellhome.asp");
const QString UpdaterVersionTarget = QStringLiteral("/updata/updata.asp?v=Pagewell");
const QString ListPath = QStringLiteral("/updata/updata.asp");
const QString FilePath = QStringLiteral("/updata/Pagewell");

// The programs know only their built-in server address; this passes its connections on to the fake server.
class PortForwarder : public QObject
{
public:
    PortForwarder(quint16 listenPort, quint16 targetPort) : m_targetPort(targetPort)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &PortForwarder::accept);
        m_listening = m_server.listen(QHostAddress::LocalHost, listenPort);
    }
    bool isListening() const { return m_listening; }

private:
    void accept()
    {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            auto* upstream = new QTcpSocket(client);
            connect(client, &QTcpSocket::readyRead, upstream,
                    [client, upstream] { upstream->write(client->readAll()); });
            connect(upstream, &QTcpSocket::readyRead, client,
                    [client, upstream] { client->write(upstream->readAll()); });
            connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
            connect(client, &QTcpSocket::disconnected, client, [client] { client->deleteLater(); });
            connect(upstream, &QTcpSocket::connected, upstream,
                    [client, upstream] { upstream->write(client->readAll()); });
            upstream->connectToHost(QHostAddress::LocalHost, m_targetPort);
        }
    }

    QTcpServer m_server;
    quint16 m_targetPort;
    bool m_listening = false;
};

struct ProcessEntry
{
    pid_t pid;
    QByteArray name;
};

// Live (non-zombie) processes of this namespace other than the test itself.
QList<ProcessEntry> livingProcesses()
{
    QList<ProcessEntry> result;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid || pid == getpid())
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const qsizetype open = text.indexOf('(');
        const qsizetype close = text.lastIndexOf(')');
        if (open < 0 || close < open || close + 2 >= text.size())
            continue;
        if (text.at(close + 2) == 'Z')
            continue;
        result.append({pid, text.mid(open + 1, close - open - 1)});
    }
    return result;
}

bool isRunning(const QByteArray& name)
{
    for (const ProcessEntry& process : livingProcesses()) {
        if (process.name == name)
            return true;
    }
    return false;
}
} // namespace

class TestUpdateCycle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cycle();

private:
    // As PID 1 the test adopts every orphan, the detached updater and the new Pagewell included.
    void reapChildren();

    QTimer m_reaper;
    QHash<pid_t, int> m_exitStatus;
};

void TestUpdateCycle::initTestCase()
{
    if (getpid() != 1)
        QSKIP("The update cycle kills every Pagewell; it runs only as PID 1 of a PID namespace of its own.");
    connect(&m_reaper, &QTimer::timeout, this, &TestUpdateCycle::reapChildren);
    m_reaper.start(20);
}

void TestUpdateCycle::reapChildren()
{
    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        m_exitStatus.insert(pid, status);
}

void TestUpdateCycle::cleanup()
{
    // Outside a namespace of its own the test has started nothing, and must stop nothing.
    if (getpid() != 1)
        return;
    // Everything in this namespace was started by the test.
    for (const ProcessEntry& process : livingProcesses())
        kill(process.pid, SIGKILL);
    QElapsedTimer waited;
    waited.start();
    while (!livingProcesses().isEmpty() && waited.elapsed() < 10000) {
        reapChildren();
        QTest::qWait(20);
    }
    reapChildren();
}

void TestUpdateCycle::cycle()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString folder = work.filePath(QStringLiteral("program"));
    const QString release = work.filePath(QStringLiteral("release"));
    const QString home = work.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(folder) && QDir().mkpath(release) && QDir().mkpath(home));

    // The release's Pagewell is the built program; the installed one differs in its bytes, so the test can tell
    // which of the two ends up in the folder.
    const QString newProgram = release + QStringLiteral("/Pagewell");
    QVERIFY(QFile::copy(QStringLiteral(PAGEWELL_PROGRAM_FILE), newProgram));
    QFile newFile(newProgram);
    QVERIFY(newFile.open(QIODevice::ReadOnly));
    const QByteArray newBytes = newFile.readAll();
    newFile.close();
    QFile installed(folder + QStringLiteral("/Pagewell"));
    QVERIFY(installed.open(QIODevice::WriteOnly));
    installed.write(newBytes + QByteArray("\ninstalled copy\n"));
    installed.close();
    QVERIFY(QFile::copy(QStringLiteral(UPDATE_PROGRAM_FILE), folder + QStringLiteral("/update")));
    const QFile::Permissions runnable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(folder + QStringLiteral("/Pagewell"), runnable));
    QVERIFY(QFile::setPermissions(folder + QStringLiteral("/update"), runnable));
    const QByteArray settings = "[settings]\r\nTEXT1=http://127.0.0.1:8765/page\r\nTEXT2=600\r\n";
    QFile ini(folder + QStringLiteral("/user.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(settings);
    ini.close();

    FakeHttpServer server;
    server.setReply(RefresherCheckPath, Reply::text("v1.7"));
    server.setReplyForTarget(UpdaterVersionTarget, Reply::text("v1.7.0.0"));
    server.setReply(ListPath, Reply::text("Pagewell"));
    server.setReply(FilePath, Reply::file(newProgram));
    server.setReply(StartPagePath, Reply::text("<html><body>Pagewell</body></html>"));
    server.setReply(QStringLiteral("/page"), Reply::text("<html><body>page</body></html>"));
    // Once the new release has been handed out, the server's tag is the new program's own.
    connect(&server, &FakeHttpServer::requestReceived, this, [&server](const QString& target) {
        if (target == FilePath)
            server.setReply(RefresherCheckPath, Reply::text("v1.6"));
    });
    PortForwarder forwarder(8765, server.port());
    QVERIFY2(forwarder.isListening(), "127.0.0.1:8765 is taken");

    QByteArrayList environment;
    for (char** variable = environ; *variable; ++variable) {
        const QByteArray entry(*variable);
        if (!entry.startsWith("HOME=") && !entry.startsWith("QT_QPA_PLATFORM="))
            environment.append(entry);
    }
    environment.append("HOME=" + home.toLocal8Bit());
    environment.append("QT_QPA_PLATFORM=offscreen");
    environment.append("QTWEBENGINE_DISABLE_SANDBOX=1");
    std::vector<char*> envp;
    for (QByteArray& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    QByteArray program = (folder + QStringLiteral("/Pagewell")).toLocal8Bit();
    char* argv[] = {program.data(), nullptr};
    pid_t oldPagewell = 0;
    QCOMPARE(posix_spawn(&oldPagewell, program.constData(), nullptr, nullptr, argv, envp.data()), 0);

    // Pagewell checks, starts update; update asks, stops Pagewell and fetches the release.
    QTRY_VERIFY_WITH_TIMEOUT(server.requestCount(FilePath) == 1, 90000);
    QVERIFY(server.requests().contains(UpdaterVersionTarget));
    const qsizetype served = server.requests().lastIndexOf(FilePath);
    // The new Pagewell starts and shows its start page: a start page request after the file was served.
    QTRY_VERIFY_WITH_TIMEOUT(server.requests().lastIndexOf(StartPagePath) > served, 90000);
    QTRY_VERIFY_WITH_TIMEOUT(!isRunning("update"), 10000);

    // The old Pagewell was stopped by the forced kill.
    QTRY_VERIFY_WITH_TIMEOUT(m_exitStatus.contains(oldPagewell), 10000);
    QVERIFY(WIFSIGNALED(m_exitStatus.value(oldPagewell)));
    QCOMPARE(WTERMSIG(m_exitStatus.value(oldPagewell)), SIGKILL);
    QVERIFY(isRunning("Pagewell"));

    // The new Pagewell asked once, found the server's tag its own and started no updater again.
    QTest::qWait(1000);
    QCOMPARE(server.requests().count(UpdaterVersionTarget), 1);
    QCOMPARE(server.requestCount(FilePath), 1);

    QFile updated(folder + QStringLiteral("/Pagewell"));
    QVERIFY(updated.open(QIODevice::ReadOnly));
    QVERIFY(updated.readAll() == newBytes);
    QVERIFY(QFileInfo(updated.fileName()).isExecutable());
    QFile iniAfter(folder + QStringLiteral("/user.ini"));
    QVERIFY(iniAfter.open(QIODevice::ReadOnly));
    QCOMPARE(iniAfter.readAll(), settings);
    QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    QCOMPARE(files, (QStringList{QStringLiteral("Pagewell"), QStringLiteral("update"), QStringLiteral("user.ini")}));
}

QTEST_GUILESS_MAIN(TestUpdateCycle)
#include "tst_updatecycle.moc"
