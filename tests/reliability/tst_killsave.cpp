#include "SaveStates.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

// Kills a program that is saving the settings file, at random moments, again and again: user.ini must always be
// one whole state, old or new, never cut or mixed. PAGEWELL_KILL_RUNS sets the number of kills (200 by default).
class TestKillSave : public QObject
{
    Q_OBJECT

private slots:
    void killDuringSave();
};

void TestKillSave::killDuringSave()
{
    const int runs =
        qEnvironmentVariableIsSet("PAGEWELL_KILL_RUNS") ? qEnvironmentVariableIntValue("PAGEWELL_KILL_RUNS") : 200;
    const quint32 seed = qEnvironmentVariableIsSet("PAGEWELL_KILL_SEED")
                             ? quint32(qEnvironmentVariableIntValue("PAGEWELL_KILL_SEED"))
                             : QRandomGenerator::global()->generate();
    qInfo("seed %u (rerun with PAGEWELL_KILL_SEED=%u)", seed, seed);
    QRandomGenerator random(seed);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("user.ini"));
    {
        QFile preamble(file);
        QVERIFY(preamble.open(QIODevice::WriteOnly));
        preamble.write(SaveStates::Preamble);
    }

    int leftovers = 0;
    qint64 next = 1;
    qint64 interval = -1;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (int run = 0; run < runs; ++run) {
        QProcess saver;
        saver.setProcessEnvironment(environment);
        saver.start(QStringLiteral(PAGEWELL_SAVELOOP), {file, QString::number(next)});
        QVERIFY2(saver.waitForStarted(), qPrintable(saver.errorString()));
        QVERIFY(saver.waitForReadyRead(20000));
        // A save of the longest state takes a few milliseconds; the kill lands anywhere among many of them.
        QThread::usleep(random.bounded(1, 60000));
        saver.kill();
        QVERIFY(saver.waitForFinished(10000));
        QCOMPARE(saver.exitStatus(), QProcess::CrashExit);

        QFile ini(file);
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray contents = ini.readAll();
        const SaveStates::Checked checked = SaveStates::check(contents, interval);
        if (!checked.wrong.isEmpty()) {
            QFile kept(QDir::temp().filePath(QStringLiteral("pagewell-killsave-broken.ini")));
            if (kept.open(QIODevice::WriteOnly))
                kept.write(contents);
            QFAIL(qPrintable(QStringLiteral("run %1: %2 (kept in %3)").arg(run).arg(checked.wrong, kept.fileName())));
        }
        interval = checked.interval;
        // Both fields are saved in one replacement of the file: never the URL of one save beside another's interval.
        if (checked.interval != checked.number)
            QFAIL(qPrintable(
                QStringLiteral("run %1: TEXT1 %2 beside TEXT2 %3").arg(run).arg(checked.interval).arg(checked.number)));
        // A killed save may leave its temporary file (Qt uses an unnamed one where the system has them); it never
        // stands in for user.ini. Cleared so each run starts alike.
        const QStringList others = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QString& name : others) {
            if (name != QLatin1String("user.ini")) {
                ++leftovers;
                QVERIFY(QFile::remove(dir.filePath(name)));
            }
        }
        next = checked.number + 1;
    }
    qInfo("%d kills, %d temporary files left behind", runs, leftovers);
}

QTEST_GUILESS_MAIN(TestKillSave)
#include "tst_killsave.moc"
