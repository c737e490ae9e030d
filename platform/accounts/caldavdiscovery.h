#ifndef RUVELANT_CALDAVDISCOVERY_H
#define RUVELANT_CALDAVDISCOVERY_H

#include "caldavaccounts.h"
#include "caldavfailure.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;

// Finds the calendars of a CalDAV account as CalDAV clients do (RFC 4791, RFC 6764): the user's
// principal at the given address (else at its /.well-known/caldav), the principal's calendar
// home, and the calendars of events there with their display names. Asks the network only,
// without waiting: the answer comes with finished().
class CalDavDiscovery : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        CalDavFailure failure = CalDavFailure::None;
        QString detail; // the server's or the network's own words about a failure
        QString home; // the calendar home's address
        QList<CalDavCalendar> calendars; // without folders
    };

    explicit CalDavDiscovery(QObject *parent = nullptr);
    ~CalDavDiscovery() override;

    // The address a person typed, as a URL: "cal.example.com" is https://cal.example.com/. An
    // invalid URL when the text names no http or https server.
    static QUrl serverUrl(const QString &address);

    // Starts looking; an earlier search still going is dropped.
    void start(const QString &address, const QString &userName, const QString &password);
    void abort();
    bool isRunning() const { return m_reply; }

Q_SIGNALS:
    void finished(const CalDavDiscovery::Result &result);

private:
    enum class Step { Principal, WellKnown, Home, Calendars };
    void request(Step step, const QUrl &url);
    void handle(QNetworkReply *reply);
    // Follows a redirection from url to target (the same step again), unless there were too many
    // or it leaves https.
    void redirect(const QUrl &url, const QUrl &target);
    void fail(CalDavFailure failure, const QString &detail);
    void succeed(const QString &home, const QList<CalDavCalendar> &calendars);

    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    Step m_step = Step::Principal;
    QUrl m_start;
    QString m_userName;
    QString m_password;
    int m_redirects = 0;
    int m_authentications = 0; // for the request under way
    bool m_digestOnly = false; // the server asked for Digest and not Basic authentication
    QString m_sslErrors;
};

Q_DECLARE_METATYPE(CalDavDiscovery::Result)

#endif
