#include "ProcessLauncher.h"

#include "platform/Platform.h"

#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace {
ProcessLauncher::Hook g_hook = nullptr;
}

bool ProcessLauncher::launch(const QString& program, const QStringList& arguments, qint64* pid)
{
    if (g_hook)
        return g_hook(program, arguments, pid);
    const QFileInfo info(program);
    const QString workingDirectory = info.isAbsolute() ? info.absolutePath() : QString();
    return Platform::startDetached(program, arguments, workingDirectory, pid);
}

void ProcessLauncher::run(const QString& program, const QStringList& arguments, int timeoutMs, QObject* context,
                          std::function<void(bool succeeded)> finished)
{
    if (g_hook) {
        const bool succeeded = g_hook(program, arguments, nullptr);
        QTimer::singleShot(0, context, [finished, succeeded] { finished(succeeded); });
        return;
    }
    auto* process = new QProcess(context);
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);
    // Called once: whichever of the end, a failure to start or the time limit comes first.
    const auto end = [process, limit, finished](bool succeeded) {
        limit->stop();
        process->disconnect();
        process->deleteLater();
        finished(succeeded);
    };
    QObject::connect(process, &QProcess::finished, process, [end](int code, QProcess::ExitStatus status) {
        end(status == QProcess::NormalExit && code == 0);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [end](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false);
    });
    QObject::connect(limit, &QTimer::timeout, process, [process, end] {
        process->kill();
        process->waitForFinished(1000);
        end(false);
    });
    const QFileInfo info(program);
    if (info.isAbsolute())
        process->setWorkingDirectory(info.absolutePath());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    limit->start(timeoutMs);
    process->start(program, arguments);
}

void ProcessLauncher::setHookForTesting(Hook hook)
{
    g_hook = hook;
}
