#include "app/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace kestrap::app {

void DBusNotifier::notify(const QString& summary, const QString& body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // server's default).
    call << QStringLiteral("Kestrap") << uint(0) << QStringLiteral("kestrap") << summary << body << QStringList()
         << QVariantMap() << int(-1);
    // No service, no answer: nothing to do about either, so nobody waits for one.
    call.setAutoStartService(false);
    bus.send(call);
}

}  // namespace kestrap::app
