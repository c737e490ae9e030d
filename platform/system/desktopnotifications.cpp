#include "desktopnotifications.h"

#include "sessionbus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
constexpr int callTimeoutMs = 10000;
} // namespace

DesktopNotifications::DesktopNotifications(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this, SLOT(onActionInvoked(uint, QString)));
    bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint)));
    bus.connect(QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("/org/freedesktop/DBus/Local"),
                QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                SIGNAL(disconnected()));
}

bool DesktopNotifications::sessionBusExists()
{
    return !sessionBusAddress().isEmpty();
}

bool DesktopNotifications::isAvailable() const
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    if (bus.interface()->isServiceRegistered(service)) {
        return true;
    }
    const QDBusReply<QStringList> activatable = bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(service);
}

uint DesktopNotifications::notify(const QString &appName, const QString &icon, const QString &summary,
                                  const QString &body, const QStringList &actions, const QVariantMap &hints,
                                  QString *error)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // service's own choice).
    call << appName << uint(0) << icon << summary << body << actions << hints << int(-1);
    const QDBusReply<uint> reply = QDBusConnection::sessionBus().call(call, QDBus::Block, callTimeoutMs);
    if (!reply.isValid()) {
        if (error) {
            *error = reply.error().message();
        }
        return 0;
    }
    return reply.value();
}

void DesktopNotifications::onActionInvoked(uint id, const QString &key)
{
    Q_EMIT actionInvoked(id, key);
}

void DesktopNotifications::onNotificationClosed(uint id, uint reason)
{
    Q_EMIT notificationClosed(id, reason);
}
