#pragma once

#include "ReloadBackoff.h"
#include "ShownPage.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <optional>

class QLabel;
class QWebEngineView;

// Carries out ShownPage's decisions over the browser view: it takes the picture of the page before each refresh of
// it, lies in the view's place with that picture and the strip while refreshes of it fail, and has each load of the
// page brought to where the person had scrolled it.
class PageKeeper : public QWidget
{
public:
    // A sibling of the view in the window, over it and of its size, hidden until a refresh fails.
    PageKeeper(QWebEngineView* view, QWidget* parent);

    // The view is about to be sent to url.
    void asking(const QUrl& url);
    // The person asked for url without loading it yet: a picture of another page comes down.
    void wanted(const QUrl& url);
    void loadEnded(const ReloadBackoff::LoadEnd& end, const QDateTime& now);
    void rendererEnded();

    // What the strip says while the last good page is kept in the view's place; empty while the view shows.
    QString strip() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Puts the picture in the view's place, under the strip once there is one to show.
    void cover();
    // Puts the picture up for the load under way alone, before anything of it is known.
    void coverEarly();
    // The view shows again, with nothing kept of the picture.
    void takeDown();
    void setScrollTarget(const std::optional<QPointF>& target);
    void uncoverOncePainted();

    ShownPage m_shown;
    QWebEngineView* m_view;
    QLabel* m_strip;
    QPixmap m_picture;
    // What the view itself showed under the picture when the load now ending was asked for: the engine's error page.
    QImage m_beneath;
    // The address the view showed when the load under way was asked for.
    QUrl m_shownBefore;
    QTimer m_paintWatch;
    QTimer m_commitHold;
    QElapsedTimer m_watching;
    std::optional<QPointF> m_scrollTarget;
    // The picture went up at the commit of the load under way, not because a refresh had failed.
    bool m_coveredEarly = false;
};
