#pragma once

#include "Alerter.h"

#include <QObject>
#include <QPointer>

class QSystemTrayIcon;
class QWidget;

// Tells a person at the desktop: a notification (the freedesktop service over D-Bus, else the system tray's balloon),
// the window's attention mark in the task bar, and the desktop sound theme's event sound. What a desktop lacks is left
// out without a word. Clicking the notification brings the window up.
class WatchAlert : public QObject, public Alerter
{
    Q_OBJECT
public:
    // The window is the one brought up and marked in the task bar; it does not own this.
    explicit WatchAlert(QWidget* window);
    ~WatchAlert() override;
    void alert(const QString& title, const QString& body) override;

private slots:
    // The notification service's signal, which QtDBus delivers only to a slot named by its signature.
    void actionInvoked(uint id, const QString& action);

private:
    bool notifyOverDBus(const QString& title, const QString& body);
    void showInTray(const QString& title, const QString& body);
    void bringUp();

    QPointer<QWidget> m_window;
    QSystemTrayIcon* m_tray = nullptr;
    uint m_lastId = 0;
    bool m_noService = false;
    void* m_sound = nullptr;
};
