#ifndef RUVELANT_AKONADISERVER_H
#define RUVELANT_AKONADISERVER_H

#include <QDBusConnection>
#include <QHash>
#include <QProcess>
#include <QString>

// A real Akonadi server for tests, of the throw-away home it is made in (its SQLite database and
// settings there), on this process's session bus (a private one: run under dbus-run-session), with
// no agent started of its own. Calendar files become local iCalendar resources, contact files
// local vCard resources. Driven over D-Bus alone, as a user's tools would.
class AkonadiServer
{
public:
    // home: the folder of the throw-away home, whose XDG folders this process has in its environment.
    explicit AkonadiServer(const QString &home);
    ~AkonadiServer(); // stops the server
    Q_DISABLE_COPY(AkonadiServer)

    // Starts the server and waits until it takes agents; false (with a warning) when it does not.
    bool start();
    // Shuts the server down, its agents with it; true when it ended in time.
    bool stop();

    // A local iCalendar resource on the file at path, named displayName; its identifier once it
    // has read the file into the server, empty (with a warning) when that fails.
    QString addCalendarFile(const QString &path, const QString &displayName, bool readOnly = false);
    // A local vCard resource on the file at path; as addCalendarFile.
    QString addContactsFile(const QString &path, const QString &displayName);
    // Removes a resource and what it holds from the server.
    bool removeResource(const QString &identifier);

private:
    QString addResource(const QString &type, const QString &path, const QString &displayName, bool readOnly);
    void writeSettings(const QString &identifier, const QString &path, const QString &displayName, bool readOnly) const;
    bool synchronize(const QString &identifier);

    QString m_home;
    QProcess m_control;
    QDBusConnection m_bus;
    QHash<QString, int> m_instances; // agent type -> instances made
};

#endif
