// The smallest program that shows a page in a QWebEngineView: the yardstick Pagewell's start-up and memory are
// compared with. It loads the URL given as its only argument into a view of the same size as Pagewell's, composed
// the way Pagewell's window is on the same machine.
#include "RenderBackend.h"

#include <QApplication>
#include <QUrl>
#include <QWebEngineView>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PagewellBenchBaseline"));
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2) {
        std::fputs("usage: BaselineView <url>\n", stderr);
        return 2;
    }
    RenderBackend::chooseForThisMachine();

    QWebEngineView view;
    view.resize(953, 449);
    view.load(QUrl(arguments.at(1)));
    view.show();
    return QApplication::exec();
}
