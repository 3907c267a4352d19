#include "PageKeeper.h"

#include <QLabel>
#include <QPainter>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include <utility>

namespace {
const QString ScrollScriptName = QStringLiteral("pagewell-scroll");
constexpr int StripHeight = 24;
// How long the picture waits at most for the page that replaces it to show itself.
constexpr qint64 PaintWaitMs = 2000;
// How long the picture stays over a refreshed document that has begun to arrive but not finished loading.
constexpr int CommitHoldMs = 3000;
} // namespace

PageKeeper::PageKeeper(QWebEngineView* view, QWidget* parent) : QWidget(parent), m_view(view)
{
    setObjectName(QStringLiteral("keptPage"));
    setGeometry(view->geometry());
    setAttribute(Qt::WA_OpaquePaintEvent);
    hide();
    m_strip = new QLabel(this);
    m_strip->setGeometry(0, 0, width(), StripHeight);
    m_strip->setStyleSheet(
        QStringLiteral("background: #fff3c4; color: #4d3b00; border-bottom: 1px solid #d9c27a; padding-left: 8px;"));
    m_paintWatch.setInterval(16);
    connect(&m_paintWatch, &QTimer::timeout, this, &PageKeeper::uncoverOncePainted);
    connect(view->page(), &QWebEnginePage::urlChanged, this, [this](const QUrl& url) {
        m_shown.urlShown(url);
        // A load that fails first goes back to the address shown before it, then puts the engine's error page in its
        // place, which may be painted before the load's end is told: the picture goes up at the first sign.
        if (url == m_shownBefore && isHidden() && m_shown.mayKeep())
            cover();
    });
    // The new document has been committed. Should it be the server's error answer (a 503 with a body), its body may
    // paint before the load's end is told, so the picture is up by now. A page whose load never ends (a resource that
    // hangs) is shown as it loads once the hold has passed.
    m_commitHold.setSingleShot(true);
    m_commitHold.setInterval(CommitHoldMs);
    connect(&m_commitHold, &QTimer::timeout, this, [this] {
        if (std::exchange(m_coveredEarly, false)) {
            setAttribute(Qt::WA_TransparentForMouseEvents, false);
            hide();
        }
    });
    connect(view->page(), &QWebEnginePage::titleChanged, this, [this] {
        if (!m_shown.mayKeep())
            return;
        if (isHidden())
            coverEarly();
        if (m_coveredEarly && !m_commitHold.isActive())
            m_commitHold.start();
    });
}

void PageKeeper::coverEarly()
{
    // Clicks pass through to the live view beneath.
    m_coveredEarly = true;
    setAttribute(Qt::WA_TransparentForMouseEvents, true);
    cover();
}

void PageKeeper::cover()
{
    // What lies beneath matters once the load has ended, and asking() takes it again for the next load.
    if (!m_coveredEarly)
        m_beneath = m_view->grab().toImage();
    m_strip->setVisible(!m_shown.strip().isEmpty());
    raise();
    show();
    update();
}

void PageKeeper::asking(const QUrl& url)
{
    // Asked for again while the page that came back is awaited under the picture: uncovered if it has painted since.
    if (m_paintWatch.isActive())
        uncoverOncePainted();
    const bool seen = m_view->isVisible() && !m_view->window()->isMinimized();
    const ShownPage::Ask ask = m_shown.asking(url, m_view->page()->scrollPosition(), seen);
    // Another address: a picture of the page before it must not stand in for it, not even while it loads.
    if (!isHidden() && !m_shown.pictureIsOfPage())
        takeDown();
    if (!isHidden()) {
        // Still covered, the view may show the engine's error page: the picture in place stays the last good page's.
        m_beneath = m_view->grab().toImage();
    } else if (ask.takePicture) {
        // Up from the start: the engine may paint an error answer's body before it tells Pagewell anything.
        m_picture = m_view->grab();
        coverEarly();
    }
    m_shownBefore = m_view->url();
    setScrollTarget(ask.scrollTo);
}

void PageKeeper::loadEnded(const ReloadBackoff::LoadEnd& end, const QDateTime& now)
{
    // The document that loaded has run the script; a page the person goes to from it must not.
    setScrollTarget(std::nullopt);
    m_shownBefore = QUrl();
    m_paintWatch.stop();
    m_commitHold.stop();
    const bool coveredEarly = std::exchange(m_coveredEarly, false);
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    switch (m_shown.loadEnded(end, now)) {
    case ShownPage::Show::Kept:
        m_strip->setText(m_shown.strip());
        m_strip->show();
        if (isHidden())
            cover();
        return;
    case ShownPage::Show::Live:
        // The engine keeps what it showed until the new page paints. Under a picture put up for this load alone that
        // is the last good page; under one kept through failures it is the engine's error page.
        if (!isHidden() && !coveredEarly) {
            m_watching.start();
            m_paintWatch.start();
            return;
        }
        break;
    case ShownPage::Show::Engine:
        break;
    }
    takeDown();
}

void PageKeeper::wanted(const QUrl& url)
{
    m_shown.wanted(url);
    if (!isHidden() && !m_shown.pictureIsOfPage())
        takeDown();
}

void PageKeeper::takeDown()
{
    m_paintWatch.stop();
    m_commitHold.stop();
    m_coveredEarly = false;
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    hide();
    m_picture = QPixmap();
    m_beneath = QImage();
}

void PageKeeper::uncoverOncePainted()
{
    if (m_view->grab().toImage() == m_beneath && m_watching.elapsed() < PaintWaitMs)
        return;
    m_paintWatch.stop();
    hide();
    // A refresh asked for meanwhile keeps the picture, to be shown should it fail.
    if (!m_shown.mayKeep())
        m_picture = QPixmap();
    m_beneath = QImage();
}

void PageKeeper::rendererEnded()
{
    m_shown.rendererEnded();
}

QString PageKeeper::strip() const
{
    return isHidden() ? QString() : m_strip->text();
}

void PageKeeper::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.drawPixmap(0, 0, m_picture);
}

void PageKeeper::resizeEvent(QResizeEvent*)
{
    // Across the view's whole width, in the window and in full screen alike.
    m_strip->resize(width(), StripHeight);
}

void PageKeeper::setScrollTarget(const std::optional<QPointF>& target)
{
    if (target == m_scrollTarget)
        return;
    m_scrollTarget = target;
    QWebEngineScriptCollection& scripts = m_view->page()->scripts();
    for (const QWebEngineScript& script : scripts.find(ScrollScriptName))
        scripts.remove(script);
    if (!target)
        return;
    QWebEngineScript script;
    script.setName(ScrollScriptName);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::ApplicationWorld);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(ShownPage::scrollScript(*target));
    scripts.insert(script);
}
