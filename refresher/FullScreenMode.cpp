#include "FullScreenMode.h"

#include "WindowPlacement.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QShortcut>
#include <QWidget>

FullScreenMode::FullScreenMode(QWidget* window, const QList<QWidget*>& page)
    : QObject(window), m_window(window), m_page(page)
{
    // Shortcuts of the window: they come before the page, which would otherwise take every key while it has the focus.
    auto* toggleKey = new QShortcut(QKeySequence(Qt::Key_F11), window);
    connect(toggleKey, &QShortcut::activated, this, [this] { setOn(!m_on); });
    // Esc belongs to the page and the fields in the window; only the full screen takes it.
    m_leaveKey = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    m_leaveKey->setEnabled(false);
    connect(m_leaveKey, &QShortcut::activated, this, [this] { setOn(false); });
    m_cursorIdle.setSingleShot(true);
    m_cursorIdle.setTimerType(Qt::PreciseTimer);
    m_cursorIdle.setInterval(CursorIdleMs);
    connect(&m_cursorIdle, &QTimer::timeout, this, &FullScreenMode::hideCursor);
}

FullScreenMode::~FullScreenMode()
{
    showCursor();
}

void FullScreenMode::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    m_leaveKey->setEnabled(on);
    if (on) {
        m_placeOnLeaving = !m_window->isVisible();
        m_normal = m_window->geometry();
        m_pageGeometry.clear();
        for (QWidget* widget : std::as_const(m_page))
            m_pageGeometry.append(widget->geometry());
        m_hidden.clear();
        for (QWidget* child : m_window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!child->isWindow() && !child->isHidden() && !m_page.contains(child)) {
                m_hidden.append(child);
                child->hide();
            }
        }
        // The page takes the keys: a display may be scrolled from a keyboard.
        m_page.first()->setFocus();
        m_window->setMinimumSize(0, 0);
        m_window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        // Window resizes and states, and the mouse anywhere in the program, count only while in full screen.
        m_window->installEventFilter(this);
        qApp->installEventFilter(this);
        m_window->showFullScreen();
        // A window manager puts the window over the screen; with none (a bare X session on a kiosk), this does.
        if (const QScreen* screen = m_window->screen())
            m_window->setGeometry(screen->geometry());
        stretchPage();
        m_cursorIdle.start();
    } else {
        qApp->removeEventFilter(this);
        m_window->removeEventFilter(this);
        m_cursorIdle.stop();
        showCursor();
        if (m_window->isFullScreen())
            m_window->showNormal();
        m_window->setFixedSize(m_normal.size());
        m_window->setGeometry(m_normal);
        for (qsizetype i = 0; i < m_page.size(); ++i)
            m_page[i]->setGeometry(m_pageGeometry[i]);
        for (const QPointer<QWidget>& child : std::as_const(m_hidden)) {
            if (child)
                child->show();
        }
        if (std::exchange(m_placeOnLeaving, false))
            WindowPlacement::centreOnScreen(m_window);
    }
    setRefreshing(m_refreshing);
    emit switched(on);
}

void FullScreenMode::setRefreshing(bool refreshing)
{
    m_refreshing = refreshing;
    m_inhibit.setHeld(m_on && m_refreshing);
}

void FullScreenMode::stretchPage()
{
    for (QWidget* widget : std::as_const(m_page))
        widget->setGeometry(m_window->rect());
}

bool FullScreenMode::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove) {
        showCursor();
        m_cursorIdle.start();
    } else if (watched == m_window && event->type() == QEvent::Resize) {
        // The window system gives the screen's size after the request, and again should the screen change.
        stretchPage();
    } else if (watched == m_window && event->type() == QEvent::WindowStateChange &&
               !(m_window->windowState() & (Qt::WindowFullScreen | Qt::WindowMinimized))) {
        // Taken out of full screen by the window manager: the window comes back whole.
        setOn(false);
    }
    return QObject::eventFilter(watched, event);
}

void FullScreenMode::showCursor()
{
    if (std::exchange(m_cursorHidden, false))
        QGuiApplication::restoreOverrideCursor();
}

void FullScreenMode::hideCursor()
{
    if (!std::exchange(m_cursorHidden, true))
        QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
}
