#include "ChineseUi.h"
#include "updata.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("update"));
    ChineseUi::installQtTranslations();

    updata window;
    // Built in, never read from outside: whoever could change the key could sign anything.
    window.setUpdatePublicKey(QStringLiteral(PAGEWELL_UPDATE_PUBLIC_KEY));
    QObject::connect(&window, &updata::programEnded, &app, [] { QCoreApplication::exit(0); });
    // The sequence runs before the window ever appears, and may end the program without showing it.
    if (!window.Form_Load())
        return 0;
    window.show();
    return QApplication::exec();
}
