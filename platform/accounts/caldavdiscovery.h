#ifndef RUVELANT_CALDAVDISCOVERY_H
#define RUVELANT_CALDAVDISCOVERY_H

#include "caldavaccounts.h"
#include "caldavfailure.h"
#include "caldavlimits.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;

// Finds the calendars of a CalDAV account as CalDAV clients do (RFC 4791, RFC 6764): the user's
// principal at the given address (else at its /.well-known/caldav), the principal's calendar
// home, and the calendars of events there with their display names. Asks the network only,
// without waiting: the answer comes with finished().
//
// The password goes to one origin only (scheme, host and port): the given address's, or one the
// user confirmed with follow(). A server that sends on to another origin (a redirection, a
// principal or calendar home there) stops the search with ServerMoved; a calendar listed on
// another origin, or whose name no file could keep, is left out. Every answer and the whole
// search are bounded (CalDavLimits).
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
        QUrl movedTo; // ServerMoved: the address on another origin that the server sends on to
    };

    explicit CalDavDiscovery(QObject *parent = nullptr, const CalDavLimits &limits = CalDavLimits());
    ~CalDavDiscovery() override;

    // The address a person typed, as a URL: "cal.example.com" is https://cal.example.com/. An
    // invalid URL when the text names no http or https server.
    static QUrl serverUrl(const QString &address);

    // Starts looking; an earlier search still going is dropped.
    void start(const QString &address, const QString &userName, const QString &password);
    // Whether the search stopped at another origin that it may go on to: an https one.
    bool canFollow() const;
    // Goes on where the search stopped (ServerMoved), as the user confirmed: the other origin then
    // takes the place of the first. Returns false, doing nothing, when it cannot (canFollow()).
    bool follow();
    void abort();
    bool isRunning() const { return m_reply; }

Q_SIGNALS:
    void finished(const CalDavDiscovery::Result &result);

private:
    enum class Step { Principal, WellKnown, Home, Calendars };
    // Asks url for step; a url on another origin stops the search there instead.
    void request(Step step, const QUrl &url);
    void read(QNetworkReply *reply);
    void handle(QNetworkReply *reply);
    // Follows a redirection from url to target (the same step again), unless there were too many
    // or it leaves https.
    void redirect(const QUrl &url, const QUrl &target);
    void fail(CalDavFailure failure, const QString &detail, const QUrl &movedTo = QUrl());
    void succeed(const QString &home, const QList<CalDavCalendar> &calendars);
    void finish(const Result &result);

    CalDavLimits m_limits;
    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_body; // of the answer under way, as it came
    QTimer m_requestTimer;
    QTimer m_searchTimer;
    Step m_step = Step::Principal;
    QString m_origin; // the only origin that gets the password
    Step m_movedStep = Step::Principal; // where the search stopped at another origin, for follow()
    QUrl m_movedTo;
    QString m_userName;
    QString m_password;
    int m_redirects = 0;
    int m_authentications = 0; // for the request under way
    bool m_digestOnly = false; // the server asked for Digest and not Basic authentication
    QString m_sslErrors;
};

Q_DECLARE_METATYPE(CalDavDiscovery::Result)

#endif
