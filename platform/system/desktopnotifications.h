#ifndef RUVELANT_DESKTOPNOTIFICATIONS_H
#define RUVELANT_DESKTOPNOTIFICATIONS_H

#include <QObject>
#include <QStringList>
#include <QVariantMap>

// The desktop's notifications: the freedesktop Notifications service
// (org.freedesktop.Notifications) on the session bus, which shows them and tells back which
// action the user chose.
class DesktopNotifications : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotifications(QObject *parent = nullptr);

    // Whether this process has a session bus (DBUS_SESSION_BUS_ADDRESS, or $XDG_RUNTIME_DIR/bus):
    // without one, as on a server or in cron's plain environment, there is nobody to tell.
    static bool sessionBusExists();
    // Whether the session bus answers and a notification service runs on it, or can be started.
    bool isAvailable() const;

    // Shows a notification: the application's name and icon (a file path or an icon name), its
    // title and text, and actions as pairs of key and label ("default": a click on it). Returns
    // its id; 0 with *error when the service did not take it.
    uint notify(const QString &appName, const QString &icon, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &hints, QString *error = nullptr);

Q_SIGNALS:
    // The user chose the action key of notification id.
    void actionInvoked(uint id, const QString &key);
    // Notification id went away (expired, dismissed, or closed by a program).
    void notificationClosed(uint id, uint reason);
    // The session bus went away.
    void disconnected();

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &key);
    void onNotificationClosed(uint id, uint reason);
};

#endif
