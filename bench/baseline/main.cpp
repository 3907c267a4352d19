// The smallest program that shows a page in a QWebEngineView: the yardstick Pagewell's start-up, memory and cost per
// refresh are compared with. It loads the URL given as its first argument into a view of the same size as
// Pagewell's, composed the way Pagewell's window is on the same machine; given a number of milliseconds as well, it
// sends the view to the URL again that often, with a token of its own each time, as Pagewell's timed refresh does.
#include "RenderBackend.h"

#include <QApplication>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PagewellBenchBaseline"));
    const QStringList arguments = QApplication::arguments();
    bool everyOk = arguments.size() == 2;
    const int everyMs = arguments.size() == 3 ? arguments.at(2).toInt(&everyOk) : 0;
    if (!everyOk || everyMs < 0) {
        std::fputs("usage: BaselineView <url> [reload-every-ms]\n", stderr);
        return 2;
    }
    RenderBackend::chooseForThisMachine();

    QWebEngineView view;
    view.resize(953, 449);
    const QString url = arguments.at(1);
    view.load(QUrl(url));
    view.show();
    QTimer reload;
    reload.setTimerType(Qt::PreciseTimer);
    QObject::connect(&reload, &QTimer::timeout, &view, [&view, &url, count = 0]() mutable {
        const QChar separator = url.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?');
        view.load(QUrl(url + separator + QStringLiteral("rn=") + QString::number(++count)));
    });
    if (everyMs > 0)
        reload.start(everyMs);
    return QApplication::exec();
}
