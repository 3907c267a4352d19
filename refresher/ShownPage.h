#pragma once

#include "ReloadBackoff.h"

#include <QDateTime>
#include <QPointF>
#include <QString>
#include <QUrl>

#include <optional>

// What a person sees of the page the window refreshes. People leave the window on screens they glance at, so a
// refresh that fails must not replace a good page with an error screen, and a refresh must not throw away where
// they had scrolled to.
//
// So before each refresh of the page on screen a picture of it is taken; when the refresh fails in a way that is
// tried again (ReloadBackoff::isFailure), the picture stays in the view's place under a strip that says so, until a
// load succeeds. Until a page of that address has loaded (at start, or after another address was asked for), and
// when the server has given its word (another 4xx, a refused certificate), the view shows what the engine shows.
// Each load of the same page (the refresh token aside) is brought to where the person had scrolled the last good one.
class ShownPage
{
public:
    enum class Show
    {
        Live,   // the page itself
        Kept,   // the picture of the last good page, under the strip
        Engine, // whatever the engine shows: the server's answer or its error page
    };
    struct Ask
    {
        // Take a picture of the view now, before the load begins.
        bool takePicture = false;
        // Where to bring the new document as it loads; none: where it starts, at the top.
        std::optional<QPointF> scrollTo;
    };

    // A load of url is about to be asked for (a timed refresh, a retry, 打开, a reload after a crash) while the view
    // is scrolled to `scroll`. A view nobody can see (its window minimised or hidden) has no picture taken: what a
    // picture of it holds is not the page.
    Ask asking(const QUrl& url, QPointF scroll, bool seen = true);
    // The person asked for this address without loading it yet (the banner's prompt): a picture of another page no
    // longer stands for what the window is about.
    void wanted(const QUrl& url);
    // The load asked for last ended like this at `now`.
    Show loadEnded(const ReloadBackoff::LoadEnd& end, const QDateTime& now);
    // The view went to this address by itself: a link the person followed, a page's script.
    void urlShown(const QUrl& url);
    // The renderer ended: the page is gone from the view.
    void rendererEnded();

    // Whether the load under way would keep the last good page should it fail, so the picture may go up early.
    bool mayKeep() const { return m_loading && pictureIsOfPage(); }
    // Whether the picture taken is of the page asked for last; once another address is asked for, it is not.
    bool pictureIsOfPage() const { return m_pictured && m_good && m_good->key == m_askedKey; }
    // What the strip says while the picture is shown after a failure; empty before the first.
    const QString& strip() const { return m_strip; }

    // The script, run as each new document is created, that brings it to this scroll position as soon as it is long
    // enough, unless the person scrolls, clicks or types first.
    static QString scrollScript(QPointF target);

private:
    struct GoodPage
    {
        QString key;
        QDateTime loadedAt;
        QPointF scroll;
    };
    enum class Showing
    {
        Good,  // the last good page, live
        Kept,  // its picture
        Other, // anything else: the engine's page, another page, nothing
    };

    std::optional<GoodPage> m_good;
    Showing m_showing = Showing::Other;
    QString m_askedKey;
    bool m_loading = false;
    bool m_pictured = false;
    QString m_strip;
};
