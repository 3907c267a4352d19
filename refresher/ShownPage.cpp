#include "ShownPage.h"

#include "DateTimeText.h"
#include "RefreshUrl.h"

namespace {
// Why a load failed, in the person's words. The codes are the engine's network errors.
QString reason(const ReloadBackoff::LoadEnd& end)
{
    using Kind = ReloadBackoff::ErrorKind;
    if (end.kind == Kind::NeverBegan)
        return QStringLiteral("等待页面超时");
    if (end.kind == Kind::HttpStatus)
        return QStringLiteral("服务器返回 %1").arg(end.code);
    switch (end.code) {
    case -102:
        return QStringLiteral("连接被拒绝");
    case -101:
        return QStringLiteral("连接被重置");
    case -100:
    case -324:
        return QStringLiteral("服务器没有应答");
    case -7:
    case -118:
        return QStringLiteral("连接超时");
    case -105:
    case -137:
        return QStringLiteral("找不到服务器");
    case -106:
        return QStringLiteral("网络已断开");
    case -104:
    case -109:
        return QStringLiteral("无法连接服务器");
    default:
        return QStringLiteral("网络错误 %1").arg(end.code);
    }
}
} // namespace

ShownPage::Ask ShownPage::asking(const QUrl& url, QPointF scroll, bool seen)
{
    const QString key = RefreshUrl::pageKey(url);
    Ask ask;
    if (m_good && m_good->key == key) {
        // A load that replaces one still under way finds the view showing that one, not the page the person left.
        if (m_showing == Showing::Good && !m_loading) {
            m_good->scroll = scroll;
            ask.takePicture = m_pictured = seen;
        }
        if (!m_good->scroll.isNull())
            ask.scrollTo = m_good->scroll;
    } else {
        m_good.reset();
        m_pictured = false;
    }
    m_askedKey = key;
    m_loading = true;
    return ask;
}

ShownPage::Show ShownPage::loadEnded(const ReloadBackoff::LoadEnd& end, const QDateTime& now)
{
    m_loading = false;
    if (end.succeeded) {
        const QPointF scroll = m_good && m_good->key == m_askedKey ? m_good->scroll : QPointF();
        m_good = GoodPage{m_askedKey, now, scroll};
        m_showing = Showing::Good;
        m_pictured = false;
        m_strip.clear();
        return Show::Live;
    }
    if (ReloadBackoff::isFailure(end) && m_pictured && m_good && m_good->key == m_askedKey) {
        const QString loadedAt = m_good->loadedAt.date() == now.date() ? DateTimeText::timeOfDay(m_good->loadedAt)
                                                                       : DateTimeText::general(m_good->loadedAt);
        m_strip = QStringLiteral("刷新失败（%1），显示的是 %2 的页面，正在重试").arg(reason(end), loadedAt);
        m_showing = Showing::Kept;
        return Show::Kept;
    }
    m_showing = Showing::Other;
    m_pictured = false;
    m_strip.clear();
    return Show::Engine;
}

void ShownPage::wanted(const QUrl& url)
{
    if (!m_good || RefreshUrl::pageKey(url) == m_good->key)
        return;
    m_good.reset();
    m_pictured = false;
    m_strip.clear();
    if (m_showing == Showing::Kept)
        m_showing = Showing::Other;
}

void ShownPage::urlShown(const QUrl& url)
{
    if (m_showing == Showing::Good && m_good && RefreshUrl::pageKey(url) != m_good->key)
        m_showing = Showing::Other;
}

void ShownPage::rendererEnded()
{
    if (m_showing == Showing::Good)
        m_showing = Showing::Other;
}

QString ShownPage::scrollScript(QPointF target)
{
    // Tried before every frame until reached or the page has loaded, then once more on load: the first frame that
    // shows the new document is already in place, and a page that has grown since gets there as it grows.
    return QStringLiteral(R"((function () {
    var x = %1, y = %2, left = false;
    ['wheel', 'keydown', 'mousedown', 'touchstart'].forEach(function (type) {
        addEventListener(type, function () { left = true; }, {capture: true, passive: true});
    });
    function go() {
        if (left)
            return;
        scrollTo({left: x, top: y, behavior: 'instant'});
        if ((Math.abs(scrollX - x) >= 1 || Math.abs(scrollY - y) >= 1) && document.readyState !== 'complete')
            requestAnimationFrame(go);
    }
    requestAnimationFrame(go);
    addEventListener('load', go);
})();)")
        .arg(target.x())
        .arg(target.y());
}
