#include "secretservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QStringList>

bool SecretService::isAvailable(QString *why)
{
    const auto fail = [why](const QString &reason) {
        if (why) {
            *why = reason;
        }
        return false;
    };
    const QString service = QStringLiteral("org.freedesktop.secrets");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return fail(QStringLiteral("there is no session bus: %1").arg(bus.lastError().message()));
    }
    QDBusConnectionInterface *daemon = bus.interface();
    if (daemon->isServiceRegistered(service)) {
        return true;
    }
    const QDBusReply<QStringList> activatable = daemon->call(QStringLiteral("ListActivatableNames"));
    if (activatable.isValid() && activatable.value().contains(service)) {
        return true;
    }
    return fail(QStringLiteral("no program on the session bus keeps secrets (%1)").arg(service));
}
