#include "FakeHttpServer.h"
#include "TempProgramFolder.h"
#include "TransferControl.h"
#include "UpdaterHooks.h"
#include "UpdateServer.h"
#include "updata.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

using Misbehaviour = FakeHttpServer::Misbehaviour;
using Reply = FakeHttpServer::Reply;
Q_DECLARE_METATYPE(FakeHttpServer::Reply)

namespace {
const QString NoConnection = QStringLiteral("ERR.无法连接到更新服务器，请直接到官网下载。");
const QString ServerError = QStringLiteral("ERR.连接到更新服务器出错，请直接到官网下载。");
const QString UpToDate = QStringLiteral("已是最新版本，暂时不用更新。");
const QString VersionTarget = QStringLiteral("/updata/updata.asp?v=Pagewell");
const QString ListPath = QStringLiteral("/updata/updata.asp");

UpdaterHooks& g_recorded = UpdaterHooks::recorded();
} // namespace

class TestUpdata : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window();
    void sequence_data();
    void sequence();
    void lists_data();
    void lists();
    void noListReplyLeavesTheWindowIdle();
    void pauseKeepsEventsRunning();
    void download_data();
    void download();
    void largeBodyIsExact();
    void replacedFileKeepsItsPermissions();
    void handOver_data();
    void handOver();

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<TempProgramFolder> m_folder;
};

void TestUpdata::initTestCase()
{
    UpdaterHooks::install();
}

void TestUpdata::init()
{
    g_recorded = UpdaterHooks();
    m_server = std::make_unique<FakeHttpServer>();
    UpdateServer::setHostsForTesting(m_server->host(), m_server->host());
    m_folder = std::make_unique<TempProgramFolder>();
    QVERIFY(m_folder->isValid());
}

void TestUpdata::cleanup()
{
    m_folder.reset();
    UpdateServer::setHostsForTesting(QString(), QString());
    m_server.reset();
}

void TestUpdata::window()
{
    updata w;
    QCOMPARE(w.windowTitle(), QStringLiteral("自动更新程序"));
    QCOMPARE(w.size(), QSize(550, 119));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!w.windowIcon().isNull());
    QCOMPARE(w.Frame1->title(), QStringLiteral("更新文件："));
    QCOMPARE(w.Frame1->geometry(), QRect(16, 16, 513, 89));
    QCOMPARE(w.Label2->parentWidget(), w.Frame1);
    QCOMPARE(w.Label2->geometry(), QRect(24, 24, 473, 17));
    QVERIFY(w.Label2->text().isEmpty());
    QCOMPARE(w.ProgressBar1->parentWidget(), w.Frame1);
    QCOMPARE(w.ProgressBar1->geometry(), QRect(24, 56, 441, 17));
    QCOMPARE(w.ProgressBar1->minimum(), 0);
    QCOMPARE(w.ProgressBar1->maximum(), 100);
    QVERIFY(!w.Timer1->isActive());
    QCOMPARE(w.Timer1->interval(), 0);
    QVERIFY(!w.Inet1->stillExecuting());
    for (const char* name : {"Frame1", "Label2", "ProgressBar1", "Timer1", "Inet1"})
        QVERIFY2(w.findChild<QObject*>(QLatin1String(name)), name);
}

void TestUpdata::sequence_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<QString>("versionReply");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("proceeds");

    QTest::newRow("no reply") << true << false << QString() << QStringList{NoConnection, ServerError} << false;
    QTest::newRow("html page") << true << true << QStringLiteral("<html>oops</html>") << QStringList{ServerError}
                               << false;
    QTest::newRow("empty body") << true << true << QString() << QStringList{ServerError} << false;
    QTest::newRow("capital V") << true << true << QStringLiteral("V1.7.0.0") << QStringList{ServerError} << false;
    QTest::newRow("equal tag") << true << true << QStringLiteral("v1.6.0.0") << QStringList{UpToDate} << false;
    QTest::newRow("tag with line break") << true << true << QStringLiteral("v1.6.0.0\n") << QStringList{} << true;
    QTest::newRow("leading blank") << true << true << QStringLiteral(" v1.7.0.0") << QStringList{ServerError} << false;
    QTest::newRow("newer") << true << true << QStringLiteral("v1.7.0.0") << QStringList{} << true;
    QTest::newRow("older") << true << true << QStringLiteral("v1.5.0.0") << QStringList{} << true;
    QTest::newRow("no program, same tag") << false << true << QStringLiteral("v1.6.0.0") << QStringList{} << true;
    QTest::newRow("no program, bare v") << false << true << QStringLiteral("v") << QStringList{UpToDate} << false;
}

void TestUpdata::sequence()
{
    QFETCH(bool, installed);
    QFETCH(bool, serverUp);
    QFETCH(QString, versionReply);
    QFETCH(QStringList, messages);
    QFETCH(bool, proceeds);

    if (installed)
        QVERIFY(QFile::copy(QStringLiteral(PAGEWELL_PROGRAM_FILE), m_folder->filePath(QStringLiteral("Pagewell"))));
    m_server->setReplyForTarget(VersionTarget, Reply::text(versionReply.toUtf8()));
    m_server->setReply(ListPath, Reply::text(QByteArray()));
    if (!serverUp)
        m_server->stopListening();

    updata w;
    g_recorded.window = &w;
    QSignalSpy ended(&w, &updata::programEnded);
    const bool shown = w.Form_Load();

    QCOMPARE(w.installedVersion(), installed ? QStringLiteral("1.6.0.0") : QString());
    QCOMPARE(w.localVersionTag(), installed ? QStringLiteral("v1.6.0.0") : QStringLiteral("v"));
    QCOMPARE(g_recorded.messages, messages);
    QVERIFY(!g_recorded.windowVisible.contains(true));
    QCOMPARE(shown, proceeds);
    QCOMPARE(ended.count(), proceeds ? 0 : 1);
    QCOMPARE(g_recorded.kills, proceeds ? QStringList{QStringLiteral("Pagewell")} : QStringList{});
    QCOMPARE(m_server->requestCount(ListPath), serverUp ? (proceeds ? 2 : 1) : 0);
    if (proceeds) {
        const QString list = m_server->requests().last();
        QVERIFY2(list.startsWith(QStringLiteral("/updata/updata.asp?e=Pagewellver&x=0.")), qPrintable(list));
    }
}

void TestUpdata::lists_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("fetched");
    QTest::addColumn<QString>("firstFileName");

    QTest::newRow("one program") << QStringLiteral("Pagewell") << QStringList{QStringLiteral("Pagewell")}
                                 << QStringLiteral("Pagewell");
    QTest::newRow("second skipped while the first runs")
        << QStringLiteral("setup.exe|data.dat") << QStringList{QStringLiteral("setup.exe")}
        << QStringLiteral("setup.exe");
    QTest::newRow("empty element") << QStringLiteral("a||b") << QStringList{QStringLiteral("a")} << QStringLiteral("a");
    QTest::newRow("empty first element") << QStringLiteral("|b") << QStringList{QStringLiteral("b")} << QString();
    QTest::newRow("path names skipped") << QStringLiteral("../x|/etc/y|C:z|ok") << QStringList{QStringLiteral("ok")}
                                        << QStringLiteral("../x");
    QTest::newRow("empty list") << QString() << QStringList{} << QString();
}

void TestUpdata::lists()
{
    QFETCH(QString, list);
    QFETCH(QStringList, fetched);
    QFETCH(QString, firstFileName);

    m_server->setReplyForTarget(VersionTarget, Reply::text("v1.7.0.0"));
    m_server->setReply(ListPath, Reply::text(list.toUtf8()));
    for (const QString& name : {QStringLiteral("Pagewell"), QStringLiteral("setup.exe"), QStringLiteral("data.dat"),
                                QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("ok")})
        m_server->setReply(QStringLiteral("/updata/") + name, Reply::text("content of " + name.toUtf8()));

    updata w;
    w.setStartPauseForTesting(false);
    QSignalSpy states(w.Inet1, &TransferControl::stateChanged);
    QVERIFY(w.Form_Load());
    QCOMPARE(w.firstFileName(), firstFileName);
    if (fetched.isEmpty()) {
        QVERIFY(!w.Inet1->stillExecuting());
        QCOMPARE(w.Label2->text(), QStringLiteral("下载失败：更新文件列表中没有可下载的文件"));
    } else {
        QCOMPARE(w.Label2->text(), QDir::toNativeSeparators(m_folder->path() + QLatin1Char('/') + fetched.last()));
        QTRY_COMPARE_WITH_TIMEOUT(states.count(), 1, 10000);
        QCOMPARE(states.first().first().toInt(), TransferControl::StateResponseCompleted);
        QVERIFY(w.Timer1->isActive());
        QCOMPARE(w.Timer1->interval(), 2000);
    }
    QStringList requested;
    for (const QString& target : m_server->requests()) {
        if (!target.startsWith(ListPath))
            requested.append(target.mid(QStringLiteral("/updata/").size()));
    }
    QCOMPARE(requested, fetched);
    QStringList expectedFiles = fetched;
    expectedFiles.sort();
    QCOMPARE(folderEntries(m_folder->path()), expectedFiles);
    for (const QString& name : fetched)
        QCOMPARE(m_folder->read(name), "content of " + name.toUtf8());
    // Nothing was written beside the program folder either.
    QVERIFY(!QFileInfo::exists(QDir(m_folder->path()).filePath(QStringLiteral("../x"))));
}

void TestUpdata::noListReplyLeavesTheWindowIdle()
{
    m_server->setReplyForTarget(VersionTarget, Reply::text("v1.7.0.0"));
    m_server->setReply(ListPath, Reply::misbehaving(Misbehaviour::Refuse));
    updata w;
    QSignalSpy ended(&w, &updata::programEnded);
    QVERIFY(w.Form_Load());
    QCOMPARE(g_recorded.kills.size(), 1);
    QVERIFY(g_recorded.messages.isEmpty());
    QVERIFY(w.firstFileName().isEmpty());
    QVERIFY(!w.Inet1->stillExecuting());
    QCOMPARE(ended.count(), 0);
    // Pagewell is stopped by now, so the idle window must say why nothing happens.
    QCOMPARE(w.Label2->text(), QStringLiteral("下载失败：无法获取更新文件列表"));
}

void TestUpdata::pauseKeepsEventsRunning()
{
    m_server->setReply(QStringLiteral("/updata/f"), Reply::text("body"));
    updata w;
    w.Label2->setText(QDir::toNativeSeparators(m_folder->filePath(QStringLiteral("f"))));
    bool ranDuringPause = false;
    QTimer::singleShot(50, this, [&] { ranDuringPause = !w.Inet1->stillExecuting(); });
    QVERIFY(w.StartDownload(m_server->baseUrl() + QStringLiteral("/updata/f")));
    QVERIFY(ranDuringPause);
    QVERIFY(w.Inet1->stillExecuting());
    QTRY_VERIFY(!w.Inet1->stillExecuting());
    QCOMPARE(m_folder->read(QStringLiteral("f")), QByteArray("body"));
}

void TestUpdata::download_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QList<int>>("barValues");

    // Only the plain cases: what a hostile server does to a download is tried in the reliability suite.
    const QByteArray old = "the previous program, longer than any new body in this table: " + bytePattern(3000);
    const QByteArray body2500 = bytePattern(2500);
    const QList<int> none;
    Reply shortBody = Reply::misbehaving(Misbehaviour::DropMidBody, body2500);
    shortBody.dropAfterBytes = 1500;
    QTest::newRow("2,500 bytes") << Reply::text(body2500) << QByteArray() << true << body2500
                                 << QList<int>{1024, 2048, 2500};
    QTest::newRow("exactly 1,024 bytes") << Reply::text(bytePattern(1024)) << QByteArray() << true << bytePattern(1024)
                                         << QList<int>{1024};
    QTest::newRow("zero bytes") << Reply::text(QByteArray()) << old << true << QByteArray() << none;
    QTest::newRow("replacing a longer file")
        << Reply::text(body2500) << old << true << body2500 << QList<int>{1024, 2048, 2500};
    QTest::newRow("no Content-Length") << Reply::misbehaving(Misbehaviour::OmitContentLength, body2500) << old << true
                                       << body2500 << none;
    QTest::newRow("short body") << shortBody << old << false << old << none;
    // A failed first download leaves no file behind either.
    QTest::newRow("404 page, new file") << Reply::text("<html>404 Not Found</html>", 404) << QByteArray() << false
                                        << QByteArray() << none;
    QTest::newRow("redirect") << Reply::text("moved", 302).addHeader("Location", "http://127.0.0.1:9/x") << old << false
                              << old << none;
    QTest::newRow("stall") << Reply::misbehaving(Misbehaviour::NeverAnswer) << old << false << old << none;
}

void TestUpdata::download()
{
    QFETCH(Reply, reply);
    QFETCH(QByteArray, old);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, expected);
    QFETCH(QList<int>, barValues);

    const QString name = QStringLiteral("Pagewell");
    const QString target = m_folder->filePath(name);
    if (!old.isNull())
        QVERIFY(m_folder->write(name, old));
    m_server->setReply(QStringLiteral("/updata/") + name, reply);

    updata w;
    w.setStartPauseForTesting(false);
    w.Inet1->setIdleTimeoutMs(600);
    QSignalSpy states(w.Inet1, &TransferControl::stateChanged);
    QSignalSpy bar(w.ProgressBar1, &QProgressBar::valueChanged);
    w.Label2->setText(QDir::toNativeSeparators(target));
    QVERIFY(w.StartDownload(m_server->baseUrl() + QStringLiteral("/updata/") + name));
    QVERIFY(w.Inet1->stillExecuting());
    QTRY_COMPARE_WITH_TIMEOUT(states.count(), 1, 15000);
    QVERIFY(!w.Inet1->stillExecuting());

    if (succeeds) {
        QCOMPARE(states.first().first().toInt(), TransferControl::StateResponseCompleted);
        QCOMPARE(w.Label2->text(), QDir::toNativeSeparators(target));
        QVERIFY(w.Timer1->isActive());
        QCOMPARE(w.Timer1->interval(), 2000);
        QCOMPARE(w.ProgressBar1->value(), w.ProgressBar1->maximum());
        QVERIFY(w.ProgressBar1->maximum() > 0);
    } else {
        QCOMPARE(states.first().first().toInt(), TransferControl::StateError);
        QVERIFY2(w.Label2->text().startsWith(QStringLiteral("下载失败：")), qPrintable(w.Label2->text()));
        QVERIFY(w.Label2->text().size() > QStringLiteral("下载失败：").size());
        QVERIFY(!w.Timer1->isActive());
    }
    if (!barValues.isEmpty()) {
        QList<int> shown;
        for (const QList<QVariant>& change : std::as_const(bar)) {
            if (change.first().toInt() > 0)
                shown.append(change.first().toInt());
        }
        QCOMPARE(shown, barValues);
    }
    // Either the old file or the complete new one, and nothing else in the folder.
    if (expected.isNull() && !succeeds) {
        QVERIFY(!m_folder->exists(name));
        QVERIFY(folderEntries(m_folder->path()).isEmpty());
    } else {
        QCOMPARE(m_folder->read(name), expected);
        QCOMPARE(QFileInfo(target).size(), qint64(expected.size()));
        QCOMPARE(folderEntries(m_folder->path()), QStringList{name});
    }
}

void TestUpdata::largeBodyIsExact()
{
    // Past the 16,777,216 bytes a single-precision bar could count exactly.
    QTemporaryFile source;
    QVERIFY(source.open());
    const QByteArray block = bytePattern(1 << 20);
    for (int i = 0; i < 17; ++i)
        source.write(block);
    source.write("tail");
    source.close();
    const qint64 size = 17 * (1 << 20) + 4;
    m_server->setReply(QStringLiteral("/updata/big"), Reply::file(source.fileName()));

    updata w;
    w.setStartPauseForTesting(false);
    QSignalSpy states(w.Inet1, &TransferControl::stateChanged);
    w.Label2->setText(m_folder->filePath(QStringLiteral("big")));
    QVERIFY(w.StartDownload(m_server->baseUrl() + QStringLiteral("/updata/big")));
    QTRY_COMPARE_WITH_TIMEOUT(states.count(), 1, 60000);
    QCOMPARE(states.first().first().toInt(), TransferControl::StateResponseCompleted);
    QCOMPARE(w.Inet1->bytesWritten(), size);
    QCOMPARE(w.ProgressBar1->maximum(), int(size));
    QCOMPARE(w.ProgressBar1->value(), int(size));
    QFile written(m_folder->filePath(QStringLiteral("big")));
    QCOMPARE(written.size(), size);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.seek(size - 4));
    QCOMPARE(written.readAll(), QByteArray("tail"));
}

void TestUpdata::replacedFileKeepsItsPermissions()
{
    const QString target = m_folder->filePath(QStringLiteral("Pagewell"));
    QVERIFY(m_folder->write(QStringLiteral("Pagewell"), "old"));
    const QFile::Permissions before =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(target, before));
    m_server->setReply(QStringLiteral("/updata/Pagewell"), Reply::text("new"));
    updata w;
    w.setStartPauseForTesting(false);
    QSignalSpy states(w.Inet1, &TransferControl::stateChanged);
    w.Label2->setText(target);
    QVERIFY(w.StartDownload(m_server->baseUrl() + QStringLiteral("/updata/Pagewell")));
    QTRY_COMPARE(states.count(), 1);
    QCOMPARE(m_folder->read(QStringLiteral("Pagewell")), QByteArray("new"));
    QCOMPARE(QFile::permissions(target), before);
}

void TestUpdata::handOver_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<bool>("launchSucceeds");
    QTest::addColumn<bool>("launched");
    QTest::addColumn<QString>("message"); // %1: the program

    QTest::newRow("started") << QStringLiteral("Pagewell|data.dat") << true << true << QString();
    QTest::newRow("cannot start") << QStringLiteral("Pagewell") << false << true << QStringLiteral("无法启动：%1");
    QTest::newRow("path name first") << QStringLiteral("../Pagewell|data.dat") << true << false << QString();
}

void TestUpdata::handOver()
{
    QFETCH(QString, list);
    QFETCH(bool, launchSucceeds);
    QFETCH(bool, launched);
    QFETCH(QString, message);
    g_recorded.launchSucceeds = launchSucceeds;
    m_server->setReplyForTarget(VersionTarget, Reply::text("v1.7.0.0"));
    m_server->setReply(ListPath, Reply::text(list.toUtf8()));
    m_server->setReply(QStringLiteral("/updata/Pagewell"), Reply::text("#!/bin/sh\n"));
    m_server->setReply(QStringLiteral("/updata/data.dat"), Reply::text("data"));
    updata w;
    w.setStartPauseForTesting(false);
    QSignalSpy ended(&w, &updata::programEnded);
    QVERIFY(w.Form_Load());
    w.show();
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
    QVERIFY(w.hasEnded());
    QVERIFY(!w.Timer1->isActive());
    const QString program = m_folder->path() + QStringLiteral("/Pagewell");
    QCOMPARE(g_recorded.launches, launched ? QStringList{program} : QStringList{});
    QCOMPARE(g_recorded.messages,
             message.isEmpty() ? QStringList{} : QStringList{message.arg(QDir::toNativeSeparators(program))});
    // Only a new first file is made executable.
    if (launched) {
        QVERIFY(QFile::permissions(program) & QFile::ExeOwner);
    } else {
        QCOMPARE(m_folder->read(QStringLiteral("data.dat")), QByteArray("data"));
        QVERIFY(!(QFile::permissions(m_folder->filePath(QStringLiteral("data.dat"))) & QFile::ExeOwner));
    }
}

QTEST_MAIN(TestUpdata)
#include "tst_updata.moc"
