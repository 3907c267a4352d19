#pragma once

#include <QObject>

#include <optional>

// Keeps the desktop from blanking the screen while held, through the session's org.freedesktop.ScreenSaver service.
// Where the session has none (no session bus, no such service, another system) it holds nothing and says nothing: a
// screen that blanks is no reason to stop refreshing. The desktop is asked in the background; the window never waits.
class ScreenSaverInhibit : public QObject
{
public:
    explicit ScreenSaverInhibit(QObject* parent = nullptr);
    ~ScreenSaverInhibit() override;

    void setHeld(bool held);

private:
    void ask();
    void release();

    bool m_wanted = false;
    bool m_asking = false;
    // The desktop's token for the inhibition asked for, while it lasts.
    std::optional<uint> m_cookie;
};
