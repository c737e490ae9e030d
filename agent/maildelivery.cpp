#include "maildelivery.h"

#include "ComKestramoLogger.h"
#include "addressbook.h"
#include "calendarstore.h"
#include "mailapplication.h"
#include "textutils.h"

#include <QStringList>

#include <memory>
#include <optional>

namespace {
// Per-run state: the mail system once its sendmail program was found, and the "me" card's
// addresses once read.
std::unique_ptr<MailApplication> mail;
std::optional<QStringList> myMailsArray;
std::chrono::milliseconds handOverTimeout = std::chrono::seconds(60);

const QString mailtoScheme = QStringLiteral("mailto:");
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

HandOver sendMailCocoa(const QString &sender, const QString &to, const QString &subject, const QString &content)
{
    if (!mail) {
        mail = MailApplication::applicationWithBundleIdentifier(MailApplication::MailBundleIdentifier);
        if (!mail) {
            // No sendmail program. The line keeps the words that the log's readers (the Sent
            // tab, the help page on mail, people's own filters) know it by.
            ComKestramoLogger::logERR(QStringLiteral("Cannot create Scripting Bridge to Mail.app"));
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
        ComKestramoLogger::logERR(
            QStringLiteral("Failed to hand over the reminder to '%1': %2").arg(loggedValue(to), error));
        return temporary ? HandOver::TemporaryFailure : HandOver::PermanentFailure;
    }
    return HandOver::Taken;
}

void resetMailDelivery(std::chrono::milliseconds sendTimeout)
{
    mail.reset();
    myMailsArray.reset();
    handOverTimeout = sendTimeout;
}
