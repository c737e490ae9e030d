#ifndef RUVELANT_SMTPSINK_H
#define RUVELANT_SMTPSINK_H

#include <KMime/Message>

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>

class ThrowAwayHome;

// The real mail chain for tests: an SMTP server on 127.0.0.1 (tests/support/smtpsink.py) that
// delivers into a Maildir, msmtp configured for it, and a "sendmail" wrapper running that msmtp
// in a bin folder put first on PATH (through the home, so PATH comes back when the home goes).
// Or, for mail accounts, the server alone: with a login, with TLS or STARTTLS on a certificate
// made for the test (trusted only where SSL_CERT_FILE names it), and no sendmail at all.
class SmtpSink
{
public:
    static const QString DefaultFrom; // the msmtp account's own sender address

    // How the server is started.
    struct Options
    {
        enum Security { Plain, StartTls, Tls };
        Security security = Plain;
        QString login; // "user:password": a login is required
        QString xoauth2; // "user:token": a login with AUTH XOAUTH2 is required
        bool sendmail = true; // write msmtp's configuration and the sendmail wrapper, put it on PATH
    };

    // Everything lives in <home>/<folder>; start() must be called before use.
    explicit SmtpSink(ThrowAwayHome &home, const QString &folder = QStringLiteral("smtpsink"));
    ~SmtpSink(); // stops the server
    Q_DISABLE_COPY(SmtpSink)

    // Starts the server, writes the msmtp configuration and the wrapper, puts the bin folder
    // first on PATH. Returns false (with a warning) when the server did not come up.
    bool start();
    bool start(const Options &options);
    // Stops the server; the configuration stays, so sending then fails ("server down").
    void stop();
    quint16 port() const { return m_port; }

    // The certificate (for 127.0.0.1 and localhost) and key that a TLS server uses, made with
    // openssl in the sink's folder at the first start with TLS.
    QString certificatePath() const { return m_root + QStringLiteral("/cert.pem"); }
    QString keyPath() const { return m_root + QStringLiteral("/key.pem"); }

    QString binPath() const { return m_root + QStringLiteral("/bin"); }
    QString maildirPath() const { return m_root + QStringLiteral("/Maildir"); }

    // The messages delivered so far, oldest first: raw as stored (with the "X-MailFrom:" and
    // "X-RcptTo:" envelope lines in front) and parsed.
    QList<QByteArray> rawMessages() const;
    QList<KMime::Message::Ptr> messages() const;

    // The raw values of every header line called name in a stored message, joined by "|"
    // (header lines are never folded by the sink's senders for the headers tests look at).
    static QByteArray header(const QByteArray &raw, const QByteArray &name);

private:
    ThrowAwayHome &m_home;
    QString m_root;
    QProcess m_server;
    quint16 m_port = 0;
};

#endif
