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
class SmtpSink
{
public:
    static const QString DefaultFrom; // the msmtp account's own sender address

    // Everything lives in <home>/smtpsink; start() must be called before use.
    explicit SmtpSink(ThrowAwayHome &home);
    ~SmtpSink(); // stops the server
    Q_DISABLE_COPY(SmtpSink)

    // Starts the server, writes the msmtp configuration and the wrapper, puts the bin folder
    // first on PATH. Returns false (with a warning) when the server did not come up.
    bool start();
    // Stops the server; the configuration stays, so sending then fails ("server down").
    void stop();

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
};

#endif
