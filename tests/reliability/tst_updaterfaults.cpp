#include "BuildConfig.h"
#include "FakeHttpServer.h"
#include "ProgramFolder.h"
#include "TransferControl.h"
#include "UpdaterHooks.h"
#include "UpdateCheck.h"
#include "UpdateServer.h"
#include "updata.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The updater and the start-up check against a hostile or broken server. Whatever the server does, the program
// file is the old one or the complete new one, nothing is written outside the program folder, no temporary file
// stays behind, every wait ends within its bound, and the window says what happened.

using Misbehaviour = FakeHttpServer::Misbehaviour;
using Reply = FakeHttpServer::Reply;
Q_DECLARE_METATYPE(FakeHttpServer::Reply)

namespace {
const QString VersionTarget = QStringLiteral("/updata/updata.asp?v=Pagewell");
const QString ListPath = QStringLiteral("/updata/updata.asp");
const QString Failed = QStringLiteral("下载失败：");
const QByteArray OldProgram = "#!/bin/sh\n# the installed program, which only a complete download may replace\n";
// The idle bound the file transfers get here instead of a minute.
constexpr int IdleMs = 1000;

UpdaterHooks& g_recorded = UpdaterHooks::recorded();

Reply misbehaving(Misbehaviour misbehaviour, const QByteArray& body, void (*adjust)(Reply&) = nullptr)
{
    Reply reply = Reply::misbehaving(misbehaviour, body);
    if (adjust)
        adjust(reply);
    return reply;
}
} // namespace

class TestUpdaterFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileFaults_data();
    void fileFaults();
    void listFaults_data();
    void listFaults();
    void startupCheckFaults_data();
    void startupCheckFaults();

private:
    QString programFile() const { return m_program + QStringLiteral("/Pagewell"); }
    QByteArray read(const QString& path) const;

    std::unique_ptr<FakeHttpServer> m_server;
    // The program folder sits alone inside this one, so anything written beside it shows up here.
    std::unique_ptr<QTemporaryDir> m_outer;
    QString m_program;
    QStringList m_workingDirBefore;
    bool m_etcXBefore = false;
};

void TestUpdaterFaults::initTestCase()
{
    UpdaterHooks::install();
}

void TestUpdaterFaults::init()
{
    g_recorded = UpdaterHooks();
    m_server = std::make_unique<FakeHttpServer>();
    UpdateServer::setHostsForTesting(m_server->host(), m_server->host());
    m_outer = std::make_unique<QTemporaryDir>();
    QVERIFY(m_outer->isValid());
    m_program = m_outer->filePath(QStringLiteral("program"));
    QVERIFY(QDir().mkdir(m_program));
    ProgramFolder::overrideForTesting(m_program);
    QFile installed(programFile());
    QVERIFY(installed.open(QIODevice::WriteOnly));
    QCOMPARE(installed.write(OldProgram), OldProgram.size());
    installed.close();
    m_workingDirBefore = folderEntries(QDir::currentPath());
    m_etcXBefore = QFileInfo::exists(QStringLiteral("/etc/x"));
    // Whatever path the updater might ask for, the server has something to write there.
    m_server->setDefaultReply(Reply::text("foreign bytes"));
}

void TestUpdaterFaults::cleanup()
{
    // Nothing beside the program folder, in the working folder, or at an absolute path from the list.
    QCOMPARE(folderEntries(m_outer->path()), QStringList{QStringLiteral("program")});
    QCOMPARE(folderEntries(QDir::currentPath()), m_workingDirBefore);
    QCOMPARE(QFileInfo::exists(QStringLiteral("/etc/x")), m_etcXBefore);
    ProgramFolder::overrideForTesting(QString());
    UpdateServer::setHostsForTesting(QString(), QString());
    m_outer.reset();
    m_server.reset();
}

QByteArray TestUpdaterFaults::read(const QString& path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestUpdaterFaults::fileFaults_data()
{
    QTest::addColumn<Reply>("reply");
    // The bytes the program file holds afterwards: the old program or the new one.
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("boundMs");

    const QByteArray body = bytePattern(5000);
    QTest::newRow("refused") << Reply::misbehaving(Misbehaviour::Refuse) << OldProgram << 5000;
    QTest::newRow("never answers") << Reply::misbehaving(Misbehaviour::NeverAnswer) << OldProgram << IdleMs + 5000;
    QTest::newRow("drop after headers") << misbehaving(Misbehaviour::DropAfterHeaders, body) << OldProgram << 5000;
    QTest::newRow("drop mid-body") << misbehaving(Misbehaviour::DropMidBody, body, [](Reply& r) {
        r.dropAfterBytes = 3000;
    }) << OldProgram << 5000;
    QTest::newRow("drop at the last byte") << misbehaving(Misbehaviour::DropMidBody, body, [](Reply& r) {
        r.dropAfterBytes = 4999;
    }) << OldProgram << 5000;
    QTest::newRow("Content-Length larger") << misbehaving(Misbehaviour::OverstateContentLength, body) << OldProgram
                                           << 5000;
    // The announced length is the file; bytes after it are not part of the reply.
    QTest::newRow("Content-Length smaller") << misbehaving(Misbehaviour::UnderstateContentLength, body)
                                            << body.first(body.size() - 100) << 5000;
    QTest::newRow("no Content-Length") << misbehaving(Misbehaviour::OmitContentLength, body) << body << 5000;
    QTest::newRow("endless body") << Reply::misbehaving(Misbehaviour::EndlessBody) << OldProgram << 20000;
    QTest::newRow("trickle within the idle bound") << misbehaving(Misbehaviour::Trickle, "0123456789", [](Reply& r) {
        r.trickleIntervalMs = IdleMs / 4;
    }) << QByteArray("0123456789") << 10000;
    QTest::newRow("trickle of a byte a second") << misbehaving(Misbehaviour::Trickle, "0123456789", [](Reply& r) {
        r.trickleIntervalMs = 1000 + IdleMs;
    }) << OldProgram << 3 * IdleMs + 5000;
    QTest::newRow("404") << Reply::text("<html><body>404 Not Found</body></html>", 404) << OldProgram << 5000;
    QTest::newRow("500") << Reply::text("<html><body>500</body></html>", 500) << OldProgram << 5000;
    QTest::newRow("500 without a body") << Reply::text(QByteArray(), 500) << OldProgram << 5000;
    QTest::newRow("CRLF and NUL bytes") << Reply::text(QByteArray("a\r\nb\0c\r\n\0\0\r", 11)) << QByteArray("a\r\nb\0c\r\n\0\0\r", 11)
                                        << 5000;
    QTest::newRow("empty body") << Reply::text(QByteArray()) << QByteArray() << 5000;
    QTest::newRow("Content-Length not a number") << Reply::text(body).addHeader("Content-Length", "12ab")
                                                 << OldProgram << 5000;
}

void TestUpdaterFaults::fileFaults()
{
    QFETCH(Reply, reply);
    QFETCH(QByteArray, expected);
    QFETCH(int, boundMs);

    m_server->setReplyForTarget(VersionTarget, Reply::text("v1.7.0.0"));
    m_server->setReply(ListPath, Reply::text("Pagewell"));
    m_server->setReply(QStringLiteral("/updata/Pagewell"), reply);

    QElapsedTimer clock;
    clock.start();
    updata w;
    w.setStartPauseForTesting(false);
    w.Inet1->setIdleTimeoutMs(IdleMs);
    w.Inet1->setUnknownLengthLimit(1024 * 1024);
    QSignalSpy states(w.Inet1, &TransferControl::stateChanged);
    QVERIFY(w.Form_Load());
    w.show();
    QTRY_COMPARE_WITH_TIMEOUT(states.count(), 1, boundMs);
    QVERIFY2(clock.elapsed() < boundMs, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!w.Inet1->stillExecuting());

    const bool replaced = expected != OldProgram;
    QCOMPARE(read(programFile()), expected);
    QCOMPARE(folderEntries(m_program), QStringList{QStringLiteral("Pagewell")});
    if (replaced) {
        QCOMPARE(states.first().first().toInt(), TransferControl::StateResponseCompleted);
        QVERIFY(w.Timer1->isActive());
    } else {
        QCOMPARE(states.first().first().toInt(), TransferControl::StateError);
        QVERIFY2(w.Label2->text().startsWith(Failed) && w.Label2->text().size() > Failed.size(),
                 qPrintable(w.Label2->text()));
        QVERIFY(!w.Timer1->isActive());
        QVERIFY(w.isVisible());
    }
    QVERIFY(g_recorded.messages.isEmpty());
    QVERIFY(g_recorded.launches.isEmpty());
    // The server stops being read: a failed transfer leaves no connection open.
    QTRY_COMPARE(m_server->openConnectionCount(), 0);
}

void TestUpdaterFaults::listFaults_data()
{
    QTest::addColumn<Reply>("list");
    // The names the server was asked for, the files the folder holds afterwards, and what Label2 shows.
    QTest::addColumn<QStringList>("requested");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("boundMs");

    const auto listOf = [](const QByteArray& text) { return Reply::text(text); };
    const QStringList none;
    const QStringList program{QStringLiteral("Pagewell")};
    // Nothing could be fetched: the idle window says so.
    const QString empty = Failed;
    const QString path = QStringLiteral("path");
    QTest::newRow("refused") << Reply::misbehaving(Misbehaviour::Refuse) << none << program << empty << 5000;
    QTest::newRow("never answers") << Reply::misbehaving(Misbehaviour::NeverAnswer) << none << program << empty
                                   << BuildConfig::UpdaterTimeoutMs + 5000;
    QTest::newRow("drop mid-body") << misbehaving(Misbehaviour::DropMidBody, "Pagewell|data.dat", [](Reply& r) {
        r.dropAfterBytes = 4;
    }) << none << program << empty << 5000;
    QTest::newRow("Content-Length larger") << misbehaving(Misbehaviour::OverstateContentLength, "Pagewell") << none
                                           << program << empty << 5000;
    QTest::newRow("no Content-Length") << misbehaving(Misbehaviour::OmitContentLength, "Pagewell") << program
                                       << program << path << 5000;
    // An error page is a reply like any other: a page holding a path names nothing that may be fetched, and a page
    // whose text is a plain name is fetched into the folder under that name.
    QTest::newRow("404 page") << Reply::text("<html>404 Not Found</html>", 404) << none << program << empty << 5000;
    QTest::newRow("500 page") << Reply::text("<html>500</html>", 500) << none << program << empty << 5000;
    QTest::newRow("404 plain text") << Reply::text("Not Found", 404) << QStringList{QStringLiteral("Not Found")}
                                    << QStringList{QStringLiteral("Not Found"), QStringLiteral("Pagewell")} << path
                                    << 5000;
    for (const char* name : {"../x", "/etc/x", "C:\\x", "a\\b", "", ".", "..", "C:x", "x/", "./x", "..\\x"})
        QTest::addRow("name \"%s\"", name) << listOf(name) << none << program << empty << 5000;
    QTest::newRow("all hostile names, then one plain")
        << listOf("../x|/etc/x|C:\\x|a\\b||.|..|Pagewell") << program << program << path << 5000;
    QTest::newRow("CRLF after the name") << listOf("Pagewell\r\n") << none << program << empty << 5000;
    QTest::newRow("NUL inside the name") << listOf(QByteArray("Pagewell\0../x", 13)) << none << program << empty
                                         << 5000;
    QByteArray many;
    for (int i = 0; i < 10000; ++i)
        many += (i % 2 ? "../n" : "n/") + QByteArray::number(i) + '|';
    many += "Pagewell";
    QTest::newRow("10,000 names") << listOf(many) << program << program << path << 10000;
    QByteArray manyPlain;
    for (int i = 0; i < 10000; ++i)
        manyPlain += "Pagewell|";
    QTest::newRow("10,000 plain names") << listOf(manyPlain) << program << program << path << 10000;
    // No file system takes a name this long. The transfer starts (the temporary file has no name yet), the final
    // rename fails, and the name after it was passed over while the transfer ran.
    const QString longName(1024 * 1024, u'a');
    QTest::newRow("1 MiB name") << listOf(longName.toLatin1() + "|Pagewell") << QStringList{longName} << program
                                << QString(Failed) << 10000;
}

void TestUpdaterFaults::listFaults()
{
    QFETCH(Reply, list);
    QFETCH(QStringList, requested);
    QFETCH(QStringList, files);
    QFETCH(QString, label);
    QFETCH(int, boundMs);

    const QByteArray newProgram = "#!/bin/sh\n# the new program\n";
    m_server->setReplyForTarget(VersionTarget, Reply::text("v1.7.0.0"));
    m_server->setReply(ListPath, list);
    m_server->setReply(QStringLiteral("/updata/Pagewell"), Reply::text(newProgram));

    QElapsedTimer clock;
    clock.start();
    updata w;
    w.setStartPauseForTesting(false);
    w.Inet1->setIdleTimeoutMs(IdleMs);
    QVERIFY(w.Form_Load());
    w.show();
    QTRY_VERIFY_WITH_TIMEOUT(!w.Inet1->stillExecuting(), boundMs);
    QVERIFY2(clock.elapsed() < boundMs, qPrintable(QString::number(clock.elapsed())));

    QStringList asked;
    for (const QString& target : m_server->requests()) {
        if (!target.startsWith(ListPath))
            asked.append(QUrl::fromPercentEncoding(target.mid(QStringLiteral("/updata/").size()).toUtf8()));
    }
    QCOMPARE(asked, requested);
    QCOMPARE(read(programFile()), requested.contains(QStringLiteral("Pagewell")) ? newProgram : OldProgram);
    QCOMPARE(folderEntries(m_program), files);
    if (label == Failed)
        QVERIFY2(w.Label2->text().startsWith(Failed) && w.Label2->text().size() > Failed.size(),
                 qPrintable(w.Label2->text().left(80)));
    else
        QCOMPARE(w.Label2->text(), QDir::toNativeSeparators(m_program + u'/' + requested.first()));
    // The first listed name is started only when it is a plain name, whether or not it was fetched.
    if (w.Timer1->isActive()) {
        QSignalSpy ended(&w, &updata::programEnded);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
        if (w.firstFileName() == requested.first())
            QCOMPARE(g_recorded.launches, QStringList{m_program + u'/' + requested.first()});
        else
            QVERIFY(g_recorded.launches.isEmpty());
    } else {
        QVERIFY(g_recorded.launches.isEmpty());
        QVERIFY(!w.hasEnded());
    }
    QVERIFY(g_recorded.messages.isEmpty());
}

void TestUpdaterFaults::startupCheckFaults_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("offersUpdate");

    QTest::newRow("refused") << Reply::misbehaving(Misbehaviour::Refuse) << false;
    QTest::newRow("never answers") << Reply::misbehaving(Misbehaviour::NeverAnswer) << false;
    QTest::newRow("drop after headers") << misbehaving(Misbehaviour::DropAfterHeaders, "v1.7") << false;
    QTest::newRow("drop mid-body") << misbehaving(Misbehaviour::DropMidBody, "v1.7.0.0", [](Reply& r) {
        r.dropAfterBytes = 2;
    }) << false;
    QTest::newRow("Content-Length larger") << misbehaving(Misbehaviour::OverstateContentLength, "v1.7") << false;
    QTest::newRow("Content-Length smaller") << misbehaving(Misbehaviour::UnderstateContentLength, "v1.7.0.0",
                                                           [](Reply& r) { r.lengthError = 4; })
                                            << true;
    QTest::newRow("no Content-Length") << misbehaving(Misbehaviour::OmitContentLength, "v1.7") << true;
    QTest::newRow("endless body") << Reply::misbehaving(Misbehaviour::EndlessBody) << false;
    QTest::newRow("endless body with a length") << misbehaving(Misbehaviour::EndlessBody, {}, [](Reply& r) {
        r.announceLength = true;
    }) << false;
    QTest::newRow("trickle") << misbehaving(Misbehaviour::Trickle, "v1.7", [](Reply& r) {
        r.trickleIntervalMs = 1000;
    }) << false;
    QTest::newRow("404") << Reply::text("<html>404</html>", 404) << false;
    QTest::newRow("500") << Reply::text("", 500) << false;
    QTest::newRow("CRLF") << Reply::text("v1.6\r\n") << true;
    QTest::newRow("NUL") << Reply::text(QByteArray("v1.6\0", 5)) << true;
    QTest::newRow("own tag") << Reply::text("v1.6") << false;
}

void TestUpdaterFaults::startupCheckFaults()
{
    QFETCH(Reply, reply);
    QFETCH(bool, offersUpdate);

    const int timeoutMs = 1500;
    m_server->setDefaultReply(reply);
    QElapsedTimer clock;
    clock.start();
    const bool offered = UpdateCheck::run(m_server->baseUrl() + QStringLiteral("/updata/pagewell/auto.asp?u=up&x=1"),
                                          QStringLiteral("v1.6"), timeoutMs);
    QCOMPARE(offered, offersUpdate);
    // The window opens at the latest once the check's own bound has passed.
    QVERIFY2(clock.elapsed() < timeoutMs + 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(folderEntries(m_program), QStringList{QStringLiteral("Pagewell")});
}

QTEST_MAIN(TestUpdaterFaults)
#include "tst_updaterfaults.moc"
