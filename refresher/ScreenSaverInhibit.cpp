#include "ScreenSaverInhibit.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {
QDBusMessage screenSaverCall(const QString& method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                          QStringLiteral("/org/freedesktop/ScreenSaver"),
                                          QStringLiteral("org.freedesktop.ScreenSaver"), method);
}
} // namespace

ScreenSaverInhibit::ScreenSaverInhibit(QObject* parent) : QObject(parent) {}

ScreenSaverInhibit::~ScreenSaverInhibit()
{
    // The desktop forgets an inhibition when its owner leaves the bus too; this says so at once.
    if (m_cookie)
        release();
}

void ScreenSaverInhibit::setHeld(bool held)
{
    m_wanted = held;
    if (held && !m_cookie && !m_asking)
        ask();
    else if (!held && m_cookie)
        release();
}

void ScreenSaverInhibit::ask()
{
    // The bus is reached only once something is to be held: a window that never holds never connects.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage message = screenSaverCall(QStringLiteral("Inhibit"));
    message << QCoreApplication::applicationName() << QStringLiteral("Refreshing a page on a full-screen display");
    m_asking = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        m_asking = false;
        const QDBusPendingReply<uint> reply = *call;
        // No screen saver on this bus: nothing is held, and the next hold asks again.
        if (reply.isError())
            return;
        m_cookie = reply.value();
        // Let go of meanwhile, or asked for again while the answer was on its way.
        setHeld(m_wanted);
    });
}

void ScreenSaverInhibit::release()
{
    QDBusMessage message = screenSaverCall(QStringLiteral("UnInhibit"));
    message << *m_cookie;
    m_cookie.reset();
    QDBusConnection::sessionBus().send(message);
}
