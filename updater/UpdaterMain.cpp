#include "UpdaterMain.h"

#include "BuildConfig.h"
#include "ChineseUi.h"
#include "HandedState.h"
#include "MinisignFormat.h"
#include "updata.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int UpdaterMain::run(int argc, char* argv[], const QString& publicKeys, const std::function<void(updata&)>& configure)
{
    if (argc == 2 && QByteArray(argv[1]) == SelfTestOption) {
        QCoreApplication app(argc, argv);
        // A key that does not parse would refuse every signed release for good.
        for (const QString& line : publicKeys.isEmpty() ? QStringList() : publicKeys.split(u','))
            if (!MinisignFormat::parsePublicKey(line.toLatin1()))
                return 1;
        std::printf("%s %s\n", SelfTestAnswer, BuildConfig::UpdaterFileVersion);
        std::fflush(stdout);
        // Nothing was opened that needs closing: the answer is the status alone, whatever a run-time library would
        // still do (or report) on its way out.
        std::_Exit(0);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("update"));
    ChineseUi::installQtTranslations();

    // Started by hand there are no arguments; a refresher hands over what it was doing. Anything else is no
    // updater's business, and is refused before anything is asked or stopped.
    const auto handed = HandedState::fromUpdaterArguments(QCoreApplication::arguments());
    if (!handed) {
        std::fprintf(stderr, "update: unexpected arguments\n");
        return 2;
    }

    updata window;
    window.setHandedState(*handed);
    window.setUpdatePublicKeys(publicKeys);
    if (configure)
        configure(window);
    QObject::connect(&window, &updata::programEnded, &app, [] { QCoreApplication::exit(0); });
    // The sequence runs before the window ever appears, and may end the program without showing it.
    if (!window.Form_Load())
        return 0;
    window.show();
    return QApplication::exec();
}
