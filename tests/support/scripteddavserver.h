#ifndef RUVELANT_SCRIPTEDDAVSERVER_H
#define RUVELANT_SCRIPTEDDAVSERVER_H

#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A CalDAV server that misbehaves on purpose, for tests (tests/support/scripteddav.py): the
// account's own server and one on "another origin", both on 127.0.0.1, over http or over https
// with a certificate of its own (which a test may trust, see certificatePath()). The scenario
// says what the account's server does wrong; every request and cut-off answer is recorded.
class ScriptedDavServer
{
public:
    struct Request
    {
        quint16 port = 0;
        QString method;
        QString path;
        bool withCredentials = false;
        QString agent;
    };

    ScriptedDavServer(const QString &scenario, bool tls = false);
    ~ScriptedDavServer(); // stops the server
    Q_DISABLE_COPY(ScriptedDavServer)

    // Starts both servers and waits until they listen; false (with a warning) when they do not.
    bool start();
    QString url() const; // the account's server: "http://127.0.0.1:<port>/"
    QString otherUrl() const; // the other origin's
    quint16 otherPort() const { return m_otherPort; }
    QString certificatePath() const; // with tls

    // The requests received so far (by either server), oldest first.
    QList<Request> requests() const;
    // How many requests carrying credentials reached port so far.
    int requestsWithCredentials(quint16 port) const;
    // The most body bytes that one cut-off answer had sent (0 when none was cut off).
    qint64 largestCutOffAnswer() const;

private:
    QString m_scenario;
    bool m_tls;
    QTemporaryDir m_dir;
    QProcess m_server;
    quint16 m_port = 0;
    quint16 m_otherPort = 0;
};

#endif
