#include "WatchAlert.h"

#include "BuildConfig.h"

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QWidget>

#ifdef PAGEWELL_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif
#ifdef PAGEWELL_HAVE_CANBERRA
#include <canberra.h>
#endif

namespace {
[[maybe_unused]] const QString Service = QStringLiteral("org.freedesktop.Notifications");
[[maybe_unused]] const QString Path = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

WatchAlert::WatchAlert(QWidget* window) : m_window(window)
{
#ifdef PAGEWELL_HAVE_DBUS
    QDBusConnection::sessionBus().connect(Service, Path, Service, QStringLiteral("ActionInvoked"), this,
                                          SLOT(actionInvoked(uint, QString)));
#endif
#ifdef PAGEWELL_HAVE_CANBERRA
    ca_context* context = nullptr;
    if (ca_context_create(&context) == CA_SUCCESS)
        m_sound = context;
#endif
}

WatchAlert::~WatchAlert()
{
#ifdef PAGEWELL_HAVE_CANBERRA
    if (m_sound)
        ca_context_destroy(static_cast<ca_context*>(m_sound));
#endif
}

void WatchAlert::alert(const QString& title, const QString& body)
{
    if (m_noService || !notifyOverDBus(title, body))
        showInTray(title, body);
    if (m_window)
        QApplication::alert(m_window);
#ifdef PAGEWELL_HAVE_CANBERRA
    // The sound theme's own sound for a message, as the desktop's other programs make; silent where it has none.
    if (m_sound)
        ca_context_play(static_cast<ca_context*>(m_sound), 0, CA_PROP_EVENT_ID, "message-new-instant",
                        CA_PROP_EVENT_DESCRIPTION, title.toUtf8().constData(), nullptr);
#endif
}

bool WatchAlert::notifyOverDBus(const QString& title, const QString& body)
{
#ifdef PAGEWELL_HAVE_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
    call << QString::fromUtf8(BuildConfig::ProductName) << m_lastId << QStringLiteral("pagewell") << title << body
         << QStringList{QStringLiteral("default"), QStringLiteral("打开")} << QVariantMap() << qint32(-1);
    // Asked without waiting: a desktop whose service is slow to start must not hold the window. The newest alert
    // takes the place of the one before, so a person away for a day finds one, not a pile.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, body] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isValid())
            return void(m_lastId = reply.value());
        // No notification service on this desktop: the tray from now on.
        m_noService = true;
        showInTray(title, body);
    });
    return true;
#else
    Q_UNUSED(title)
    Q_UNUSED(body)
    return false;
#endif
}

void WatchAlert::showInTray(const QString& title, const QString& body)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    if (!m_tray) {
        m_tray = new QSystemTrayIcon(QApplication::windowIcon(), this);
        connect(m_tray, &QSystemTrayIcon::messageClicked, this, &WatchAlert::bringUp);
        m_tray->show();
    }
    m_tray->showMessage(title, body);
}

void WatchAlert::actionInvoked(uint id, const QString& action)
{
    if (id == m_lastId && action == QLatin1String("default"))
        bringUp();
}

void WatchAlert::bringUp()
{
    if (!m_window)
        return;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}
