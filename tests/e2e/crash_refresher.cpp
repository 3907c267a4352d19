// The real refresher, started as refresher/main.cpp starts it, that crashes (SIGSEGV) PAGEWELL_CRASH_AFTER_MS
// (10,000 unless given) after its window shows: a release that starts well and fails once its first show is past.
#include "ChineseUi.h"
#include "CommandLine.h"
#include "Form1.h"
#include "RenderBackend.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QTimer>

#include <csignal>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pagewell"));
    const std::optional<CommandLine::Options> options = CommandLine::parse(QCoreApplication::arguments(), nullptr);
    if (!options)
        return 2;
    ChineseUi::installQtTranslations();
    RenderBackend::chooseForThisMachine();

    Form1 window;
    window.startUp(*options);
    Platform::onEndRequest([&window] {
        window.close();
        QCoreApplication::exit(0);
    });
    bool given = false;
    const int crashAfterMs = qEnvironmentVariableIntValue("PAGEWELL_CRASH_AFTER_MS", &given);
    // A start that ends before its window shows (one that puts an earlier release back) has nothing to crash.
    if (window.isVisible())
        QTimer::singleShot(given ? crashAfterMs : 10000, [] { std::raise(SIGSEGV); });
    return app.exec();
}
