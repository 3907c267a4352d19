// Guards the updater: start-up outcomes, bounded replies, list, names, broken and partial transfers, hand-over,
// signed releases on nginx, the system proxy.
#include "../support/Fixture.h"
#include "../support/RawServer.h"
#include "BuildConfig.h"
#include "HandOver.h"
#include "Rollback.h"
#include "SignatureCheck.h"
#include "TaskKill.h"
#include "TransferControl.h"
#include "UpdateLeftovers.h"
#include "UpdateServer.h"
#include "platform/Platform.h"
#include "updata.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLockFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTest>
#include <QTimer>

namespace {
const QByteArray OldProgram = "#!/bin/sh\n# the installed program\n";
const QString Failed = u"下载失败："_qs;
const QString VersionTarget = QStringLiteral("/updata/updata.asp?v=Pagewell");
const QString Installed = QString::fromLatin1(BuildConfig::FileVersion);

// The refreshers of the test folder as the updater finds them: the ones it asks to end, the ones that still run once
// they were killed, what killing them does, and what they save to user.ini when asked to end. By default none runs.
struct Refreshers
{
    QList<qint64> asked, found;
    std::function<void()> kill;
    QByteArray saved;
} refreshers;

QList<qint64> recordStop(TaskKill::Action action, const QString& program)
{
    if (action == TaskKill::Action::Find)
        return refreshers.found;
    events().append((action == TaskKill::Action::Kill ? "kill " : "stop ") + QFileInfo(program).fileName());
    if (action == TaskKill::Action::AskToEnd && !refreshers.saved.isEmpty())
        writeFile(ProgramFolder::filePath("user.ini"), refreshers.saved);
    if (action == TaskKill::Action::Kill && refreshers.kill)
        refreshers.kill();
    return refreshers.asked;
}

bool run(const QString& command, const QString& folder = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setEnvironment(QProcess::systemEnvironment() << "SRC=" SOURCE_DIR);
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    return process.waitForFinished(60000) && process.exitCode() == 0;
}
} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase() { run("\"$SRC\"/deploy/serve stop " + m_keys.filePath("nginx")); }

    void startup_data();
    void startup();
    void fileList_data();
    void fileList();
    void transfer_data();
    void transfer();
    void signedRelease_data();
    void signedRelease();
    void systemProxy();
    void handOver_data();
    void handOver();
    void rollback_data();
    void rollback();
    void releaseJudgesItself_data();
    void releaseJudgesItself();
    void stopsThisFolderOnly();
    void updaterVersionReadsBack() { QCOMPARE(Platform::fileVersion(UPDATE_PROGRAM), BuildConfig::UpdaterFileVersion); }

private:
    std::unique_ptr<updata> start(const QString& key = {}, const std::optional<HandedState>& handed = {},
                                  bool wait = true);

    std::unique_ptr<TestFolder> m_folder;
    std::unique_ptr<RawServer> m_server;
    QTemporaryDir m_keys;
    QString m_vendorKey;
    QString m_nginxHost;
};

void TestUpdater::initTestCase()
{
    recordInsteadOfActing();
    SignatureCheck::setLegacyLimitForTesting(1024 * 1024);
    TaskKill::setHookForTesting(&recordStop);
    const QString keys = m_keys.path();
    QVERIFY(run("for k in vendor other stranger; do minisign -G -W -p $k.pub -s $k.key || exit; done", keys));
    m_vendorKey = QString::fromLatin1(readFile(keys + "/vendor.pub").split('\n').value(1));
    QVERIFY(QDir().mkpath(keys + "/new") && writeFile(keys + "/new/Pagewell", "#!/bin/sh\n# the new program\n"));
    m_nginxHost = RawServer::refusingHost();
    QVERIFY(run("\"$SRC\"/deploy/make-release new release --local --tag v1.7 --file-version 1.7.0.0 >/dev/null && "
                "\"$SRC\"/deploy/serve start release " +
                    m_nginxHost.section(':', 1) + " nginx",
                keys));
}

void TestUpdater::init()
{
    events().clear();
    refreshers = {};
    failingLaunches() = 0;
    launchedPid() = QCoreApplication::applicationPid();
    m_folder.reset();
    m_folder = std::make_unique<TestFolder>();
    QVERIFY(writeFile(m_folder->path("Pagewell"), OldProgram));
    QVERIFY(QFile::setPermissions(m_folder->path("Pagewell"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup));
    m_server = std::make_unique<RawServer>(&events());
    UpdateServer::setHostsForTesting(m_server->host(), m_server->host());
}

std::unique_ptr<updata> TestUpdater::start(const QString& key, const std::optional<HandedState>& handed, bool wait)
{
    auto w = std::make_unique<updata>();
    w->setHandedState(handed);
    w->setStartPauseForTesting(false);
    w->handOver()->setWatchMsForTesting(300);
    w->Inet1->setIdleTimeoutMs(1000);
    w->setUpdatePublicKeys(key);
    if (w->Form_Load())
        w->show();
    if (wait)
        (void)QTest::qWaitFor([&w] { return !w->Inet1->stillExecuting(); }, 30000);
    return w;
}

void TestUpdater::startup_data()
{
    QTest::addColumn<RawServer::Script>("reply");
    QTest::addColumn<bool>("realProgram");
    QTest::addColumn<bool>("signedMode");
    QTest::addColumn<QStringList>("messages");
    const QString serverError = u"ERR.连接到更新服务器出错，请直接到官网下载。"_qs;
    const QStringList error{serverError}, noReply{u"ERR.无法连接到更新服务器，请直接到官网下载。"_qs, serverError};
    const auto row = [](const char* name, const QByteArray& reply, bool real, bool signedMode,
                        const QStringList& shown) {
        QTest::newRow(name) << RawServer::Script{reply} << real << signedMode << shown;
    };
    const auto v = [](const QString& text) { return RawServer::reply(text.toUtf8()); };
    row("no reply", {}, true, false, noReply);
    row("not a tag", v("V9.0.0.0"), true, false, error);
    row("error page", RawServer::reply("<html>", 500), true, true, error);
    row("up to date", v("v" + Installed), true, false, {u"已是最新版本，暂时不用更新。"_qs});
    row("line break: another tag", v("v" + Installed + "\n"), true, false, {});
    row("no program: any tag", v("v" + Installed), false, false, {});
    row("signed: two numbers", v("v65535.7"), true, true, error);
    // Read whole, this would be another tag; it is no reply at all.
    row("over the bound", v("v" + QString(70000, u'1')), true, false, noReply);
    row("signed: newer", v("v65535.0.0.0"), true, true, {});
    // Followed on the same host and port (to the list's error page: no tag; the redirect itself says up to date),
    // not to another port (nginx's, which offers v1.7.0.0).
    const QByteArray body = "v" + Installed.toUtf8(), length = "\r\nContent-Length: " + QByteArray::number(body.size());
    const auto moved = [&](const QString& to) {
        return RawServer::reply(body, 302, "Location: " + to.toUtf8() + length + "\r\n");
    };
    row("redirect, same host", moved("/updata/updata.asp?moved"), true, false, error);
    row("redirect, other port", moved("http://" + m_nginxHost + VersionTarget), true, false, noReply);
}

void TestUpdater::startup()
{
    QFETCH(RawServer::Script, reply);
    QFETCH(bool, realProgram);
    QFETCH(bool, signedMode);
    QFETCH(QStringList, messages);
    QFile::remove(m_folder->path("Pagewell"));
    QVERIFY(!realProgram || QFile::copy(PAGEWELL_PROGRAM, m_folder->path("Pagewell")));
    m_server->on(VersionTarget, reply);
    // An error page is no list, whatever its text names.
    m_server->on(QStringLiteral("/updata/updata.asp"), RawServer::Script{RawServer::reply("Pagewell", 404)});
    const auto w = start(signedMode ? m_vendorKey : "");
    QCOMPARE(eventsStartingWith("message "), messages);
    if (!messages.isEmpty()) {
        QVERIFY(w->hasEnded() && !w->isVisible());
        QVERIFY(eventsStartingWith("stop ").isEmpty() && events().filter("?e=").isEmpty());
        return;
    }
    // Pagewell runs on: the list's error page fetched nothing.
    QCOMPARE(events().size(), 2);
    QVERIFY(events().last().startsWith(QStringLiteral("/updata/updata.asp?e=Pagewellver&x=")));
    QCOMPARE(w->Label2->text(), Failed + u"无法获取更新文件列表"_qs);
    QVERIFY(w->isVisible() && !w->hasEnded());
}

void TestUpdater::fileList_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("fetched");
    QTest::addColumn<QStringList>("launched");
    const auto row = [](const char* name, const char* list, const QStringList& fetched, const QStringList& launched) {
        QTest::newRow(name) << QString(list) << fetched << launched;
    };
    // Pagewell is stopped only once every listed file is complete, and the one that runs at the end refreshes as the
    // one that started the updater; an installer listed first is told nothing.
    const QString stop = "stop Pagewell", handed = "launch Pagewell --url=-x.org/p --interval=5 --start";
    row("one", "Pagewell", {"Pagewell"}, {stop, handed});
    row("every one, each once", "setup|data.dat|setup|", {"setup", "data.dat"}, {stop, "launch setup"});
    row("encoded name", "a#b", {"a%23b"}, {stop, "launch a#b"});
    row("the updater too", "Pagewell|update", {"Pagewell", "update"}, {stop, handed});
    // Nothing stopped, nothing left: the window says why.
    row("an updater that cannot run here", "Pagewell|update", {"Pagewell", "update"},
        {u"新版本的更新程序无法在本机运行"_qs});
    row("a later one missing", "Pagewell|data.dat", {"Pagewell", "data.dat"}, {"HTTP 404"});
    row("the person's settings", "Pagewell|user.ini", {}, {u"“user.ini”不是可以更新的文件名"_qs});
    row("what an update keeps", "Pagewell|Pagewell.previous", {}, {u"“Pagewell.previous”"_qs});
    row("first not plain", "../x|Pagewell", {}, {u"第一个文件“../x”"_qs});
    // Started, it would fetch and start itself again, for ever.
    row("the updater itself first", "update|Pagewell", {}, {u"第一个文件“update”"_qs});
    row("nothing plain", "/etc/x|a\\b|", {}, {u"没有可下载的文件"_qs});
}

void TestUpdater::fileList()
{
    QFETCH(QString, list);
    QFETCH(QStringList, fetched);
    QFETCH(QStringList, launched);
    m_server->on(VersionTarget, QByteArray("v65535.0.0.0"));
    m_server->on(QStringLiteral("/updata/updata.asp"), list.toUtf8());
    const QByteArray updater = readFile(UPDATE_PROGRAM);
    const bool runnable = QTest::currentDataTag() == QByteArray("the updater too");
    const auto made = [&](const QString& n) { return n == "update" && runnable ? updater : "new " + n.toUtf8(); };
    const auto plain = [](const QString& t) { return QUrl::fromPercentEncoding(t.section('/', -1).toUtf8()); };
    for (const QString& name : fetched)
        m_server->on("/updata/" + name, made(plain(name)));
    if (QTest::currentDataTag() == QByteArray("a later one missing"))
        m_server->on("/updata/data.dat", RawServer::Script{RawServer::reply("", 404)});
    const auto w = start({}, HandedState::fromFields("-x.org/p", " 5", true));
    fetched.replaceInStrings(QRegularExpression("^"), "/updata/");
    QTRY_COMPARE_WITH_TIMEOUT(events().filter(QRegularExpression("^/updata/(?!updata\\.asp)")), fetched, 10000);
    if (!launched.value(0).startsWith("stop")) {
        QTRY_VERIFY(w->Label2->text().contains(launched.value(0)));
        QVERIFY2(w->Label2->text().startsWith(Failed) || w->Label2->text().startsWith(u"更新失败"_qs),
                 qPrintable(w->Label2->text()));
        QVERIFY(eventsStartingWith("stop ").isEmpty());
        QCOMPARE(m_folder->entries().filter(QRegularExpression("^(?!update.hold)")), QStringList{"Pagewell"});
        return;
    }
    QElapsedTimer handOver;
    handOver.start();
    QVERIFY(QSignalSpy(w.get(), &updata::programEnded).wait(5000));
    // Counted from the end of the wait for the transfer, which may come a little after the write.
    QVERIFY2(handOver.elapsed() > 1800, qPrintable(QString::number(handOver.elapsed())));
    QCOMPARE(m_folder->events("^(launch|message|stop|kill) "), launched);
    for (const QString& target : std::as_const(fetched))
        QCOMPARE(readFile(m_folder->path(plain(target))), made(plain(target)));
    QVERIFY(m_folder->entries().filter(".part").isEmpty());
    // A replaced file keeps its permission bits; a new first file is made a program.
    const QString first = plain(fetched.value(0));
    QVERIFY(QFileInfo(m_folder->path(first)).isExecutable());
    if (first == "Pagewell")
        QCOMPARE(QFile::permissions(m_folder->path(first)) & QFile::Permissions(0x7077),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup);
}

void TestUpdater::transfer_data()
{
    QTest::addColumn<RawServer::Script>("file");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("reason");
    using After = RawServer::After;
    const auto row = [](const char* name, const QByteArray& bytes, const QString& reason, After after = After::Close,
                        const QByteArray& expected = OldProgram) {
        QTest::newRow(name) << RawServer::Script{bytes, after} << expected << reason;
    };
    const auto headers = [](const QByteArray& fields) { return RawServer::reply("", 200, fields + "\r\n"); };
    const QByteArray body(5000, 'n'), fiveK = "Content-Length: 5000";
    const QString silent = u"没有收到任何数据"_qs;
    row("refused", "", "");
    row("silent", "", silent, After::Hang);
    row("drop mid-body", headers(fiveK) + body.first(3000), "");
    row("stall", headers(fiveK) + body.first(3000), silent, After::Hang);
    // Over what the test folder's disk has free: the whole file must fit beside the old one. A gibibyte over, as other
    // programs may free space on the same disk meanwhile.
    const QByteArray overFree = QByteArray::number(QStorageInfo(QDir::tempPath()).bytesAvailable() + (1 << 30));
    row("over the free space", headers("Content-Length: " + overFree), u"磁盘空间不足"_qs, After::Hang);
    row("length not a number", headers("Content-Length: <b>12</b>") + body, u"文件长度无效"_qs);
    row("redirect", RawServer::reply("", 302, "Location: /updata/x\r\nContent-Length: 0\r\n"), "HTTP 302");
    row("206 with a matching range",
        RawServer::reply(body.first(3000), 206, "Content-Range: bytes 0-2999/5000\r\nContent-Length: 3000\r\n"),
        "HTTP 206");
    row("204 with a body", RawServer::reply(body, 204), "HTTP 204");
    row("200 with a range", RawServer::reply(body, 200, "Content-Range: bytes 0-4999/9000\r\n" + fiveK + "\r\n"),
        "Content-Range");
    // The body as the server stores it, or nothing: each header field that says it was changed on the way.
    for (const char* changed :
         {"Content-Encoding: gzip", "Content-Encoding: deflate", "Content-Encoding: br",
          "Transfer-Encoding: gzip, chunked", "Warning: 110 - \"stale\", 214 proxy \"Transformation Applied\""})
        row(changed, RawServer::reply(body, 200, changed + ("\r\n" + fiveK + "\r\n")),
            QString(changed).section(':', 0, 0));
    // Qt reports a cut of either as a whole body: only a length that was met proves the file complete.
    row("no length", RawServer::reply(body, 200, ""), "Content-Length");
    row("chunked", headers("Transfer-Encoding: chunked\r\nContent-Length: 5") + "5\r\nhello\r\n0\r\n\r\n",
        "Content-Length");
    row("understated length", headers("Content-Length: 4000") + body, "", After::Close, body.first(4000));
    // 1.6 s in all against a 1 s idle bound: every piece that arrives restarts the bound.
    row("steady trickle", headers(fiveK) + body, "", After::Trickle, body);
    row("empty", RawServer::reply(""), u"空"_qs);
}

void TestUpdater::transfer()
{
    QFETCH(RawServer::Script, file);
    QFETCH(QByteArray, expected);
    QFETCH(QString, reason);
    m_server->on(VersionTarget, QByteArray("v65535.0.0.0"));
    m_server->on(QStringLiteral("/updata/updata.asp"), QByteArray("Pagewell"));
    m_server->on(QStringLiteral("/updata/Pagewell"), file);
    // What transfers cut short left goes (the name the updater gives each); nobody else's file does.
    const QStringList others{"notes." + Rollback::transferFileName("notes").section('.', 1, 1) + ".partial",
                             "x.0123abcd.part"};
    for (const QString& leftover :
         QStringList{Rollback::transferFileName("Pagewell"), Rollback::transferFileName("a.b.c")} + others)
        QVERIFY(writeFile(m_folder->path(leftover), ""));
    const bool stalls = QTest::currentDataTag() == QByteArray("stall");
    const auto w = start({}, {}, !stalls);
    // The body goes into a file of exactly that form beside the target, and no other.
    if (stalls)
        QTRY_COMPARE(m_folder->entries().filter(QRegularExpression("^Pagewell\\.[0-9a-f]{8}\\.part$")).size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!w->Inet1->stillExecuting(), 30000);
    // Complete or not, the file waits beside the running program until the hand-over.
    QVERIFY(eventsStartingWith("stop ").isEmpty());
    if (w->Timer1->isActive())
        QVERIFY(QSignalSpy(w.get(), &updata::programEnded).wait(5000));
    QCOMPARE(readFile(m_folder->path("Pagewell")), expected);
    QCOMPARE(m_folder->entries().filter(QRegularExpression("^(?!Pagewell\\.previous)")),
             QStringList{"Pagewell"} + others);
    QCOMPARE(eventsStartingWith("stop ").isEmpty(), expected == OldProgram);
    // Names and lengths from the server are shown as they are, never as HTML.
    QCOMPARE(w->Label2->textFormat(), Qt::PlainText);
    if (expected == OldProgram) {
        QVERIFY2(w->Label2->text().startsWith(Failed) && w->Label2->text().size() > Failed.size() &&
                     w->Label2->text().contains(reason),
                 qPrintable(w->Label2->text()));
        QVERIFY(w->isVisible() && !w->hasEnded());
    }
}

void TestUpdater::signedRelease_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("reason");
    // key: the built-in list, with the names of keys made above for their lines; empty for unsigned mode.
    const auto row = [](const char* name, const QString& tamper, const QString& reason, const char* key = "vendor") {
        QTest::newRow(name) << tamper << QString(key) << reason;
    };
    const QString sign = QStringLiteral("minisign -S -m files/Pagewell -x files/Pagewell.minisig ");
    const QString legacy = sign + "-l -s ../vendor.key -t 'pagewell-release v1.7.0.0 Pagewell'";
    const QString changeByte = QStringLiteral(" && printf X | dd of=files/Pagewell bs=1 seek=3 conv=notrunc");
    row("valid", "", "");
    row("legacy Ed", legacy, "");
    row("CRLF line ends", "sed -i 's/$/\\r/' files/Pagewell.minisig", "");
    row("name needing encoding",
        "mv files/Pagewell 'files/a#b' && printf 'a#b' >texts/file-list.txt && minisign -S -s ../vendor.key "
        "-m 'files/a#b' -t 'pagewell-release v1.7.0.0 a#b'",
        "");
    row("unsigned mode", "rm files/Pagewell.minisig", "", "");
    row("one byte changed", "true" + changeByte, u"文件内容与签名不符"_qs);
    row("legacy, one byte changed", legacy + changeByte, u"文件内容与签名不符"_qs);
    row("legacy, over the limit in many blocks", "head -c 3M /dev/zero >files/Pagewell && " + legacy, u"旧式签名"_qs);
    const QString byOther = sign + "-s ../other.key -t 'pagewell-release v1.7.0.0 Pagewell'";
    row("another key", byOther, u"另一个密钥"_qs);
    // Keys change: an updater built with the old key and the new one takes a release signed by either, and no other.
    row("old key of two", "", "", "vendor,other");
    row("new key of two", byOther, "", "vendor,other");
    row("key of neither", sign + "-s ../stranger.key -t 'pagewell-release v1.7.0.0 Pagewell'", u"另一个密钥"_qs,
        "vendor,other");
    // Every listed file is judged as the first is, before anything is stopped.
    row("second file by another key",
        "cp files/Pagewell files/data && printf 'Pagewell|data' >texts/file-list.txt && "
        "minisign -S -s ../other.key -m files/data -t 'pagewell-release v1.7.0.0 data'",
        u"另一个密钥"_qs);
    row("another file, same beginning", sign + "-s ../vendor.key -t 'pagewell-release v1.7.0.0 Pagewell.old'",
        u"另一个文件或版本"_qs);
    row("another release", sign + "-s ../vendor.key -t 'pagewell-release v1.6.0.0 Pagewell'", u"另一个文件或版本"_qs);
    row("comment edited", "sed -i 's/^trusted comment: .*/&x/' files/Pagewell.minisig", u"可信注释"_qs);
    row("missing", "rm files/Pagewell.minisig", u"缺少签名文件 Pagewell.minisig（HTTP 404）"_qs);
    row("malformed", "echo broken >files/Pagewell.minisig", u"格式无效"_qs);
    row("signature of 73 bytes", "sed -i \"2s|.*|$(head -c 73 /dev/zero | base64 -w0)|\" files/Pagewell.minisig",
        u"格式无效"_qs);
    row("signature over the bound", "yes '' | head -c 70000 >>files/Pagewell.minisig", u"无法获取签名文件"_qs);
    row("list over the bound", "printf 'Pagewell|%070000d' 0 >texts/file-list.txt", u"无法获取更新文件列表"_qs);
    row("built-in key no key", "", u"内置的签名公钥无效"_qs, "RWbroken");
    // One entry that is no key leaves none trusted: the build is not what was meant.
    row("one of two keys no key", "", u"内置的签名公钥无效"_qs, "vendor,RWbroken");
    row("one of two keys left out", "", u"内置的签名公钥无效"_qs, "vendor,");
}

void TestUpdater::signedRelease()
{
    QFETCH(QString, tamper);
    QFETCH(QString, key);
    QFETCH(QString, reason);
    const QString keys = m_keys.path();
    QVERIFY(run("\"$SRC\"/deploy/make-release new release --local --tag v1.7 --file-version 1.7.0.0 --sign vendor.key "
                ">/dev/null",
                keys));
    QVERIFY(run(tamper, keys + "/release"));
    const QString name = QString::fromUtf8(readFile(keys + "/release/texts/file-list.txt")).section('|', 0, 0);
    UpdateServer::setHostsForTesting(m_nginxHost, m_nginxHost);
    QStringList builtIn = key.split(',');
    for (QString& entry : builtIn)
        entry = QString::fromLatin1(readFile(keys + '/' + entry + ".pub").split('\n').value(1, entry.toLatin1()));
    const auto w = start(builtIn.join(','));
    // Judged, refused or still to be handed over: Pagewell runs on.
    QVERIFY(eventsStartingWith("stop ").isEmpty());
    if (reason.isEmpty()) {
        QVERIFY(QSignalSpy(w.get(), &updata::programEnded).wait(5000));
        QCOMPARE(readFile(m_folder->path(name)), readFile(keys + "/release/files/" + name));
        QCOMPARE(m_folder->entries().filter(QRegularExpression("^(?!Pagewell\\.previous)")),
                 (QStringList{"Pagewell", name}).mid(0, name == "Pagewell" ? 1 : 2));
        return;
    }
    QCOMPARE(m_folder->entries(), QStringList{"Pagewell"});
    QCOMPARE(readFile(m_folder->path("Pagewell")), OldProgram);
    QVERIFY2(w->Label2->text().startsWith(Failed) && w->Label2->text().contains(reason), qPrintable(w->Label2->text()));
    QVERIFY(!w->Timer1->isActive() && !w->hasEnded());
    QVERIFY(eventsStartingWith("launch ").isEmpty());
}

// Behind a required proxy the update server is asked through it; a server on this machine is still asked directly.
// The name is in the reserved .invalid domain: only the proxy, a local server, ever sees it.
void TestUpdater::systemProxy()
{
    RawServer proxy(&events());
    // The test folder's program has no version: "v" is up to date.
    proxy.on("http://pagewell.invalid/updata/updata.asp", QByteArray("v"));
    qputenv("http_proxy", "http://" + proxy.host().toUtf8());
    UpdateServer::setHostsForTesting("pagewell.invalid", "pagewell.invalid");
    start();
    m_server->on(VersionTarget, QByteArray("v"));
    UpdateServer::setHostsForTesting(m_server->host(), m_server->host());
    start();
    qunsetenv("http_proxy");
    QCOMPARE(events(), (QStringList{"http://pagewell.invalid/updata/updata.asp?v=Pagewell",
                                    u"message 已是最新版本，暂时不用更新。"_qs, VersionTarget,
                                    u"message 已是最新版本，暂时不用更新。"_qs}));
}

// Every way the hand-over can go after the stop, as the folder, the refreshers and the person see it: the refresher
// of the folder ends when asked, is killed after the grace, or cannot be stopped; the new file cannot be kept beside,
// put in place (for a moment, or for good), started, or put back. Every ending that leaves the old program holds the
// release, and every one but a refresher still running starts one. Meanwhile a second updater ends at once.
void TestUpdater::handOver_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("refresher");
    QTest::addColumn<QList<int>>("refused");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QStringList>("entries");
    // What the refresher saved when it ended goes across, typed after the check as it was; one killed saved nothing.
    const QString handed = "launch Pagewell --url=b.org --interval=7 --start";
    const QString stop = "stop Pagewell", kill = "kill Pagewell", put = "replace";
    const QStringList held{"Pagewell", "update.hold"}, alone{"Pagewell"}, both{"Pagewell", "data.dat", "update.hold"};
    const auto row = [](const char* name, const char* refresher, const QList<int>& refused, const QStringList& events,
                        const QString& shown, const QStringList& entries, const char* list = "Pagewell") {
        QTest::newRow(name) << QString(list) << QString(refresher) << refused << events << shown << entries;
    };
    // refused: the replace calls refused, negative where the refusal may clear by itself.
    row("window closed in the pause", "closed", {}, {}, "", alone);
    row("locked for a moment", "", {-1, -2, -3}, {stop, put, put, put, put, handed}, "", alone);
    row("refused", "", {1}, {stop, put, handed}, u"更新失败：无法替换"_qs, held);
    row("does not end when asked", "killed", {}, {stop, kill, put, "launch Pagewell --url=x.org --interval=5 --start"},
        "", alone);
    row("cannot be stopped", "stuck", {}, {stop, kill}, u"无法停止正在运行的"_qs, held);
    row("cannot keep the old one", "", {}, {stop, handed}, u"无法保留原来的"_qs,
        {"Pagewell", "Pagewell.previous", "update.hold"});
    row("new one cannot start", "unstartable", {}, {stop, put, handed, put, handed},
        u"新版本无法运行，已恢复原来的版本。"_qs, held);
    row("new one ends, old one cannot go back", "ends, not back", {2},
        {stop, put, handed, put, "launch Pagewell.previous --url=b.org --interval=7 --start"},
        u"原来的版本无法放回原处"_qs, {"Pagewell", "Pagewell.previous", "Pagewell.previous.watch", "update.hold"});
    row("new one ends, put back refused for a moment", "ends", {-2}, {stop, put, handed, put, put, handed},
        u"已恢复原来的版本"_qs, held);
    // One transaction: a file that cannot be put in place puts back those that were.
    row("second refused", "", {2}, {stop, put, put, put, handed}, u"更新失败：无法替换"_qs, both, "Pagewell|data.dat");
    row("installer fails", "unstartable", {}, {stop, put, put, "launch setup", put, handed}, u"更新失败：无法启动"_qs,
        both, "setup|data.dat");
}

void TestUpdater::handOver()
{
    QFETCH(QString, list);
    QFETCH(QString, refresher);
    QFETCH(QList<int>, refused);
    QFETCH(QStringList, entries);
    ChildProcess old;
    if (refresher == "killed") {
        old.start("sleep", {"30"});
        QVERIFY(old.waitForStarted());
        refreshers.asked = {old.processId()};
        refreshers.kill = [&old] { old.kill(); };
    }
    if (refresher == "stuck")
        refreshers.asked = refreshers.found = {QCoreApplication::applicationPid()};
    failingLaunches() = refresher == "unstartable" ? 1 : 0;
    refreshers.saved = "\xEF\xBB\xBF[" + QByteArray(BuildConfig::ProductName) + "]\r\nTEXT2=b.org\r\nTEXT1=7\r\n";
    if (QTest::currentDataTag() == QByteArray("cannot keep the old one"))
        QVERIFY(QDir().mkpath(m_folder->path("Pagewell.previous/x")));
    m_server->on(VersionTarget, QByteArray("v65535.0.0.0"));
    m_server->on(QStringLiteral("/updata/updata.asp"), list.toUtf8());
    for (const QString& name : list.split('|'))
        m_server->on("/updata/" + name, QByteArray("the new program"));
    QVERIFY(!list.contains("data") || writeFile(m_folder->path("data.dat"), "old data"));
    const auto w = start({}, HandedState::fromFields("x.org", "5", true));
    const qsizetype asked = events().size();
    updata second;
    QVERIFY(second.Form_Load() && second.Label2->text().contains(u"另一个更新程序"_qs));
    QCOMPARE(events().size(), asked);
    w->setAutoCloseMsForTesting(100);
    // Closed in the pause before the hand-over, the complete file goes with the window, and nothing is stopped.
    if (refresher == "closed") {
        w->close();
        QVERIFY(eventsStartingWith("stop ").isEmpty());
        QCOMPARE(m_folder->entries(), entries);
        return;
    }
    int calls = 0;
    // A new refresher that runs confirms itself, as the real one does once its first page has loaded.
    if (refresher.isEmpty() || refresher == "killed")
        connect(w->handOver(), &HandOver::launched, [] { Rollback::confirm(ProgramFolder::filePath("Pagewell")); });
    w->handOver()->setReplaceForTesting([&](const QString& from, const QString& to, QString* error, bool* clears) {
        events().append("replace");
        if (calls == 0 && refresher.startsWith("ends"))
            launchedPid() = endedProcessId();
        if (!refused.contains(++calls) && !refused.contains(-calls))
            return Platform::replaceFile(from, to, error, clears);
        *clears = refused.contains(-calls);
        return false;
    });
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(QSignalSpy(w.get(), &updata::programEnded).wait(15000));
    // The grace and the wait after a kill, at their real lengths.
    QVERIFY(stopping.elapsed() >= (refresher == "stuck"    ? HandOver::EndGraceMs + HandOver::StopWaitMs
                                   : refresher == "killed" ? HandOver::EndGraceMs
                                                           : 0));
    QTEST(m_folder->events("^(stop|kill|replace|launch)"), "events");
    const bool replaced = entries.size() == 1 || refresher == "ends, not back";
    QCOMPARE(readFile(m_folder->path("Pagewell")), replaced ? "the new program" : OldProgram);
    QVERIFY(!list.contains("data") || readFile(m_folder->path("data.dat")) == "old data");
    QCOMPARE(m_folder->entries().filter(QRegularExpression("^(?!user\\.ini$)")), entries);
    QFETCH(QString, shown);
    const QString said = eventsStartingWith("message ").value(0, w->Label2->text());
    QVERIFY2(shown.isEmpty() ? eventsStartingWith("message ").isEmpty() : said.contains(shown), qPrintable(said));
    if (entries.contains("update.hold"))
        QCOMPARE(readFile(Rollback::holdPath()), "v65535.0.0.0");
}

// A new release must prove itself: one that ends for a fault of its own before it confirmed itself is replaced by the
// one it replaced, which runs again in its state, and its release is held for a day; one that a person or the session
// ended, or that runs on unproven, goes on judging itself. A watch that the updater could not finish is settled by its
// next run, before anything is asked. A held release ends the updater; by hand its window says why.
void TestUpdater::rollback_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("listAsked");
    const QByteArray release = "v65535.0.0.0", longRelease = "v" + QByteArray(299, '7');
    const QStringList held{"Pagewell", "update.hold"}, alone{"Pagewell"};
    const QStringList unproven{"Pagewell", "Pagewell.previous", "Pagewell.previous.watch"};
    const QStringList closed{"Pagewell", "Pagewell.previous", "Pagewell.previous.closed", "Pagewell.previous.watch"};
    QTest::newRow("confirms itself") << "confirms" << release << QByteArray("new") << alone << true;
    QTest::newRow("runs on unproven") << "" << release << QByteArray("new") << unproven << true;
    QTest::newRow("confirms itself 85 s after its watch") << "confirms late" << release << QByteArray("new") << alone << true;
    QTest::newRow("ends within the watch") << "ends" << release << OldProgram << held << true;
    QTest::newRow("ends, a note of an earlier watch") << "ends, earlier note" << release << OldProgram << held << true;
    QTest::newRow("closed within the watch") << "ends, closed" << release << QByteArray("new") << closed << true;
    QTest::newRow("cut short, running") << "cut short, running" << QByteArray("v") << QByteArray() << unproven << false;
    QTest::newRow("cut short, ended") << "cut short" << QByteArray("v") << OldProgram << held << false;
    QTest::newRow("cut short, closed") << "cut short, note" << QByteArray("v") << QByteArray() << closed << false;
    QTest::newRow("cut short before the new one took its place")
        << "cut short, same" << QByteArray("v") << OldProgram << alone << false;
    QTest::newRow("held, a version of 300 bytes") << "hold" << longRelease << OldProgram << held << false;
    QTest::newRow("hold of another version") << "hold v65535.0" << release << QByteArray("new") << unproven << true;
    QTest::newRow("hold of almost a day ago") << "hold, 86340 s ago" << release << OldProgram << held << false;
    QTest::newRow("hold of a day ago") << "hold, 86400 s ago" << release << QByteArray("new") << unproven << true;
}

void TestUpdater::rollback()
{
    QFETCH(QString, before);
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, program);
    const QString target = m_folder->path("Pagewell");
    ChildProcess running;
    if (before.startsWith("cut short")) {
        // As an updater of the earlier form left it: the marker holds the version alone.
        QVERIFY(QFile::copy(target, Rollback::keptPath(target)) && writeFile(Rollback::markerPath(target), "v9"));
        QVERIFY(before.endsWith("same") ||
                (QFile::remove(target) && QFile::copy(QStandardPaths::findExecutable("sleep"), target)));
        if (before.endsWith("running")) {
            running.start(target, {"30"});
            QVERIFY(running.waitForStarted());
        }
    }
    QVERIFY(!before.endsWith("note") || writeFile(Rollback::closedNotePath(target), ""));
    if (before.startsWith("hold"))
        QVERIFY(writeFile(Rollback::holdPath(), before.startsWith("hold v") ? before.mid(5).toUtf8() : version));
    QVERIFY(!before.endsWith(" ago") || backdate(Rollback::holdPath(), before.section(' ', 1, 1).toInt()));
    if (before.startsWith("ends"))
        launchedPid() = endedProcessId();
    m_server->on(VersionTarget, version);
    m_server->on(QStringLiteral("/updata/updata.asp"), QByteArray("Pagewell"));
    m_server->on(QStringLiteral("/updata/Pagewell"), QByteArray("new"));
    // Started by hand, an update that ends in a rollback still ends with a refresher running.
    const auto w = start();
    // The wait for confirmation at its real length: 90 s after the watch.
    if (before == "confirms late")
        w->handOver()->setWatchMsForTesting(300, HandOver::ConfirmWaitMs);
    // As the new refresher does when its window is closed (before its end is seen), or once it proved itself.
    connect(w->handOver(), &HandOver::launched, [&target, &before] {
        if (before == "ends, closed")
            Rollback::noteOrderlyEnd(target, launchedPid());
        if (before == "confirms")
            Rollback::confirm(target);
        if (before == "confirms late")
            QTimer::singleShot(300 + 85000, [target] { Rollback::confirm(target); });
    });
    if (w->Timer1->isActive())
        QVERIFY(QSignalSpy(w.get(), &updata::programEnded).wait(before == "confirms late" ? 100000 : 5000));
    if (!program.isEmpty())
        QCOMPARE(readFile(target), program);
    QTEST(m_folder->entries(), "entries");
    QTEST(!events().filter("?e=Pagewellver").isEmpty(), "listAsked");
    if (before == "cut short")
        QCOMPARE(readFile(Rollback::holdPath()), "v9");
    if (before.startsWith("hold") && program == OldProgram)
        QVERIFY2(w->Label2->text().startsWith(u"暂不更新"_qs) && w->isVisible(), qPrintable(w->Label2->text()));
    if (!before.startsWith("ends"))
        return;
    const QString launch = "launch " + target;
    const QStringList rolledBack{launch, launch, u"message 新版本无法运行，已恢复原来的版本。"_qs};
    QCOMPARE(events().filter(QRegularExpression("^(launch|message) ")),
             program == OldProgram ? rolledBack : QStringList{launch});
    if (program == OldProgram)
        QCOMPARE(readFile(Rollback::holdPath()), version);
}

// A release judges itself, whoever starts it: each start is counted, and it confirms itself once its window showed, its
// first page load ended and the watch's time passed, never before. A start that finds an earlier one ended abnormally,
// with no updater deciding, puts the old program back, holds the release and starts the old one in its place.
// One updater at a time, through the folder's lock: a lock whose updater lives is never taken over, however old; one
// whose updater died is, and so is one that holds no owner (its contents lost in a power cut) once it is older than
// any updater takes to write it.
void TestUpdater::releaseJudgesItself_data()
{
    QTest::addColumn<int>("starts");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("continues");
    QTest::addColumn<QStringList>("entries");
    const QStringList watched{"Pagewell", "Pagewell.previous", "Pagewell.previous.starts", "Pagewell.previous.watch"};
    const QStringList held{"Pagewell", "update.hold"};
    QTest::newRow("first start, proven") << 0 << "loaded" << true << QStringList{"Pagewell"};
    QTest::newRow("first start, first page still loading") << 0 << "" << true << watched;
    QTest::newRow("an earlier start crashed") << 1 << "" << false << held;
    QTest::newRow("an earlier start was closed") << 1 << "note" << true << watched;
    QTest::newRow("an earlier start crashed, a note of an earlier watch") << 1 << "earlier note" << false << held;
    QTest::newRow("another start runs") << 1 << "running" << true << watched;
    QTest::newRow("crashed, a live updater's lock an hour old") << 1 << "live lock, 3600 s" << true << watched;
    QTest::newRow("crashed, a dead updater's lock") << 1 << "dead lock, 0 s" << false << held;
    QTest::newRow("crashed, an empty lock 9 s old") << 1 << "empty lock, 9 s" << true << watched;
    QTest::newRow("crashed, an empty lock 11 s old") << 1 << "empty lock, 11 s" << false << held;
}

void TestUpdater::releaseJudgesItself()
{
    QFETCH(int, starts);
    QFETCH(QString, state);
    const QString program = m_folder->path("Pagewell");
    // The marker as an updater writes it, over any note of an earlier watch; the starts as the release counts them.
    QVERIFY(state != "earlier note" || writeFile(Rollback::closedNotePath(program), ""));
    QVERIFY(Rollback::mark(program, "v9", {"Pagewell"}, {}, 300) &&
            writeFile(Rollback::keptPath(program), OldProgram) && writeFile(program, "new"));
    QVERIFY(!starts || writeFile(Rollback::startsPath(program), QString("starts=%1\n").arg(starts).toUtf8()));
    QVERIFY(state != "note" || writeFile(Rollback::closedNotePath(program), ""));
    QLockFile lock(Rollback::lockPath());
    if (state.contains("lock")) {
        QVERIFY(state.startsWith("empty") ? writeFile(Rollback::lockPath(), "") : lock.tryLock(0));
        // As another updater leaves it, live or dead: its first line names the owner, no lock here holds it.
        if (!state.startsWith("empty")) {
            const QByteArray info = readFile(Rollback::lockPath());
            const qint64 owner = state.startsWith("dead") ? endedProcessId() : QCoreApplication::applicationPid();
            lock.unlock();
            QVERIFY(writeFile(Rollback::lockPath(), QByteArray::number(owner) + info.mid(info.indexOf('\n'))));
        }
        QVERIFY(backdate(Rollback::lockPath(), state.section(' ', 2, 2).toInt()));
    }
    ChildProcess other;
    if (state == "running") {
        QVERIFY(QFile::remove(program) && QFile::copy(QStandardPaths::findExecutable("sleep"), program));
        other.start(program, {"30"});
        QVERIFY(other.waitForStarted());
    }
    UpdateLeftovers leftovers;
    QFETCH(bool, continues);
    QCOMPARE(leftovers.judgeStart({"--start"}), continues);
    leftovers.settle();
    if (state == "loaded")
        leftovers.pageLoadEnded();
    QTest::qWait(600);
    QTEST(m_folder->entries(), "entries");
    if (const std::optional<WatchMarker> after = Rollback::marker(program))
        QCOMPARE(after->starts, state == "running" ? starts : starts + 1);
    QCOMPARE(eventsStartingWith("launch "), continues ? QStringList{} : QStringList{program + " --start"});
    QVERIFY(!QFile::exists(Rollback::closedNotePath(program)));
}

// The stop as it is, on processes of this test alone: a refresher is asked to end and given the grace, one that
// ignores the request is killed, another installation's runs on.
void TestUpdater::stopsThisFolderOnly()
{
    TaskKill::setHookForTesting(nullptr);
    TestFolder other;
    ProgramFolder::overrideForTesting(m_folder->dir.path());
    const auto restore = qScopeGuard([] { TaskKill::setHookForTesting(&recordStop); });
    ChildProcess polite, stubborn, there;
    const QString shell = QStandardPaths::findExecutable("sh");
    QFile::remove(m_folder->path("Pagewell"));
    for (const QString& folder : {m_folder->dir.path(), other.dir.path()})
        QVERIFY(QFile::copy(shell, folder + "/Pagewell"));
    const QString loop = "while :; do sleep 1; done";
    polite.start(m_folder->path("Pagewell"), {"-c", loop});
    stubborn.start(m_folder->path("Pagewell"), {"-c", "trap '' TERM; echo ignoring; " + loop});
    there.start(other.path("Pagewell"), {"-c", loop});
    for (QProcess* process : {&polite, &stubborn, &there})
        QVERIFY(process->waitForStarted());
    // Not stubborn until its shell has read the trap.
    QVERIFY(stubborn.waitForReadyRead(10000));
    // A process is known by its start as well: one with the same identifier that started at another time (the
    // identifier reused once it ended) is another process.
    const Platform::ProcessIdentity identity = Platform::identify(there.processId());
    QVERIFY(identity.started > 0 && Platform::stillRuns(identity) &&
            !Platform::stillRuns({identity.pid, identity.started + 1}));
    QVERIFY(writeFile(m_folder->path("Pagewell.0123abcd.part"), "new"));
    HandOver handOver;
    handOver.setWatchMsForTesting(300);
    QSignalSpy finished(&handOver, &HandOver::finished);
    QElapsedTimer stopping;
    stopping.start();
    handOver.start({{{m_folder->path("Pagewell.0123abcd.part"), m_folder->path("Pagewell")}}, {}, "v2"});
    QVERIFY(polite.waitForFinished(2000) && stopping.elapsed() < HandOver::EndGraceMs);
    QVERIFY(finished.wait(10000) && stopping.elapsed() >= HandOver::EndGraceMs);
    QCOMPARE(finished.at(0).at(0).value<HandOver::Outcome>(), HandOver::Outcome::Started);
    QTRY_COMPARE(stubborn.state(), QProcess::NotRunning);
    QVERIFY(there.state() == QProcess::Running && readFile(m_folder->path("Pagewell")) == "new");
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
