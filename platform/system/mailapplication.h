#ifndef RUVELANT_MAILAPPLICATION_H
#define RUVELANT_MAILAPPLICATION_H

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class MailApplication;

// One outgoing message of the mail system: subject, plain-text content, an optional sender and
// its "to" recipients. send() hands it to the system's sendmail program, or to the transport
// given (a mail account's server), once per recipient.
class OutgoingMessage
{
public:
    // What a transport made of one message.
    struct HandOverResult
    {
        bool taken = false;
        QString error; // why not
        bool temporary = true; // whether a later try may succeed (false: the recipient refused for good)
    };
    // A hand-over other than sendmail: given the whole message for one recipient and that
    // recipient's address in ASCII.
    using Transport = std::function<HandOverResult(const QByteArray &message, const QByteArray &recipient)>;

    // A message for a transport (see setTransport); without one, send() finds no sendmail program.
    OutgoingMessage(const QString &subject, const QString &content);

    QString subject() const { return m_subject; }
    void setSubject(const QString &subject) { m_subject = subject; }
    QString content() const { return m_content; }
    void setContent(const QString &content) { m_content = content; }
    // The sending address as given (null: the mail system's own choice of sender).
    QString sender() const { return m_sender; }
    void setSender(const QString &sender) { m_sender = sender; }
    // Kept as a property only: no window ever shows a message here.
    bool visible() const { return m_visible; }
    void setVisible(bool visible) { m_visible = visible; }
    QStringList toRecipients() const { return m_toRecipients; }
    void addToRecipient(const QString &address) { m_toRecipients.append(address); }
    // send() hands the message to transport instead of the sendmail program.
    void setTransport(const Transport &transport) { m_transport = transport; }

    // Builds the message and pipes it to sendmail, one message per recipient. Returns true
    // when the mail system took every one (sendmail exit status 0). Otherwise returns false
    // and, when error is given, sets it to what went wrong. An address or sender holding a
    // control character, or a recipient that is not one plain address, is refused before
    // anything is handed over. temporary (when given) tells whether a later try may succeed:
    // false only when a recipient's address was refused for good (before the hand-over, or by
    // the mail system: see refusesRecipient); every failure of the mail system itself (no
    // network, an unknown host, its configuration or login, a crash, no answer in time) and a
    // sender that cannot be used are temporary.
    bool send(QString *error = nullptr, bool *temporary = nullptr) const;

    // The message as it would be piped to sendmail for one recipient, or an empty array (and
    // error set) when the message cannot be built for that recipient.
    QByteArray rfc5322Message(const QString &recipient, QString *error = nullptr) const;

private:
    friend class MailApplication;
    // Why the sender cannot be used (a control character, too long, not one address); empty
    // when it can, or when there is none.
    QString senderProblem() const;
    OutgoingMessage(const QString &sendmailProgram, int timeoutMs, const QString &subject, const QString &content);

    QString m_sendmail;
    int m_timeoutMs = 60000;
    Transport m_transport;
    QString m_subject;
    QString m_content;
    QString m_sender;
    bool m_visible = true;
    QStringList m_toRecipients;
};

// The mail system, reached through the sendmail program (msmtp, postfix, exim, nullmailer...).
class MailApplication
{
public:
    // What the sendmail program that findSendmail finds really is.
    struct MailSystem
    {
        QString sendmail; // the program found; empty when there is none
        QString target; // the file it is, after every symbolic link
        QString name; // "msmtp", "Postfix", "Exim"...; "script" for a script; empty when unknown
    };

    static const QString MailBundleIdentifier; // "com.apple.Mail"

    // The mail application for bundleIdentifier, or nullptr: only "com.apple.Mail" is known,
    // and it exists only when a sendmail program is found (see findSendmail).
    static std::unique_ptr<MailApplication> applicationWithBundleIdentifier(const QString &bundleIdentifier);

    // The first "sendmail" on PATH, else the first executable of the fallback paths; empty
    // when there is none.
    static QString findSendmail();
    // The mail system that reminders are handed to, found as findSendmail finds it.
    static MailSystem mailSystem();
    // Whether sendmail's exit status (sysexits.h), with what it said on standard error, refuses
    // the recipient's address for good: 67 (EX_NOUSER, addressee unknown), and 65 (EX_DATAERR)
    // when what it said names the recipient or it said nothing (msmtp gives 65 for an address
    // that the server refused for good, and also for a refused sender or message, which its
    // words then name instead). Every other status is a failure of the mail system itself.
    static bool refusesRecipient(int status, const QString &said, const QString &recipient);
    // What sendmail's exit status means, as sysexits.h names it ("EX_NOHOST, host name unknown");
    // empty for a status that sysexits.h does not name.
    static QString exitStatusMeaning(int status);
    // Why a message to address would be refused before it is handed over (a line break or
    // control character, text that was not valid UTF-8, longer than a mail system takes, not one
    // plain address, letters other than ASCII before its @); empty when it would not. A domain
    // name in other letters is handed over in its ASCII form.
    static QString recipientRefusal(const QString &address);
    // The address as a message header, a command line and an SMTP envelope carry it: ASCII, an
    // international domain name in its ASCII form; empty when that cannot be (see recipientRefusal).
    static QByteArray asciiAddress(const QString &address);
    // The places tried after PATH; by default /usr/sbin/sendmail and /usr/lib/sendmail.
    // An empty list restores the default (tests pass a list of missing files instead).
    static void setFallbackSendmailPaths(const QStringList &paths);
    static QStringList fallbackSendmailPaths();

    QString sendmailProgram() const { return m_sendmail; }

    // How long one sendmail may run before it is killed and the hand-over counts as failed.
    int sendTimeout() const { return m_timeoutMs; }
    void setSendTimeout(int milliseconds) { m_timeoutMs = milliseconds; }

    // A new outgoing message of this application with the given subject and content; it uses
    // this application's sendmail program and send timeout as they are now.
    OutgoingMessage outgoingMessage(const QString &subject, const QString &content) const;

private:
    explicit MailApplication(const QString &sendmailProgram);

    QString m_sendmail;
    int m_timeoutMs = 60000;
};

#endif
