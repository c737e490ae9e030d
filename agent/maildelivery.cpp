#include "maildelivery.h"

#include "ComKestramoLogger.h"
#include "accountmail.h"
#include "addressbook.h"
#include "calendarstore.h"
#include "mailapplication.h"
#include "mailroute.h"
#include "textutils.h"

#include <QStringList>

#include <memory>
#include <optional>

namespace {
// Per-run state: the way reminders go out (chosen at the first hand-over), the mail system once
// its sendmail program was found, the "me" card's addresses once read, and a failure of the
// sending account that every further reminder of the run would meet as well.
std::optional<MailRoute> route;
std::unique_ptr<MailApplication> mail;
std::optional<QStringList> myMailsArray;
std::optional<SmtpFailure> accountFailure;
bool toldUnmatched = false;
std::chrono::milliseconds handOverTimeout = std::chrono::seconds(60);

const QString mailtoScheme = QStringLiteral("mailto:");

void logFailure(const QString &to, const QString &error)
{
    ComKestramoLogger::logERR(
        QStringLiteral("Failed to hand over the reminder to '%1': %2").arg(loggedValue(to), error));
}

// Hands the reminder to the server of the account that sends. A failure of the account itself
// (its server not reached, its certificate, its login) is not met again by every reminder of the
// run: they fail with it at once, and the server sees no more logins that would fail.
HandOver sendThroughAccount(const MailAccount &account, const QString &sender, const QString &to,
                            const QString &subject, const QString &content)
{
    OutgoingMessage message(subject, content);
    message.setSender(trimmedText(sender).isEmpty() ? AccountMail::fromText(account) : sender);
    message.setVisible(false);
    message.addToRecipient(to);
    bool newFailure = false;
    message.setTransport([&account, &newFailure](const QByteArray &data, const QByteArray &recipient) {
        if (accountFailure) {
            return AccountMail::handOverResult(*accountFailure);
        }
        SmtpServer server;
        SmtpFailure failure;
        if (AccountMail::server(account, &server, &failure)) {
            failure = AccountMail::submit(account, server, data, recipient, handOverTimeout);
        }
        if (failure.concernsAccount()) {
            accountFailure = failure;
            newFailure = true;
        }
        return AccountMail::handOverResult(failure);
    });
    QString error;
    bool temporary = false;
    if (!message.send(&error, &temporary)) {
        logFailure(to, error);
        if (newFailure) {
            ComKestramoLogger::logINFO(
                QStringLiteral("the account %1 is not tried again in this run; its other reminders stay due")
                    .arg(account.address));
        }
        return temporary ? HandOver::TemporaryFailure : HandOver::PermanentFailure;
    }
    return HandOver::Taken;
}
} // namespace

QString mailFromAttendee(const Attendee &attendee)
{
    const QString url = attendee.address;
    if (!url.startsWith(mailtoScheme, Qt::CaseSensitive)) {
        return QString();
    }
    QString address = url;
    address.remove(mailtoScheme, Qt::CaseSensitive);
    // "mailto:" alone gives an empty address, which is still an address (and not "none").
    return address.isNull() ? QStringLiteral("") : address;
}

bool mailIsMine(const QString &address)
{
    if (!myMailsArray) {
        myMailsArray = QStringList();
        if (const AddressBook *book = AddressBook::sharedAddressBook()) {
            if (const auto me = book->me()) {
                *myMailsArray << me->emails;
            }
        }
    }
    return myMailsArray->contains(address, Qt::CaseSensitive);
}

namespace {
// Hands the reminder over the way the run's route says.
HandOver handOver(const QString &sender, const QString &to, const QString &subject, const QString &content)
{
    if (route->kind == MailRoute::Account) {
        return sendThroughAccount(route->account, sender, to, subject, content);
    }
    if (!mail) {
        mail = MailApplication::applicationWithBundleIdentifier(MailApplication::MailBundleIdentifier);
        if (!mail) {
            // No mail account and no sendmail program. The line keeps the words that the log's
            // readers (the Sent tab, the help page on mail, people's own filters) know it by.
            ComKestramoLogger::logERR(QStringLiteral("Cannot create Scripting Bridge to Mail.app"));
            if (!route->unmatchedSender.isEmpty() && !toldUnmatched) {
                toldUnmatched = true;
                ComKestramoLogger::logERR(
                    QStringLiteral("No mail account sends from %1, and there is no sendmail program")
                        .arg(route->unmatchedSender));
            }
            return HandOver::TemporaryFailure;
        }
        mail->setSendTimeout(int(handOverTimeout.count()));
    }
    OutgoingMessage message = mail->outgoingMessage(subject, content);
    if (!trimmedText(sender).isEmpty()) {
        message.setSender(sender);
    }
    message.setVisible(false);
    message.addToRecipient(to);
    QString error;
    bool temporary = false;
    if (!message.send(&error, &temporary)) {
        logFailure(to, error);
        return temporary ? HandOver::TemporaryFailure : HandOver::PermanentFailure;
    }
    return HandOver::Taken;
}
} // namespace

HandOver sendMailCocoa(const QString &sender, const QString &to, const QString &subject, const QString &content)
{
    QStringList notes;
    if (!route) {
        route = MailRoute::current(sender, &notes);
    }
    const HandOver outcome = handOver(sender, to, subject, content);
    // What could not be read of the accounts, once a run and after the reminder's own lines (the
    // log's readers take the line after a hand-over for its outcome); only when no account
    // sends, since the reminders go out otherwise.
    if (route->kind != MailRoute::Account) {
        for (const QString &note : qAsConst(notes)) {
            ComKestramoLogger::logERR(note);
        }
    }
    return outcome;
}

void resetMailDelivery(std::chrono::milliseconds sendTimeout)
{
    route.reset();
    mail.reset();
    myMailsArray.reset();
    accountFailure.reset();
    toldUnmatched = false;
    handOverTimeout = sendTimeout;
}
