// The smallest program that shows a page in a QWebEngineView: the yardstick Pagewell's start-up, memory and cost per
// refresh are compared with. It loads the URL given as its first argument into a view of the same size as
// Pagewell's, composed the way Pagewell's window is on the same machine; given a number of milliseconds as well, it
// sends the view to the URL again that often, with a token of its own each time, as Pagewell's timed refresh does.
//
// With "swap" after the milliseconds it refreshes the other way a window could keep a good page through a failed
// load: two views stacked in one window, each refresh loaded into the one beneath, which is raised once it has
// loaded. The benchmarks weigh that against Pagewell's picture of the page.
#include "RenderBackend.h"

#include <QApplication>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>
#include <QWidget>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PagewellBenchBaseline"));
    const QStringList arguments = QApplication::arguments();
    bool everyOk = arguments.size() == 2;
    const int everyMs = arguments.size() >= 3 ? arguments.at(2).toInt(&everyOk) : 0;
    const bool swap = arguments.size() == 4 && arguments.at(3) == QLatin1String("swap");
    if (!everyOk || everyMs < 0 || (arguments.size() == 4 && !swap) || arguments.size() > 4) {
        std::fputs("usage: BaselineView <url> [reload-every-ms [swap]]\n", stderr);
        return 2;
    }
    RenderBackend::chooseForThisMachine();

    const QString url = arguments.at(1);
    auto refreshed = [&url, count = 0]() mutable {
        const QChar separator = url.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?');
        return QUrl(url + separator + QStringLiteral("rn=") + QString::number(++count));
    };
    QTimer reload;
    reload.setTimerType(Qt::PreciseTimer);
    if (everyMs > 0)
        reload.start(everyMs);
    if (!swap) {
        QWebEngineView view;
        view.resize(953, 449);
        view.load(QUrl(url));
        view.show();
        QObject::connect(&reload, &QTimer::timeout, &view, [&] { view.load(refreshed()); });
        return QApplication::exec();
    }
    QWidget window;
    window.resize(953, 449);
    QWebEngineView first(&window);
    QWebEngineView second(&window);
    QWebEngineView* shown = &first;
    for (QWebEngineView* view : {&first, &second}) {
        view->resize(window.size());
        QObject::connect(view, &QWebEngineView::loadFinished, &window, [&shown, view](bool ok) {
            if (ok)
                (shown = view)->raise();
        });
    }
    first.load(QUrl(url));
    first.raise();
    window.show();
    QObject::connect(&reload, &QTimer::timeout, &window,
                     [&] { (shown == &first ? &second : &first)->load(refreshed()); });
    return QApplication::exec();
}
