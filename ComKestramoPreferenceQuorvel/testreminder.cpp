#include "testreminder.h"

#include "ComKestramoPreferenceQuorvelModel.h"
#include "accountmail.h"
#include "composition.h"
#include "mailapplication.h"
#include "mailroute.h"
#include "textnumber.h"

#include <QThread>

TestReminder::~TestReminder()
{
    if (m_worker) {
        m_worker->wait(); // a hand-over ends by itself: sendmail is given a time limit
        delete m_worker;
    }
}

QString TestReminder::recipient(const ComKestramoPreferenceQuorvelModel &model)
{
    if (!model.senderEmail().trimmed().isEmpty()) {
        return model.senderEmail().trimmed();
    }
    const QStringList emails = model.userEmails();
    for (const QString &email : emails) {
        if (!email.trimmed().isEmpty()) {
            return email.trimmed();
        }
    }
    return QString();
}

Event TestReminder::sampleEvent(const ComKestramoPreferenceQuorvelModel &model, const QString &title,
                                const QDateTime &now)
{
    const QDate day = now.toLocalTime().date().addDays(leadingInteger(model.daysBeforeEventStart()));
    Event event;
    event.title = title;
    event.startDate = QDateTime(day, QTime(10, 0), Qt::LocalTime);
    event.endDate = event.startDate.addSecs(3600);
    return event;
}

bool TestReminder::send(const ComKestramoPreferenceQuorvelModel &model, const Event &event, const QString &recipient)
{
    if (m_sending) {
        return false;
    }
    const QString subject = buildReminderSubject(model, event);
    const QString body = buildReminderBody(model, event, recipient);
    const QString sender = model.senderEmail();
    m_sending = true;
    if (m_worker) {
        m_worker->wait(); // it has delivered its outcome and is ending
        delete m_worker;
    }
    m_worker = QThread::create([this, subject, body, sender, recipient] {
        bool taken = false;
        QString error;
        // The way the agent's reminders go out for this sender.
        const MailRoute route = MailRoute::current(sender);
        const std::unique_ptr<MailApplication> mail = route.kind == MailRoute::Sendmail
            ? MailApplication::applicationWithBundleIdentifier(MailApplication::MailBundleIdentifier)
            : nullptr;
        if (route.kind == MailRoute::Account) {
            OutgoingMessage message(subject, body);
            message.setSender(sender.trimmed().isEmpty() ? AccountMail::fromText(route.account) : sender);
            message.setVisible(false);
            message.addToRecipient(recipient);
            message.setTransport(AccountMail::transport(route.account, std::chrono::seconds(60)));
            taken = message.send(&error);
        } else if (!mail) {
            error = route.unmatchedSender.isEmpty()
                ? QStringLiteral("no mail account and no sendmail program was found")
                : QStringLiteral("no mail account sends from %1, and no sendmail program was found")
                      .arg(route.unmatchedSender);
        } else {
            OutgoingMessage message = mail->outgoingMessage(subject, body);
            if (!sender.trimmed().isEmpty()) {
                message.setSender(sender);
            }
            message.setVisible(false);
            message.addToRecipient(recipient);
            taken = message.send(&error);
        }
        QMetaObject::invokeMethod(
            this,
            [this, taken, error] {
                m_sending = false;
                Q_EMIT finished(taken, error);
            },
            Qt::QueuedConnection);
    });
    m_worker->start();
    return true;
}
