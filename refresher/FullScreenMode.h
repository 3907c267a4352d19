#pragma once

#include "ScreenSaverInhibit.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTimer>

class QShortcut;
class QWidget;

// Shows a window's page alone across the whole screen, and the window again: F11 switches between the two, Esc
// leaves the full screen. Meanwhile the window's other controls are hidden (they go on working, unseen), the cursor
// hides once the mouse has rested a while and shows again when it moves, and while the window refreshes the screen
// is kept from blanking. Nothing of it costs anything in the window.
class FullScreenMode : public QObject
{
    Q_OBJECT

public:
    static constexpr int CursorIdleMs = 3000;

    // window: a top-level window of a fixed size. page: its children that show the page, stretched over the screen.
    FullScreenMode(QWidget* window, const QList<QWidget*>& page);
    ~FullScreenMode() override;

    void setOn(bool on);
    bool isOn() const { return m_on; }
    // Whether timed refreshing is on: the screen is kept awake only while it is, and only in full screen.
    void setRefreshing(bool refreshing);

    void setCursorIdleForTesting(int ms) { m_cursorIdle.setInterval(ms); }

signals:
    // Each switch, by a key or by setOn().
    void switched(bool on);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void stretchPage();
    void showCursor();
    void hideCursor();

    QWidget* m_window;
    QList<QWidget*> m_page;
    QList<QRect> m_pageGeometry;
    // The controls hidden for the full screen, shown again after.
    QList<QPointer<QWidget>> m_hidden;
    // The window's place and size before the full screen.
    QRect m_normal;
    QShortcut* m_leaveKey;
    QTimer m_cursorIdle;
    ScreenSaverInhibit m_inhibit;
    bool m_on = false;
    bool m_refreshing = false;
    bool m_cursorHidden = false;
    // Shown full screen before it was ever a window: placed as a new window is once it becomes one.
    bool m_placeOnLeaving = false;
};
