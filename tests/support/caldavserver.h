#ifndef RUVELANT_CALDAVSERVER_H
#define RUVELANT_CALDAVSERVER_H

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>

// A real CalDAV server for tests: Radicale on 127.0.0.1 with password authentication, its users
// and calendars below root, optionally behind TLS with a self-signed certificate (one this
// computer does not trust).
class CalDavServer
{
public:
    // users: name -> password. Without users, the server asks for no password and lets anyone read
    // and write every calendar (as a desktop's store may be set up without one).
    CalDavServer(const QString &root, const QHash<QString, QString> &users, bool tls = false);
    ~CalDavServer(); // stops the server
    Q_DISABLE_COPY(CalDavServer)

    // Starts Radicale and waits until it answers; false (with a warning) when it does not.
    bool start();
    QString url() const; // "http://127.0.0.1:<port>/"

    // Changes a user's password on the server.
    void setPassword(const QString &user, const QString &password);
    // One request as the user (none: without a password); returns the HTTP status and puts the
    // answer's body in *body.
    int request(const QByteArray &method, const QString &path, const QString &user, const QByteArray &content = {},
                QByteArray *body = nullptr) const;
    // Makes the calendar <user>/<name>/ with a display name; true when the server made it.
    bool makeCalendar(const QString &user, const QString &name, const QString &displayName) const;

private:
    void writeUsers() const;

    QString m_root;
    QHash<QString, QString> m_users;
    bool m_tls;
    quint16 m_port = 0;
    QProcess m_server;
};

// A free TCP port on 127.0.0.1 at the moment of asking.
quint16 freePort();

#endif
