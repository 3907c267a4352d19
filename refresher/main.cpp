#include "Artwork.h"
#include "ChineseUi.h"
#include "CommandLine.h"
#include "Form1.h"
#include "RenderBackend.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pagewell"));

    // Asked to end by the system (the session ending, the updater making room for a new release), Pagewell ends as
    // when its window is closed: what was typed is saved, and the status says all went well. Heard from the first
    // moment, since the start-up check may hold the start for seconds.
    Form1* shown = nullptr;
    Platform::onEndRequest([&shown] {
        if (shown)
            shown->close();
        QCoreApplication::exit(0);
    });

    // Qt has taken its own options out of the arguments by now; whatever is left must be ours.
    QString error;
    const std::optional<CommandLine::Options> options = CommandLine::parse(QCoreApplication::arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "Pagewell: %s %s\n", qPrintable(error), qPrintable(CommandLine::usage()));
        return 2;
    }

    QApplication::setWindowIcon(QIcon(Artwork::windowIcon()));
    ChineseUi::installQtTranslations();
    RenderBackend::chooseForThisMachine();

    Form1 window;
    shown = &window;
    window.startUp(*options);
    // Ended during the start-up check: the window has closed and saved, and no event loop is left to end.
    if (!window.isVisible())
        return 0;
    return app.exec();
}
